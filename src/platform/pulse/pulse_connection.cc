#include "platform/pulse/pulse_connection.h"

#include <pulse/error.h>

#include <algorithm>
#include <array>
#include <climits>
#include <functional>
#include <utility>

#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_listing.h"

namespace kolvex::pulse {
namespace {

using Clock = std::chrono::steady_clock;

// How long the server must say nothing about sessions before one that looked in passing is
// listed again, and how long a poll waits for that at most. PipeWire takes some 5 to 30 ms
// to link a new stream or move one, more on a busy machine; between its steps it announces
// each.
constexpr auto SETTLE = std::chrono::milliseconds(30);
constexpr auto MAX_SETTLE = std::chrono::milliseconds(500);

void on_event(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata) {
  static_cast<SessionCache*>(userdata)->heard(type);
}

}  // namespace

PulseConnection::PulseConnection(std::string local_host, SessionProcesses& processes)
    : local_host_(std::move(local_host)), processes_(processes) {}

// The context goes before the loop it runs on.
PulseConnection::~PulseConnection() {
  disconnect();
}

Result<ViewPtr> PulseConnection::fetch_view() {
  return on_healthy_connection<ViewPtr>([this] {
    return sessions_.view(
        [this](unsigned kinds, ServerView& view) { return request_batch(kinds, view); },
        [this](Clock::time_point give_up) { return wait_until_quiet(give_up); },
        Clock::now() + MAX_SETTLE);
  });
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
    Status connected = connect();
    if (!connected.ok()) return connected.take_error();
  }
  Result<T> result = request();
  if (result) return result;
  // A server that went away after the health check: one more try on a new connection.
  const bool went_away = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()));
  disconnect();
  if (!reused || !went_away) return result;
  Status connected = connect();
  if (!connected.ok()) return connected.take_error();
  result = request();
  if (!result) disconnect();
  return result;
}

// Handles whatever arrived since the last call without waiting, so a hang-up is noticed now. A
// connection whose defaults are out of date is not kept either.
bool PulseConnection::still_connected() {
  const bool stale = heard_elsewhere_->stale_defaults.exchange(false);
  sessions_.heard_elsewhere(heard_elsewhere_->kinds.exchange(0));
  if (!context_ || stale) return false;
  for (int i = 0; i < 16 && pa_mainloop_iterate(loop_.get(), 0, nullptr) > 0; ++i) {
  }
  return pa_context_get_state(context_.get()) == PA_CONTEXT_READY;
}

Status PulseConnection::connect() {
  if (!loop_) loop_.reset(pa_mainloop_new());
  if (!loop_) return pulse_error(PA_ERR_INTERNAL);
  context_.reset(pa_context_new(pa_mainloop_get_api(loop_.get()), "kolvex-mic-detector"));
  if (!context_) return pulse_error(PA_ERR_INTERNAL);
  // Starting an audio server is not the detector's business.
  if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    PlatformError error = context_error();
    disconnect();
    return error;
  }
  pa_context* context = context_.get();
  const Clock::time_point deadline = Clock::now() + REQUEST_TIMEOUT;
  Status ready =
      run_until([context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, deadline);
  if (ready.ok()) ready = subscribe(deadline);
  if (!ready.ok()) disconnect();
  return ready;
}

// Sessions are listed afresh on a new connection; from then on, only the kinds it announces.
Status PulseConnection::subscribe(Clock::time_point deadline) {
  sessions_.list_all_again();
  processes_.forget_all();
  pa_context* context = context_.get();
  pa_context_set_subscribe_callback(context, on_event, &sessions_);
  ServerListing request;
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER |
      PA_SUBSCRIPTION_MASK_CARD | PA_SUBSCRIPTION_MASK_SINK_INPUT |
      PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
  const OperationPtr operation(request_subscription(context, mask, request));
  return await({&operation, 1}, request, deadline);
}

