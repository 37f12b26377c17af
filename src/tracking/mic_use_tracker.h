#pragma once

#include <map>
#include <string>
#include <vector>

#include "output/json_value.h"
#include "tracking/audio_process_snapshot.h"

namespace kolvex {

// What survives from one successful poll to the next.
struct MicUseTracker {
  // Tracked executables of the previous poll, whether each was using a microphone then.
  std::map<std::string, bool> tracked_active;
  bool meeting_active = false;
};

// The events of one poll in the order they are written; the last is always the snapshot
// summary. Updates the tracker; never fails.
std::vector<JsonValue> process_snapshot(MicUseTracker& tracker, AudioProcessSnapshot snapshot,
                                        double ts);

}  // namespace kolvex
