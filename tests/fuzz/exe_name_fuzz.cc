// The executable name from a Windows image path: never a separator, a root or a dot name; the
// path's last component; and the same again when put back under a plain folder.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/windows/image_path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kolvex::fuzz::require;
  using kolvex::win::exe_name_from_image_path;
  std::u16string path(size / 2, u'\0');
  for (std::size_t i = 0; i < path.size(); ++i) {
    path[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  const std::optional<std::string> name = exe_name_from_image_path(path);
  if (!name) return 0;
  const std::optional<std::u32string> cps = kolvex::fuzz::decode_utf8(*name);
  require(cps.has_value(), "the name is UTF-8", *name);
  require(!cps->empty() && *cps != U"." && *cps != U"..", "the name is a file name", *name);
  std::u16string units;
  for (const char32_t cp : *cps) {
    require(cp != U'\\' && cp != U'/', "the name has no separator", *name);
    if (cp < 0x10000) {
      units += static_cast<char16_t>(cp);
    } else {
      units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  std::u16string_view trimmed = path;
  while (!trimmed.empty() && (trimmed.back() == u'\\' || trimmed.back() == u'/')) {
    trimmed.remove_suffix(1);
  }
  require(trimmed.ends_with(units), "the name ends the path", *name);
  require(exe_name_from_image_path(u"C:\\dir\\" + units) == name, "the name is stable", *name);
  return 0;
}
