#include "platform/pulse/pulse_listing.h"

#include <pulse/error.h>
#include <pulse/proplist.h>

#include <type_traits>

namespace kolvex::pulse {
namespace {

ServerListing& listing_of(void* userdata) {
  return *static_cast<ServerListing*>(userdata);
}

const char* property(const pa_proplist* properties, const char* name) {
  const char* value = pa_proplist_gets(properties, name);
  return value ? value : "";
}

ProcessClaim claim_of(const pa_proplist* properties, const std::string& local_host) {
  return ProcessClaim{
      session_process_id(pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID),
                         pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_HOST),
                         local_host),
      property(properties, PA_PROP_APPLICATION_PROCESS_BINARY),
      property(properties, "pipewire.access.portal.instance_id")};
}

// Sinks and sources alike; the view's list is chosen by the kind of info.
template <class Info>
void on_endpoint(pa_context* context, const Info* info, int eol, void* userdata) {
  ServerListing& listing = listing_of(userdata);
  if (eol != 0) return listing.finish(context, eol);
  auto& endpoints = std::is_same_v<Info, pa_sink_info> ? listing.view.sinks : listing.view.sources;
  endpoints.push_back(endpoint_values(*info));
}

void on_server(pa_context* context, const pa_server_info* info, void* userdata) {
  ServerListing& listing = listing_of(userdata);
  if (info) {
    if (info->default_sink_name) listing.view.default_sink = info->default_sink_name;
    if (info->default_source_name) listing.view.default_source = info->default_source_name;
  }
  listing.finish(context, info ? 1 : -1);
}

std::uint32_t endpoint_of(const pa_sink_input_info& info) {
  return info.sink;
}
std::uint32_t endpoint_of(const pa_source_output_info& info) {
  return info.source;
}

template <class Info>
void on_session(pa_context* context, const Info* info, int eol, void* userdata) {
  ServerListing& listing = listing_of(userdata);
  if (eol != 0) return listing.finish(context, eol);
  auto& sessions = std::is_same_v<Info, pa_sink_input_info> ? listing.view.sink_inputs
                                                            : listing.view.source_outputs;
  sessions.push_back(SessionValues{info->index,
                                   endpoint_of(*info),
                                   info->client,
                                   claim_of(info->proplist, listing.local_host),
                                   info->corked != 0,
                                   {}});
}

void on_client(pa_context* context, const pa_client_info* info, int eol, void* userdata) {
  ServerListing& listing = listing_of(userdata);
  if (eol != 0) return listing.finish(context, eol);
  listing.view.clients.push_back(
      ClientValues{info->index,
                   verified_client_pid(pa_proplist_gets(info->proplist, "pipewire.sec.pid"),
                                       pa_proplist_gets(info->proplist, "client.api")),
                   claim_of(info->proplist, listing.local_host)});
}

void on_subscribed(pa_context* context, int success, void* userdata) {
  listing_of(userdata).finish(context, success ? 1 : -1);
}

}  // namespace

void ServerListing::finish(pa_context* context, int eol) {
  const bool missing = missing_is_answer && pa_context_errno(context) == PA_ERR_NOENTITY;
  failed = failed || (eol < 0 && !missing);
  if (--pending == 0 && on_complete) on_complete(userdata);
}

pa_operation* request_subscription(pa_context* context, pa_subscription_mask_t mask,
                                   ServerListing& listing) {
  return pa_context_subscribe(context, mask, on_subscribed, &listing);
}

pa_operation* request(pa_context* context, Asked what, ServerListing& listing, const char* name) {
  void* const answer_to = &listing;
  switch (what) {
    case Asked::server_info:
      return pa_context_get_server_info(context, on_server, answer_to);
    case Asked::sinks:
      if (name) return pa_context_get_sink_info_by_name(context, name, on_endpoint, answer_to);
      return pa_context_get_sink_info_list(context, on_endpoint, answer_to);
    case Asked::sources:
      if (name) return pa_context_get_source_info_by_name(context, name, on_endpoint, answer_to);
      return pa_context_get_source_info_list(context, on_endpoint, answer_to);
    case Asked::sink_inputs:
      return pa_context_get_sink_input_info_list(context, on_session, answer_to);
    case Asked::source_outputs:
      return pa_context_get_source_output_info_list(context, on_session, answer_to);
    case Asked::clients:
      return pa_context_get_client_info_list(context, on_client, answer_to);
  }
  return nullptr;
}

EndpointValues endpoint_values(const pa_sink_info& info) {
  return EndpointValues{info.index, info.name, endpoint_state(info.active_port), false};
}

EndpointValues endpoint_values(const pa_source_info& info) {
  return EndpointValues{info.index, info.name, endpoint_state(info.active_port),
                        info.monitor_of_sink != PA_INVALID_INDEX};
}

}  // namespace kolvex::pulse
