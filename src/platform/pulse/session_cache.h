#pragma once

#include <pulse/def.h>

#include <chrono>
#include <functional>
#include <vector>

#include "base/error_value.h"
#include "platform/pulse/pulse_values.h"
#include "platform/pulse/session_moves.h"

namespace kolvex::pulse {

// The sessions as last listed, and what the server announced about them since. Sink-inputs and
// source-outputs are listed again only after the server announced a change to them: listing
// every session's properties is most of what a poll would otherwise cost.
class SessionCache {
 public:
  // Session kinds, as bits.
  static constexpr unsigned SINK_INPUTS = 1;
  static constexpr unsigned SOURCE_OUTPUTS = 2;
  static constexpr unsigned ALL_SESSIONS = SINK_INPUTS | SOURCE_OUTPUTS;

  // Lists the endpoints, and the session kinds in `kinds`, into `view` in one batch, while the
  // events the server sends meanwhile are heard.
  using ListBatch = std::function<Status(unsigned kinds, ServerView& view)>;
  // Returns once the server has said nothing about sessions for a moment, or at `give_up`.
  using WaitUntilQuiet = std::function<Status(std::chrono::steady_clock::time_point give_up)>;

  // A subscription event, as it is dispatched.
  void heard(pa_subscription_event_type_t event);
  // Events about sessions of either kind, ever.
  unsigned events() const { return events_; }
  // Everything is listed again: on a new connection, events may have been missed.
  void list_all_again() { stale_ = ALL_SESSIONS; }

  // A view of one moment, listing only what is stale. A session seen in passing is listed
  // again once the server is quiet about it, unless `give_up` has come.
  Result<ServerView> view(const ListBatch& list, const WaitUntilQuiet& wait_until_quiet,
                          std::chrono::steady_clock::time_point give_up);

 private:
  Result<ServerView> consistent_view(const ListBatch& list);

  unsigned stale_ = ALL_SESSIONS;
  unsigned events_ = 0;
  std::vector<SessionValues> sink_inputs_;
  std::vector<SessionValues> source_outputs_;
  SessionMoves sink_input_moves_;
  SessionMoves source_output_moves_;
};

}  // namespace kolvex::pulse
