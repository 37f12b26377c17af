#include "platform/pulse/session_cache.h"

#include <pulse/subscribe.h>

#include <utility>

namespace kolvex::pulse {

unsigned SessionCache::kinds_of(pa_subscription_event_type_t event) {
  switch (event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      return SINK_INPUTS;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      return SOURCE_OUTPUTS;
    // A card's port can be plugged or unplugged without a sink or source event.
    case PA_SUBSCRIPTION_EVENT_SINK:
    case PA_SUBSCRIPTION_EVENT_SOURCE:
    case PA_SUBSCRIPTION_EVENT_SERVER:
    case PA_SUBSCRIPTION_EVENT_CARD:
      return ENDPOINTS;
    default:
      return 0;
  }
}

void SessionCache::heard(pa_subscription_event_type_t event) {
  const unsigned kinds = kinds_of(event);
  stale_ |= kinds;
  if (kinds & ALL_SESSIONS) ++events_;
}

Result<ViewPtr> SessionCache::view(const ListBatch& list, const WaitUntilQuiet& wait_until_quiet,
                                   std::chrono::steady_clock::time_point give_up) {
  for (;;) {
    unsigned listed = 0;
    Result<ServerView> view = consistent_view(list, listed);
    if (!view) return view.take_error();
    // A session not listed again is as it was reported, and then it was not passing.
    const unsigned passing =
        ((listed & SINK_INPUTS) &&
                 sink_input_moves_.in_passing(view->sink_inputs, last_->sink_inputs)
             ? SINK_INPUTS
             : 0) |
        ((listed & SOURCE_OUTPUTS) &&
                 source_output_moves_.in_passing(view->source_outputs, last_->source_outputs)
             ? SOURCE_OUTPUTS
             : 0);
    if (listed) keep(listed, std::move(*view));
    if (passing == 0 || std::chrono::steady_clock::now() >= give_up) {
      sink_input_moves_.reported(last_->sink_inputs);
      source_output_moves_.reported(last_->source_outputs);
      return last_;
    }
    Status quiet = wait_until_quiet(give_up);
    if (!quiet.ok()) return quiet.take_error();
    stale_ |= passing;
  }
}

// Events dispatched while a batch ran may be older than its answers, so the kinds they name
// stay stale for the next call; a kind not listed that changed meanwhile is listed with the rest
// in a second batch, so that the whole view is of one moment.
Result<ServerView> SessionCache::consistent_view(const ListBatch& list, unsigned& listed) {
  listed = stale_;
  ServerView view;
  for (int batch = 0; batch < 2 && listed; ++batch) {
    stale_ = 0;
    Status answered = list(listed, view);
    if (!answered.ok()) {
      stale_ = EVERYTHING;
      return answered.take_error();
    }
    if ((stale_ & ~listed) == 0) break;
    listed = EVERYTHING;
  }
  return view;
}

void SessionCache::keep(unsigned listed, ServerView view) {
  view.clients.clear();
  if (!(listed & ENDPOINTS)) {
    view.sinks = last_->sinks;
    view.sources = last_->sources;
    view.default_sink = last_->default_sink;
    view.default_source = last_->default_source;
  }
  if (!(listed & SINK_INPUTS)) view.sink_inputs = last_->sink_inputs;
  if (!(listed & SOURCE_OUTPUTS)) view.source_outputs = last_->source_outputs;
  last_ = std::make_shared<const ServerView>(std::move(view));
}

}  // namespace kolvex::pulse
