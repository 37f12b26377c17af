#pragma once

#include <objbase.h>

#include <cwchar>
#include <string_view>

namespace kolvex {

// A wide string that COM allocated for the caller with CoTaskMemAlloc.
class CoTaskString {
 public:
  CoTaskString() = default;
  CoTaskString(const CoTaskString&) = delete;
  CoTaskString& operator=(const CoTaskString&) = delete;
  ~CoTaskString() { CoTaskMemFree(value_); }

  // For the out parameter of the call that allocates the string.
  LPWSTR* out() {
    CoTaskMemFree(value_);
    value_ = nullptr;
    return &value_;
  }
  explicit operator bool() const { return value_ != nullptr; }
  // Up to the terminating NUL; empty when no string was handed over.
  std::u16string_view view() const {
    if (value_ == nullptr) return {};
    return {reinterpret_cast<const char16_t*>(value_), std::wcslen(value_)};
  }

 private:
  LPWSTR value_ = nullptr;
};

}  // namespace kolvex
