#pragma once

#include <cstdint>
#include <vector>

#include "platform/pulse/pulse_values.h"

namespace kolvex::pulse {

// Which sessions of one kind (sink-inputs or source-outputs) may be on their way from one
// endpoint to another. On PipeWire a new stream is for a moment linked to no endpoint and
// corked, and one moved to a new default passes through the same, in steps that WirePlumber
// takes some milliseconds apart, more on a busy machine. A session seen so in passing would
// be an application that stopped and started again.
class SessionMoves {
 public:
  // Whether a session of `now` may be in passing: one that is unlinked or corked and either
  // differs from `before` (the kind's previous listing) or was running when last reported. A
  // poll waits for such a session until it gives up.
  bool in_passing(const std::vector<SessionValues>& now,
                  const std::vector<SessionValues>& before) const;
  // The sessions as a poll reports them.
  void reported(const std::vector<SessionValues>& sessions);

 private:
  std::vector<std::uint32_t> running_;  // indexes, as last reported
};

}  // namespace kolvex::pulse
