#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex {

enum class CaptureEndpointRole : std::uint8_t {
  communications = 0,
  system_default = 1,
  other = 2,
  ambiguous = 3,  // only as a folded value
  unknown = 4,
};

std::string_view to_text(CaptureEndpointRole role);

// One process with audio sessions; the names of the written fields are their JSON member names.
struct AudioProcessEntry {
  std::string bundleId;  // executable file name, letter case as reported
  std::string appName;
  std::optional<std::uint32_t> pid;  // none: a process known only by its executable's name
  bool renderActive = false;
  bool captureActive = false;
  bool active = false;  // always equal to captureActive
  CaptureEndpointRole captureEndpointRole = CaptureEndpointRole::unknown;
  bool tracked = false;  // bundleId names a row of TRACKED_APPS; not written out

  friend bool operator==(const AudioProcessEntry&, const AudioProcessEntry&) = default;
};

// Ascending by pid, at most one entry per pid; those with none first, by name, one per name.
using AudioProcessSnapshot = std::vector<AudioProcessEntry>;

}  // namespace kolvex
