#pragma once

#include <optional>
#include <string>
#include <string_view>

// Plain string work on the paths Windows reports, free of Windows headers so that it is
// tested natively as well.

namespace kolvex::win {

// The last component of a Windows path (`\` and `/` separate; drive, UNC and device prefixes
// and roots are never a name; trailing separators are ignored), or nothing when it is not a
// plain name or is not valid UTF-16.
std::optional<std::string> exe_name_from_image_path(std::u16string_view path);

}  // namespace kolvex::win
