#include <windows.h>

#include "output/system_message.h"
#include "output/text_encoding.h"

namespace kolvex {

std::string system_message(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length =
      FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (buffer == nullptr) return {};
  const std::u16string_view text(reinterpret_cast<const char16_t*>(buffer), length);
  std::string message = utf16_to_utf8_lossy(trim_trailing_space(text));
  LocalFree(buffer);
  return message;
}

}  // namespace kolvex
