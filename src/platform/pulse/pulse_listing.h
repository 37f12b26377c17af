#pragma once

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>

#include <string>

#include "platform/pulse/pulse_values.h"

// The listing requests that the poll connection and the subscription share. Answers arrive
// on the loop's thread and are gathered in a ServerListing.

namespace kolvex::pulse {

struct ServerListing {
  ServerView view;  // sources include monitors, marked as such
  std::string local_host;
  // Requests sent and not yet answered; the sender counts them.
  int pending = 0;
  bool failed = false;
  // Asking for one endpoint by name, "no such entity" is an answer, not a failure.
  bool missing_is_answer = false;
  // Called once after the last answer, if set; the listing may be gone when it returns.
  void (*on_complete)(void* userdata) = nullptr;
  void* userdata = nullptr;

  // One request answered; `eol` < 0 when it failed.
  void finish(pa_context* context, int eol);
};

// What a listing asks the server for.
enum class Asked { server_info, sinks, sources, sink_inputs, source_outputs, clients };

// Each sends one request whose answer lands in `listing`; null when it could not be sent.
// With a name, sinks and sources ask for the endpoint of that name alone.
pa_operation* request(pa_context* context, Asked what, ServerListing& listing,
                      const char* name = nullptr);
pa_operation* request_subscription(pa_context* context, pa_subscription_mask_t mask,
                                   ServerListing& listing);

EndpointValues endpoint_values(const pa_sink_info& info);
EndpointValues endpoint_values(const pa_source_info& info);

}  // namespace kolvex::pulse
