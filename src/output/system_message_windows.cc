#include <windows.h>

#include "output/error_value.h"
#include "output/system_message.h"
#include "output/text_encoding.h"

namespace kolvex {
namespace {

// NT statuses carried in an HRESULT have this bit set; their texts live in ntdll.dll.
constexpr std::uint32_t NT_STATUS_BIT = 0x10000000;

}  // namespace

std::string system_message(std::uint32_t code) {
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE ntdll = nullptr;
  if (code & NT_STATUS_BIT) {
    code &= ~NT_STATUS_BIT;
    ntdll = LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(flags, ntdll, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (ntdll != nullptr) FreeLibrary(ntdll);
  if (buffer == nullptr) return {};
  const std::u16string_view text(reinterpret_cast<const char16_t*>(buffer), length);
  std::string message = utf16_to_utf8_lossy(trim_trailing_space(text));
  LocalFree(buffer);
  return message;
}

std::string status_message(std::int32_t code) {
  return system_message(static_cast<std::uint32_t>(code));
}

}  // namespace kolvex
