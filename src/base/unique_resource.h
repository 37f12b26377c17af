#pragma once

#include <cerrno>
#include <utility>

namespace kolvex {

// Owns a value that `Free` releases: a handle, a module, a buffer the system allocated for us.
// `Null` is the value that owns nothing. One idiom for every such resource on every platform,
// so none is ever released by hand on a path that can throw. Releasing keeps errno as it was,
// so that a failure can still be read after what it left behind is let go; the Windows
// aliases keep the thread's last error the same way.
template <class T, auto Free, T Null = T{}>
class UniqueResource {
 public:
  UniqueResource() noexcept = default;
  explicit UniqueResource(T value) noexcept : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  explicit operator bool() const noexcept { return value_ != Null; }
  [[nodiscard]] T get() const noexcept { return value_; }
  [[nodiscard]] T release() noexcept { return std::exchange(value_, Null); }
  void reset(T value = Null) noexcept {
    if (value_ != Null) {
      const int saved = errno;
      Free(value_);
      errno = saved;
    }
    value_ = value;
  }
  // For the out parameter of the call that hands the resource over.
  T* out() noexcept {
    reset();
    return &value_;
  }

 private:
  T value_ = Null;
};

}  // namespace kolvex
