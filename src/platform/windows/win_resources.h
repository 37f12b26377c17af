#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <cwchar>
#include <string_view>

#include "base/unique_resource.h"

// The Windows resources the platform layer owns, each released by its own function.

namespace kolvex::win {

// Each keeps the thread's last error as it was, as a failure may still be read after what it
// left behind is released.
template <auto Free, class T>
void keeping_last_error(T value) {
  const DWORD saved = GetLastError();
  Free(value);
  SetLastError(saved);
}
inline void close_handle(HANDLE handle) {
  keeping_last_error<CloseHandle>(handle);
}
inline void free_co_task_string(LPWSTR text) {
  keeping_last_error<CoTaskMemFree>(text);
}
inline void free_bstr(BSTR text) {
  keeping_last_error<SysFreeString>(text);
}

// A kernel handle from a call that reports failure as null, as OpenProcess does. A failing
// close is ignored: nothing could be done about it.
using UniqueHandle = UniqueResource<HANDLE, close_handle>;
// A wide string that COM allocated for the caller with CoTaskMemAlloc.
using CoTaskString = UniqueResource<LPWSTR, free_co_task_string>;
using Bstr = UniqueResource<BSTR, free_bstr>;

// Up to the terminating NUL; empty when no string was handed over.
inline std::u16string_view view(const CoTaskString& text) {
  if (!text) return {};
  return {reinterpret_cast<const char16_t*>(text.get()), std::wcslen(text.get())};
}

// BSTRs carry their length, so an embedded NUL does not end the text.
inline std::u16string_view view(const Bstr& text) {
  return {reinterpret_cast<const char16_t*>(text.get()), SysStringLen(text.get())};
}

}  // namespace kolvex::win
