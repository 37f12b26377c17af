#include "platform/windows/process_image.h"

#include <windows.h>

#include "platform/windows/win_resources.h"

namespace kolvex::win {

std::optional<std::u16string> read_process_image_path(std::uint32_t pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::nullopt;
  wchar_t path[MAX_PATH];
  DWORD length = MAX_PATH;
  const BOOL queried = QueryFullProcessImageNameW(process.get(), 0, path, &length);
  process.reset();
  if (!queried || length == 0 || length > MAX_PATH) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(path), length);
}

}  // namespace kolvex::win
