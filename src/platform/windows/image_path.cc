#include "platform/windows/image_path.h"

#include <cstddef>

#include "base/text_encoding.h"

namespace kolvex::win {
namespace {

bool is_separator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool ascii_iequal(std::u16string_view text, std::u16string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i] >= u'a' && text[i] <= u'z' ? text[i] - (u'a' - u'A') : text[i];
    if (c != upper[i]) return false;
  }
  return true;
}

std::size_t skip_separators(std::u16string_view path, std::size_t at) {
  while (at < path.size() && is_separator(path[at])) ++at;
  return at;
}

std::size_t component_end(std::u16string_view path, std::size_t at) {
  while (at < path.size() && !is_separator(path[at])) ++at;
  return at;
}

// Past one component and the separators after it.
std::size_t skip_component(std::u16string_view path, std::size_t at) {
  return skip_separators(path, component_end(path, at));
}

// After "\\server": the server and the share name the root, as they do in a UNC path.
std::size_t skip_server_and_share(std::u16string_view path, std::size_t at) {
  return skip_component(path, skip_component(path, at));
}

// After "\\?\", "\\.\" or "\??\": the device (a drive, a volume, GLOBALROOT) is part of the
// root; "UNC" goes on with a server and a share. Windows resolves "UNC" case-insensitively.
std::size_t skip_device(std::u16string_view path, std::size_t at) {
  const std::size_t end = component_end(path, at);
  const std::size_t next = skip_separators(path, end);
  if (ascii_iequal(path.substr(at, end - at), u"UNC")) return skip_server_and_share(path, next);
  return next;
}

// Length of the drive, UNC or device prefix and the root, none of which is ever a file name.
// Follows how Windows classifies a path: "\\." and "\\?" are devices only when a separator
// or the end follows, and any unit before a colon makes a drive ("C:x.exe" is drive-relative).
std::size_t root_length(std::u16string_view path) {
  if (path.size() >= 4 && path.substr(0, 4) == u"\\??\\") return skip_device(path, 4);
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    const bool device = path.size() >= 3 && (path[2] == u'.' || path[2] == u'?') &&
                        (path.size() == 3 || is_separator(path[3]));
    if (device) return skip_device(path, skip_separators(path, 3));
    return skip_server_and_share(path, 2);
  }
  if (path.size() >= 2 && path[1] == u':') return 2;
  return 0;
}

}  // namespace

std::optional<std::string> exe_name_from_image_path(std::u16string_view path) {
  std::u16string_view rest = path.substr(root_length(path));
  while (!rest.empty() && is_separator(rest.back())) rest.remove_suffix(1);
  std::size_t start = rest.size();
  while (start > 0 && !is_separator(rest[start - 1])) --start;
  const std::u16string_view name = rest.substr(start);
  if (name.empty() || name == u"." || name == u"..") return std::nullopt;
  return utf16_to_utf8_strict(name);
}

}  // namespace kolvex::win
