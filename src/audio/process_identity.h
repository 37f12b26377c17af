#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio_platform.h"

namespace kolvex {

struct ProcessIdentity {
  std::string bundleId;  // the executable's file name, letter case as the system reports it
  std::string appName;   // the tracked application's display name, or the bundleId itself
  bool tracked = false;
};

std::optional<ProcessIdentity> identify_process(AudioPlatform& platform, std::uint32_t pid);

// A process known only by the file name of its executable.
ProcessIdentity identify_executable(ExecutableNaming naming, std::string bundle_id);

}  // namespace kolvex
