#pragma once

#include <pulse/def.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

#include "base/error_value.h"
#include "platform/pulse/pulse_values.h"
#include "platform/pulse/session_moves.h"

namespace kolvex::pulse {

// What the notification thread's connection hears, for the poll connection, which may hear it a
// moment later: the kinds to list again (SessionCache's bits), and that the defaults the poll
// connection reads are out of date, so that it must be replaced.
struct HeardElsewhere {
  std::atomic<unsigned> kinds{0};
  std::atomic<bool> stale_defaults{false};
};

// The server as last listed, and what the server announced about it since. Endpoints, the
// defaults, sink-inputs and source-outputs are listed again only after the server announced a
// change to them: an idle poll asks the server nothing.
class SessionCache {
 public:
  // What is listed, as bits.
  static constexpr unsigned SINK_INPUTS = 1;
  static constexpr unsigned SOURCE_OUTPUTS = 2;
  static constexpr unsigned ALL_SESSIONS = SINK_INPUTS | SOURCE_OUTPUTS;
  static constexpr unsigned ENDPOINTS = 4;  // sinks, sources and the defaults
  static constexpr unsigned EVERYTHING = ALL_SESSIONS | ENDPOINTS;

  // Lists `kinds` into `view` in one batch, while the events the server sends meanwhile are
  // heard.
  using ListBatch = std::function<Status(unsigned kinds, ServerView& view)>;
  // Returns once the server has said nothing about sessions for a moment, or at `give_up`.
  using WaitUntilQuiet = std::function<Status(std::chrono::steady_clock::time_point give_up)>;

  // The kinds a subscription event is about.
  static unsigned kinds_of(pa_subscription_event_type_t event);
  // A subscription event, as it is dispatched.
  void heard(pa_subscription_event_type_t event);
  // Kinds another connection heard of.
  void heard_elsewhere(unsigned kinds) { stale_ |= kinds; }
  // Events about sessions of either kind, ever.
  unsigned events() const { return events_; }
  // Everything is listed again: on a new connection, events may have been missed.
  void list_all_again() { stale_ = EVERYTHING; }

  // A view of one moment, listing only what is stale. A session seen in passing is listed
  // again once the server is quiet about it, unless `give_up` has come.
  Result<ViewPtr> view(const ListBatch& list, const WaitUntilQuiet& wait_until_quiet,
                       std::chrono::steady_clock::time_point give_up);

 private:
  // Lists what is stale; `listed` says what that was.
  Result<ServerView> consistent_view(const ListBatch& list, unsigned& listed);
  // What was `listed`, with the rest from the last view, as the last view from now on.
  void keep(unsigned listed, ServerView view);

  unsigned stale_ = EVERYTHING;
  unsigned events_ = 0;
  ViewPtr last_ = std::make_shared<const ServerView>();  // without clients
  SessionMoves sink_input_moves_;
  SessionMoves source_output_moves_;
};

}  // namespace kolvex::pulse
