#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "output/json_text.h"
#include "tracking/audio_process_snapshot.h"
#include "tracking/mic_use_tracker.h"
#include "tracking/tracked_apps.h"

namespace kolvex::replay {

inline constexpr double TS = 1765181234.5;

// One snapshot entry as the audio session scan would report it: appName from the tracked
// table (or the executable name), `active` mirroring `captureActive`, role "unknown" unless
// the process captures.
class Proc {
 public:
  Proc(std::optional<std::uint32_t> pid, std::string exe) {
    const TrackedApp* app = lookup_tracked_app(exe);
    entry_.appName = app != nullptr ? std::string(app->display_name) : exe;
    entry_.tracked = app != nullptr;
    entry_.bundleId = std::move(exe);
    entry_.pid = pid;
  }

  Proc& capture(CaptureEndpointRole role) {
    entry_.captureActive = true;
    entry_.active = true;
    entry_.captureEndpointRole = role;
    return *this;
  }

  Proc& render() {
    entry_.renderActive = true;
    return *this;
  }

  operator AudioProcessEntry() const { return entry_; }

 private:
  AudioProcessEntry entry_;
};

using Poll = AudioProcessSnapshot;
using PollLines = std::vector<std::string>;

// Runs the polls in order through one tracker, all at TS; the compact lines of each poll.
inline std::vector<PollLines> run(MicUseTracker& tracker, const std::vector<Poll>& polls) {
  std::vector<PollLines> out;
  for (const Poll& poll : polls) {
    PollLines& lines = out.emplace_back();
    for (const JsonValue& event : process_snapshot(tracker, poll, TS)) {
      lines.push_back(to_compact_text(event));
    }
  }
  return out;
}

inline std::vector<PollLines> run(const std::vector<Poll>& polls) {
  MicUseTracker tracker;
  return run(tracker, polls);
}

}  // namespace kolvex::replay
