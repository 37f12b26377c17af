#include <windows.h>

#include "base/error_value.h"
#include "base/system_message.h"
#include "base/text_encoding.h"
#include "base/unique_resource.h"

namespace kolvex {
namespace {

// NT statuses carried in an HRESULT have this bit set; their texts live in ntdll.dll.
constexpr std::uint32_t NT_STATUS_BIT = 0x10000000;

void free_library(HMODULE module) {
  FreeLibrary(module);
}
void free_local(wchar_t* buffer) {
  LocalFree(buffer);
}
using UniqueModule = UniqueResource<HMODULE, free_library>;
using LocalString = UniqueResource<wchar_t*, free_local>;

}  // namespace

std::string system_message(std::uint32_t code) {
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  UniqueModule ntdll;
  if (code & NT_STATUS_BIT) {
    code &= ~NT_STATUS_BIT;
    ntdll.reset(LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  LocalString buffer;
  // With ALLOCATE_BUFFER the "buffer" argument is where the allocated buffer's address goes.
  const DWORD length = FormatMessageW(flags, ntdll.get(), code, 0,
                                      reinterpret_cast<wchar_t*>(buffer.out()), 0, nullptr);
  if (!buffer) return {};
  const std::u16string_view text(reinterpret_cast<const char16_t*>(buffer.get()), length);
  return utf16_to_utf8_lossy(trim_trailing_space(text));
}

std::string status_message(std::int32_t code) {
  return system_message(static_cast<std::uint32_t>(code));
}

}  // namespace kolvex