Status PulseConnection::wait_until_quiet(Clock::time_point give_up) {
  for (;;) {
    const unsigned heard = sessions_.events();
    const Clock::time_point quiet_until = std::min(Clock::now() + SETTLE, give_up);
    Status waited = run_until([&] { return sessions_.events() != heard; }, quiet_until);
    if (sessions_.events() == heard) {
      // Quiet until the deadline: the wait timed out, which is what was wanted.
      if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()))) return {};
      return waited;
    }
    if (Clock::now() >= give_up) return {};
  }
}

Status PulseConnection::request_batch(unsigned kinds, ServerView& view) {
  ServerListing listing;
  listing.local_host = local_host_;
  pa_context* context = context_.get();
  // Sent together and answered in order: the server sees no other request in between.
  std::array<OperationPtr, 6> operations;
  std::size_t sent = 0;
  if (kinds & SessionCache::ENDPOINTS) {
    for (const Asked what : {Asked::server_info, Asked::sinks, Asked::sources}) {
      operations[sent++].reset(request(context, what, listing));
    }
  }
  if (kinds & SessionCache::SINK_INPUTS) {
    operations[sent++].reset(request(context, Asked::sink_inputs, listing));
  }
  if (kinds & SessionCache::SOURCE_OUTPUTS) {
    operations[sent++].reset(request(context, Asked::source_outputs, listing));
  }
  const bool sessions = kinds & SessionCache::ALL_SESSIONS;
  if (sessions) operations[sent++].reset(request(context, Asked::clients, listing));
  Status answered = await({operations.data(), sent}, listing, Clock::now() + REQUEST_TIMEOUT);
  if (!answered.ok()) return answered;
  // A placeholder is no default: for this view there is none.
  for (std::string* name : {&listing.view.default_sink, &listing.view.default_source}) {
    if (is_placeholder_default(*name)) name->clear();
  }
  if (sessions) processes_.find(listing.view);
  view = std::move(listing.view);
  return {};
}

Result<std::optional<ServerView>> PulseConnection::request_endpoint(const std::string& name) {
  ServerListing listing;
  listing.missing_is_answer = true;
  pa_context* context = context_.get();
  const std::array<OperationPtr, 2> operations{
      OperationPtr(request(context, Asked::sinks, listing, name.c_str())),
      OperationPtr(request(context, Asked::sources, listing, name.c_str())),
  };
  Status answered = await(operations, listing, Clock::now() + REQUEST_TIMEOUT);
  if (!answered.ok()) return answered.take_error();
  if (listing.view.sinks.empty() && listing.view.sources.empty()) {
    return std::optional<ServerView>();
  }
  return std::optional<ServerView>(std::move(listing.view));
}

Status PulseConnection::await(std::span<const OperationPtr> operations, ServerListing& listing,
                              Clock::time_point deadline) {
  if (std::ranges::any_of(operations, std::logical_not{})) return context_error();
  listing.pending = static_cast<int>(operations.size());
  Status answered = run_until([&listing] { return listing.pending == 0; }, deadline);
  if (!answered.ok()) return answered;
  if (listing.failed) return context_error();
  std::erase_if(listing.view.sources, [](const EndpointValues& source) { return source.monitor; });
  return {};
}

void PulseConnection::disconnect() {
  context_.reset();
}

template <class Done>
Status PulseConnection::run_until(Done done, Clock::time_point deadline) {
  while (!done()) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()))) return context_error();
    const auto remaining =
        std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return pulse_error(PA_ERR_TIMEOUT);
    const int timeout = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
    if (pa_mainloop_prepare(loop_.get(), timeout) < 0 || pa_mainloop_poll(loop_.get()) < 0 ||
        pa_mainloop_dispatch(loop_.get()) < 0) {
      return pulse_error(PA_ERR_INTERNAL);
    }
  }
  return {};
}

PlatformError PulseConnection::context_error() const {
  const int error = context_ ? pa_context_errno(context_.get()) : PA_ERR_INTERNAL;
  return pulse_error(error == PA_OK ? PA_ERR_UNKNOWN : error);
}

}  // namespace kolvex::pulse
