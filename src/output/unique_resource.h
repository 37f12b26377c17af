#pragma once

#include <utility>

namespace kolvex {

// Owns a value that `Free` releases: a handle, a module, a buffer the system allocated for us.
// `Null` is the value that owns nothing. One idiom for every such resource on every platform,
// so none is ever released by hand on a path that can throw.
template <class T, auto Free, T Null = T{}>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  explicit operator bool() const { return value_ != Null; }
  T get() const { return value_; }
  T release() { return std::exchange(value_, Null); }
  void reset(T value = Null) {
    if (value_ != Null) Free(value_);
    value_ = value;
  }
  // For the out parameter of the call that hands the resource over.
  T* out() {
    reset();
    return &value_;
  }

 private:
  T value_ = Null;
};

}  // namespace kolvex
