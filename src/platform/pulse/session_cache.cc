#include "platform/pulse/session_cache.h"

#include <pulse/subscribe.h>

namespace kolvex::pulse {

void SessionCache::heard(pa_subscription_event_type_t event) {
  switch (event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      stale_ |= SINK_INPUTS;
      ++events_;
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      stale_ |= SOURCE_OUTPUTS;
      ++events_;
      break;
    default:
      break;
  }
}

Result<ServerView> SessionCache::view(const ListBatch& list, const WaitUntilQuiet& wait_until_quiet,
                                      std::chrono::steady_clock::time_point give_up) {
  for (;;) {
    Result<ServerView> view = consistent_view(list);
    if (!view) return view;
    const unsigned passing =
        (sink_input_moves_.in_passing(view->sink_inputs, sink_inputs_) ? SINK_INPUTS : 0) |
        (source_output_moves_.in_passing(view->source_outputs, source_outputs_) ? SOURCE_OUTPUTS
                                                                                : 0);
    sink_inputs_ = view->sink_inputs;
    source_outputs_ = view->source_outputs;
    if (passing == 0 || std::chrono::steady_clock::now() >= give_up) {
      sink_input_moves_.reported(sink_inputs_);
      source_output_moves_.reported(source_outputs_);
      return view;
    }
    Status quiet = wait_until_quiet(give_up);
    if (!quiet.ok()) return quiet.take_error();
    stale_ |= passing;
  }
}

// Events dispatched while a batch ran may be older than its answers, so the kinds they name
// stay stale for the next call; a kind taken from the cache that changed meanwhile is listed
// with the rest in a second batch, so that the whole view is of one moment. Sessions are
// compared with the last listing only where they were listed again.
Result<ServerView> SessionCache::consistent_view(const ListBatch& list) {
  unsigned kinds = stale_;
  ServerView view;
  for (int batch = 0; batch < 2; ++batch) {
    stale_ = 0;
    Status listed = list(kinds, view);
    if (!listed.ok()) {
      stale_ = ALL_SESSIONS;
      return listed.take_error();
    }
    if ((stale_ & ~kinds) == 0) break;
    kinds = ALL_SESSIONS;
  }
  if (!(kinds & SINK_INPUTS)) view.sink_inputs = sink_inputs_;
  if (!(kinds & SOURCE_OUTPUTS)) view.source_outputs = source_outputs_;
  return view;
}

}  // namespace kolvex::pulse
