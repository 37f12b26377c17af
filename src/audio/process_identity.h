#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audio_platform.h"

namespace kolvex {

struct ProcessIdentity {
  std::string bundleId;  // the executable's file name, letter case as the system reports it
  std::string appName;
};

// The last component of a Windows path (`\` and `/` separate; drive, UNC and device prefixes
// and roots are never a name; trailing separators are ignored), or nothing when it is not a
// plain name or is not valid UTF-16.
std::optional<std::string> exe_name_from_image_path(std::u16string_view path);

// The tracked application's display name, or the bundleId itself.
std::string app_name_for(std::string_view bundle_id);

std::optional<ProcessIdentity> identify_process(AudioPlatform& platform, std::uint32_t pid);

}  // namespace kolvex
