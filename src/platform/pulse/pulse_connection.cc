#include "platform/pulse/pulse_connection.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

#include <array>
#include <climits>
#include <utility>

#include "platform/pulse/pulse_error.h"

namespace kolvex::pulse {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned SINK_INPUTS = 1;
constexpr unsigned SOURCE_OUTPUTS = 2;
constexpr unsigned ALL_SESSIONS = SINK_INPUTS | SOURCE_OUTPUTS;

// The answers that make up one view, gathered as they arrive.
struct ViewRequest {
  explicit ViewRequest(const std::string& local_host) : local_host(local_host) {}

  void finish(bool failed_now) {
    --pending;
    failed = failed || failed_now;
  }

  const std::string& local_host;
  ServerView view;
  int pending = 0;
  bool failed = false;
};

struct SubscribeRequest {
  bool answered = false;
  bool succeeded = false;
};

void on_subscribed(pa_context*, int success, void* userdata) {
  auto& request = *static_cast<SubscribeRequest*>(userdata);
  request.answered = true;
  request.succeeded = success != 0;
}

void on_event(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata) {
  unsigned& stale = *static_cast<unsigned*>(userdata);
  switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      stale |= SINK_INPUTS;
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      stale |= SOURCE_OUTPUTS;
      break;
    default:
      break;
  }
}

template <class Info>
EndpointValues endpoint_values(const Info& info) {
  return EndpointValues{info.index, info.name, endpoint_state(info.active_port)};
}

SessionValues session_values(std::uint32_t endpoint_index, const pa_proplist* properties,
                             int corked, const std::string& local_host) {
  return SessionValues{
      endpoint_index,
      session_process_id(pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID),
                         pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_HOST),
                         local_host),
      corked != 0};
}

void on_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto& request = *static_cast<ViewRequest*>(userdata);
  if (eol != 0) return request.finish(eol < 0);
  request.view.sinks.push_back(endpoint_values(*info));
}

void on_source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto& request = *static_cast<ViewRequest*>(userdata);
  if (eol != 0) return request.finish(eol < 0);
  if (info->monitor_of_sink != PA_INVALID_INDEX) return;
  request.view.sources.push_back(endpoint_values(*info));
}

void on_sink_input(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  auto& request = *static_cast<ViewRequest*>(userdata);
  if (eol != 0) return request.finish(eol < 0);
  request.view.sink_inputs.push_back(
      session_values(info->sink, info->proplist, info->corked, request.local_host));
}

void on_source_output(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  auto& request = *static_cast<ViewRequest*>(userdata);
  if (eol != 0) return request.finish(eol < 0);
  request.view.source_outputs.push_back(
      session_values(info->source, info->proplist, info->corked, request.local_host));
}

void on_server(pa_context*, const pa_server_info* info, void* userdata) {
  auto& request = *static_cast<ViewRequest*>(userdata);
  if (info) {
    if (info->default_sink_name) request.view.default_sink = info->default_sink_name;
    if (info->default_source_name) request.view.default_source = info->default_source_name;
  }
  request.finish(info == nullptr);
}

// Looking one endpoint up by name, where "no such endpoint" is an answer, not a failure.
struct EndpointRequest {
  void finish(pa_context* context, int eol) {
    --pending;
    failed = failed || (eol < 0 && pa_context_errno(context) != PA_ERR_NOENTITY);
  }

  ServerView view;
  int pending = 2;
  bool failed = false;
};

void on_named_sink(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
  auto& request = *static_cast<EndpointRequest*>(userdata);
  if (eol != 0) return request.finish(context, eol);
  request.view.sinks.push_back(endpoint_values(*info));
}

void on_named_source(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
  auto& request = *static_cast<EndpointRequest*>(userdata);
  if (eol != 0) return request.finish(context, eol);
  if (info->monitor_of_sink != PA_INVALID_INDEX) return;
  request.view.sources.push_back(endpoint_values(*info));
}

}  // namespace

PulseConnection::PulseConnection(std::string local_host) : local_host_(std::move(local_host)) {}

// The context goes before the loop it runs on.
PulseConnection::~PulseConnection() {
  disconnect();
}

Result<ServerView> PulseConnection::fetch_view() {
  return on_healthy_connection<ServerView>([this] { return request_view(); });
}

Result<std::optional<ServerView>> PulseConnection::find_endpoint(std::string_view name) {
  const std::string wanted(name);
  return on_healthy_connection<std::optional<ServerView>>(
      [this, &wanted] { return request_endpoint(wanted); });
}

template <class T, class Request>
Result<T> PulseConnection::on_healthy_connection(Request request) {
  const bool reused = still_connected();
  if (!reused) {
    disconnect();
    if (Status failed = connect()) return std::move(*failed);
  }
  Result<T> result = request();
  if (result) return result;
  // A server that went away after the health check: one more try on a new connection.
  const bool went_away = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()));
  disconnect();
  if (!reused || !went_away) return result;
  if (Status failed = connect()) return std::move(*failed);
  result = request();
  if (!result) disconnect();
  return result;
}

// Handles whatever arrived since the last call without waiting, so a hang-up is noticed now.
bool PulseConnection::still_connected() {
  if (!context_) return false;
  for (int i = 0; i < 16 && pa_mainloop_iterate(loop_.get(), 0, nullptr) > 0; ++i) {
  }
  return pa_context_get_state(context_.get()) == PA_CONTEXT_READY;
}

