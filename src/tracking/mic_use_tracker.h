#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "output/json_value.h"
#include "tracking/audio_process_snapshot.h"

namespace kolvex {

// A tracked executable as the previous poll left it.
struct TrackedAppState {
  bool active = false;  // using a microphone
  std::string appName;  // for the events that report it gone

  friend bool operator==(const TrackedAppState&, const TrackedAppState&) = default;
};

// The snapshot summary's lists of processes as they were last written. Most polls find the
// processes as the one before did, and write the lists again without rendering them again.
struct RenderedProcessLists {
  AudioProcessSnapshot snapshot;
  JsonValue active_apps;
  JsonValue tracked_apps;
};

// What survives from one successful poll to the next.
struct MicUseTracker {
  // The tracked executables of the previous poll.
  std::map<std::string, TrackedAppState> tracked_active;
  bool meeting_active = false;
  std::optional<RenderedProcessLists> rendered;
};

// The events of one poll in the order they are written; the last is always the snapshot
// summary. Updates the tracker; never fails.
std::vector<JsonValue> process_snapshot(MicUseTracker& tracker, AudioProcessSnapshot snapshot,
                                        double ts);

}  // namespace kolvex
