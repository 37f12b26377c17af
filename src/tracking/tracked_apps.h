#pragma once

#include <array>
#include <span>
#include <string_view>

namespace kolvex {

struct TrackedApp {
  std::string_view exe_name;  // lower case, as the platform names the executable
  std::string_view display_name;
};

using TrackedAppTable = std::span<const TrackedApp>;

// The Windows executables ("zoom.exe"), and the Linux builds of the same applications
// ("zoom"); the sources of the Linux names are listed in the README.
extern const std::array<TrackedApp, 40> TRACKED_APPS;
extern const std::array<TrackedApp, 28> LINUX_TRACKED_APPS;

// Matches the executable file name in any letter case (full Unicode lower-casing), byte for
// byte against the table's names; nothing else is normalised.
const TrackedApp* lookup_tracked_app(std::string_view name, TrackedAppTable table = TRACKED_APPS);

}  // namespace kolvex