Status PulseConnection::connect() {
  if (!loop_) loop_.reset(pa_mainloop_new());
  if (!loop_) return ErrorValue(pulse_error(PA_ERR_INTERNAL));
  context_.reset(pa_context_new(pa_mainloop_get_api(loop_.get()), "kolvex-mic-detector"));
  if (!context_) return ErrorValue(pulse_error(PA_ERR_INTERNAL));
  // Starting an audio server is not the detector's business.
  if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    PlatformError error = context_error();
    disconnect();
    return ErrorValue(std::move(error));
  }
  pa_context* context = context_.get();
  const Clock::time_point deadline = Clock::now() + REQUEST_TIMEOUT;
  Status failed =
      run_until([context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, deadline);
  if (!failed) failed = subscribe(deadline);
  if (failed) disconnect();
  return failed;
}

// Sessions are listed afresh on a new connection; from then on, only the kinds it announces.
Status PulseConnection::subscribe(Clock::time_point deadline) {
  stale_sessions_ = ALL_SESSIONS;
  pa_context* context = context_.get();
  pa_context_set_subscribe_callback(context, on_event, &stale_sessions_);
  SubscribeRequest request;
  const OperationPtr operation(
      pa_context_subscribe(context,
                           static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                               PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
                           on_subscribed, &request));
  if (!operation) return ErrorValue(context_error());
  if (Status failed = run_until([&request] { return request.answered; }, deadline)) {
    return failed;
  }
  if (!request.succeeded) return ErrorValue(context_error());
  return std::nullopt;
}

// Events dispatched while a batch ran may be older than its answers, so the kinds they name
// stay stale for the next call; a kind taken from the cache that changed meanwhile is listed
// with the rest in a second batch, so that the whole view is of one moment.
Result<ServerView> PulseConnection::request_view() {
  unsigned kinds = stale_sessions_;
  ServerView view;
  for (int batch = 0; batch < 2; ++batch) {
    stale_sessions_ = 0;
    if (Status failed = request_batch(kinds, view)) {
      stale_sessions_ = ALL_SESSIONS;
      return std::move(*failed);
    }
    if ((stale_sessions_ & ~kinds) == 0) break;
    kinds = ALL_SESSIONS;
  }
  if (kinds & SINK_INPUTS) {
    sessions_.sink_inputs = view.sink_inputs;
  } else {
    view.sink_inputs = sessions_.sink_inputs;
  }
  if (kinds & SOURCE_OUTPUTS) {
    sessions_.source_outputs = view.source_outputs;
  } else {
    view.source_outputs = sessions_.source_outputs;
  }
  return view;
}

Status PulseConnection::request_batch(unsigned kinds, ServerView& view) {
  ViewRequest request(local_host_);
  pa_context* context = context_.get();
  // Sent together and answered in order: the server sees no other request in between.
  std::array<OperationPtr, 5> operations{
      OperationPtr(pa_context_get_server_info(context, on_server, &request)),
      OperationPtr(pa_context_get_sink_info_list(context, on_sink, &request)),
      OperationPtr(pa_context_get_source_info_list(context, on_source, &request)),
  };
  std::size_t sent = 3;
  if (kinds & SINK_INPUTS) {
    operations[sent++].reset(pa_context_get_sink_input_info_list(context, on_sink_input, &request));
  }
  if (kinds & SOURCE_OUTPUTS) {
    operations[sent++].reset(
        pa_context_get_source_output_info_list(context, on_source_output, &request));
  }
  for (std::size_t i = 0; i < sent; ++i) {
    if (!operations[i]) return ErrorValue(context_error());
  }
  request.pending = static_cast<int>(sent);
  if (Status failed =
          run_until([&request] { return request.pending == 0; }, Clock::now() + REQUEST_TIMEOUT)) {
    return failed;
  }
  if (request.failed) return ErrorValue(context_error());
  view = std::move(request.view);
  return std::nullopt;
}

Result<std::optional<ServerView>> PulseConnection::request_endpoint(const std::string& name) {
  EndpointRequest request;
  pa_context* context = context_.get();
  const std::array<OperationPtr, 2> operations{
      OperationPtr(
          pa_context_get_sink_info_by_name(context, name.c_str(), on_named_sink, &request)),
      OperationPtr(
          pa_context_get_source_info_by_name(context, name.c_str(), on_named_source, &request)),
  };
  for (const OperationPtr& operation : operations) {
    if (!operation) return context_error();
  }
  if (Status failed =
          run_until([&request] { return request.pending == 0; }, Clock::now() + REQUEST_TIMEOUT)) {
    return std::move(*failed);
  }
  if (request.failed) return context_error();
  if (request.view.sinks.empty() && request.view.sources.empty()) {
    return std::optional<ServerView>();
  }
  return std::optional<ServerView>(std::move(request.view));
}

void PulseConnection::disconnect() {
  context_.reset();
}

template <class Done>
Status PulseConnection::run_until(Done done, Clock::time_point deadline) {
  while (!done()) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())))
      return ErrorValue(context_error());
    const auto remaining =
        std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return ErrorValue(pulse_error(PA_ERR_TIMEOUT));
    const int timeout = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
    if (pa_mainloop_prepare(loop_.get(), timeout) < 0 || pa_mainloop_poll(loop_.get()) < 0 ||
        pa_mainloop_dispatch(loop_.get()) < 0) {
      return ErrorValue(pulse_error(PA_ERR_INTERNAL));
    }
  }
  return std::nullopt;
}

PlatformError PulseConnection::context_error() const {
  const int error = context_ ? pa_context_errno(context_.get()) : PA_ERR_INTERNAL;
  return pulse_error(error == PA_OK ? PA_ERR_UNKNOWN : error);
}

}  // namespace kolvex::pulse
