#pragma once

#include <array>
#include <string_view>

namespace kolvex {

struct TrackedApp {
  std::string_view exe_name;  // lower case, with extension
  std::string_view display_name;
};

extern const std::array<TrackedApp, 38> TRACKED_APPS;

// Matches the executable file name in any letter case (full Unicode lower-casing), byte for
// byte against the table's names; nothing else is normalised.
const TrackedApp* lookup_tracked_app(std::string_view name);

}  // namespace kolvex
