#include "platform/pulse/pulse_subscription.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "output/std_stream.h"
#include "platform/pulse/defaults_check.h"
#include "platform/pulse/endpoint_watch.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_handles.h"
#include "platform/pulse/pulse_listing.h"

namespace kolvex::pulse {
namespace {

// Between attempts to reach a server that went away.
constexpr pa_usec_t RETRY_INTERVAL = PA_USEC_PER_SEC;
constexpr pa_usec_t START_TIMEOUT =
    std::chrono::duration_cast<std::chrono::microseconds>(REQUEST_TIMEOUT).count();
// Between two checks of the defaults through a new connection, on a server that keeps them for
// each connection: the longest a missed change of the default goes unannounced. A check costs
// about what a poll costs; at this pace it keeps the detector's idle CPU well under 0.02 % of
// a core. A server that lost one change may lose every later one (one did from its start), so
// after a check that found a change missed, the next come after 1 s, 2 s, 4 s, ... up to that.
constexpr pa_usec_t CHECK_INTERVAL = 30 * PA_USEC_PER_SEC;
constexpr pa_usec_t RECHECK_INTERVAL = PA_USEC_PER_SEC;

WatchedEndpoint watched(const pa_sink_info& info) {
  return WatchedEndpoint{DataFlow::render, endpoint_values(info)};
}

WatchedEndpoint watched(const pa_source_info& info) {
  return WatchedEndpoint{DataFlow::capture, endpoint_values(info)};
}

std::string name_or_none(const char* name) {
  return name ? name : "";
}

// Requests whose answer is handled by a callback alone.
void forget(pa_operation* operation) {
  if (operation) pa_operation_unref(operation);
}

struct TimeEventFree {
  pa_mainloop_api* api;
  void operator()(pa_time_event* event) const { api->time_free(event); }
};
using TimeEventPtr = std::unique_ptr<pa_time_event, TimeEventFree>;

// Everything but the constructor, start() and the destructor runs on the loop's thread with
// its lock held.
class Subscription final : public EndpointRegistration {
 public:
  Subscription(std::shared_ptr<EndpointNotificationSink> sink,
               std::shared_ptr<HeardElsewhere> poll_news)
      : sink_(std::move(sink)), poll_news_(std::move(poll_news)), watch_(*sink_) {}

  ~Subscription() override {
    // Joins the thread; after that nothing calls back into this object.
    if (loop_) pa_threaded_mainloop_stop(loop_.get());
    context_.reset();
    replaced_.reset();
    timer_.reset();
    check_timer_.reset();
  }

  Status start() {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_) return pulse_error(PA_ERR_INTERNAL);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
    timer_ = TimeEventPtr(api->time_new(api, nullptr, on_timer, this), TimeEventFree{api});
    check_timer_ =
        TimeEventPtr(api->time_new(api, nullptr, on_check_timer, this), TimeEventFree{api});
    {
      // The loop's thread keeps the mask it starts with: termination signals then reach only
      // the main thread, which holds them while it writes a line.
      const TerminationSignalsHeld held;
      if (pa_threaded_mainloop_start(loop_.get()) < 0) return pulse_error(PA_ERR_INTERNAL);
    }

    // Waits for the first connection and listing, so that no change is missed in between; if
    // they fail, the server is tried again as after a loss, and the loss reported.
    pa_threaded_mainloop_lock(loop_.get());
    starting_ = true;
    arm_timer(START_TIMEOUT);
    open();
    while (starting_) pa_threaded_mainloop_wait(loop_.get());
    pa_threaded_mainloop_unlock(loop_.get());
    return {};
  }

 private:
  static Subscription& self(void* userdata) { return *static_cast<Subscription*>(userdata); }

  void open() {
    context_.reset(
        pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), "kolvex-mic-detector"));
    if (!context_) return fail();
    pa_context_set_state_callback(context_.get(), on_state, this);
    pa_context_set_subscribe_callback(context_.get(), on_event, this);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) fail();
  }

  // Zero disarms the timer.
  void arm_timer(pa_usec_t after, pa_time_event* timer = nullptr) {
    timeval when{};
    if (after) pa_timeval_add(pa_gettimeofday(&when), after);
    pa_threaded_mainloop_get_api(loop_.get())
        ->time_restart(timer ? timer : timer_.get(), after ? &when : nullptr);
  }

  void fail() {
    if (watching_ || starting_) {
      // Whatever happens until a new connection has listed the endpoints goes unannounced.
      sink_->notices_lost();
      unannounced_ = true;
    }
    watching_ = false;
    listing_.reset();
    watch_.forget_all();
    replaced_.reset();
    check_.close();
    arm_timer(0, check_timer_.get());
    if (context_) {
      // Released later by the timer: a context must not be freed inside its own callback.
      pa_context_set_state_callback(context_.get(), nullptr, nullptr);
      pa_context_set_subscribe_callback(context_.get(), nullptr, nullptr);
      pa_context_disconnect(context_.get());
    }
    end_start();
    arm_timer(RETRY_INTERVAL);
  }

  void end_start() {
    if (!starting_) return;
    starting_ = false;
    pa_threaded_mainloop_signal(loop_.get(), 0);
  }

  static void on_timer(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
    Subscription& subscription = self(userdata);
    if (subscription.starting_) return subscription.fail();
    subscription.open();
  }

  static void on_state(pa_context* context, void* userdata) {
    Subscription& subscription = self(userdata);
    switch (pa_context_get_state(context)) {
      case PA_CONTEXT_READY:
        return subscription.list();
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        return subscription.fail();
      default:
        return;
    }
  }

  // Subscribing first: anything that changes while the lists are read still comes as an
  // event, after the lists.
  void list() {
    ServerListing& listing = listing_.emplace();
    listing.pending = 4;
    listing.on_complete = on_listed;
    listing.userdata = this;
    pa_context* context = context_.get();
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER |
        PA_SUBSCRIPTION_MASK_CARD | PA_SUBSCRIPTION_MASK_SINK_INPUT |
        PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
    forget(request_subscription(context, mask, listing));
    for (const Asked what : {Asked::sinks, Asked::sources, Asked::server_info}) {
      forget(request(context, what, listing));
    }
  }

  static void on_listed(void* userdata) { self(userdata).listed(); }

  void listed() {
    if (listing_->failed) return fail();
    const ServerView& view = listing_->view;
    if (replaced_) {
      // The connection replaced kept announcing until now; the new one names the defaults it
      // missed.
      watch_.defaults(view.default_sink, view.default_source);
      replaced_.reset();
      listing_.reset();
      return arm_timer(check_interval_, check_timer_.get());
    }
    // A server that restarted may be another one.
    checks_needed_ = true;
    check_interval_ = CHECK_INTERVAL;
    arm_timer(check_interval_, check_timer_.get());
    std::vector<WatchedEndpoint> endpoints;
    for (const EndpointValues& sink : view.sinks) endpoints.push_back({DataFlow::render, sink});
    for (const EndpointValues& source : view.sources) {
      endpoints.push_back({DataFlow::capture, source});
    }
    watch_.reset(endpoints, view.default_sink, view.default_source);
    listing_.reset();
    watching_ = true;
    if (unannounced_) {
      unannounced_ = false;
      sink_->notices_lost();
    }
    if (starting_) arm_timer(0);
    end_start();
  }

  static void on_event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                       void* userdata) {
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    // Before the poll this may bring, whose own connection may hear of it later.
    self(userdata).poll_news_->kinds.fetch_or(SessionCache::kinds_of(type));
    EndpointWatch& watch = self(userdata).watch_;
    switch (facility) {
      case PA_SUBSCRIPTION_EVENT_SINK:
        if (removed) return watch.gone(DataFlow::render, index);
        return forget(pa_context_get_sink_info_by_index(context, index, on_sink, userdata));
      case PA_SUBSCRIPTION_EVENT_SOURCE:
        if (removed) return watch.gone(DataFlow::capture, index);
        return forget(pa_context_get_source_info_by_index(context, index, on_source, userdata));
      case PA_SUBSCRIPTION_EVENT_SERVER:
        return forget(pa_context_get_server_info(context, on_server, userdata));
      case PA_SUBSCRIPTION_EVENT_CARD:
        // A card's port can be plugged or unplugged without a sink or source event.
        forget(pa_context_get_sink_info_list(context, on_sink, userdata));
        return forget(pa_context_get_source_info_list(context, on_source, userdata));
      case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        return self(userdata).sink_->sessions_changed();
      default:
        return;
    }
  }

  static void on_check_timer(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
    Subscription& subscription = self(userdata);
    if (subscription.checks_needed_) {
      subscription.check_.start(pa_threaded_mainloop_get_api(subscription.loop_.get()));
    }
  }

  // A new connection's defaults against those announced. When they differ, the subscription's
  // connection missed a change, and so did the poll's: both are replaced.
  static void on_checked(void* userdata, const pa_server_info* info) {
    Subscription& subscription = self(userdata);
    if (info && !keeps_defaults_per_connection(*info)) subscription.checks_needed_ = false;
    if (info && subscription.checks_needed_ && subscription.watching_ &&
        !subscription.watch_.announced(name_or_none(info->default_sink_name),
                                       name_or_none(info->default_source_name))) {
      subscription.check_interval_ = RECHECK_INTERVAL;
      return subscription.renew();
    }
    subscription.check_.close();
    subscription.check_interval_ = std::min(2 * subscription.check_interval_, CHECK_INTERVAL);
    if (subscription.checks_needed_) {
      subscription.arm_timer(subscription.check_interval_, subscription.check_timer_.get());
    }
  }

  // The new connection takes over once it has listed; until then the old one goes on announcing
  // what changes, and the watch takes each change once, from whichever tells it first.
  void renew() {
    poll_news_->stale_defaults.store(true);
    replaced_ = std::move(context_);
    pa_context_set_state_callback(replaced_.get(), nullptr, nullptr);
    context_ = check_.take();
    pa_context_set_state_callback(context_.get(), on_state, this);
    pa_context_set_subscribe_callback(context_.get(), on_event, this);
    list();
  }

  // An endpoint gone again before its answer came just gives no answer.
  static void on_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    if (eol == 0) self(userdata).watch_.seen(watched(*info));
  }

  static void on_source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    if (eol == 0) self(userdata).watch_.seen(watched(*info));
  }

  static void on_server(pa_context*, const pa_server_info* info, void* userdata) {
    if (!info) return;
    self(userdata).watch_.defaults(name_or_none(info->default_sink_name),
                                   name_or_none(info->default_source_name));
  }

  std::shared_ptr<EndpointNotificationSink> sink_;
  std::shared_ptr<HeardElsewhere> poll_news_;
  EndpointWatch watch_;
  ThreadedMainloopPtr loop_;
  TimeEventPtr timer_{nullptr, TimeEventFree{nullptr}};
  TimeEventPtr check_timer_{nullptr, TimeEventFree{nullptr}};
  ContextPtr context_;
  ContextPtr replaced_;  // while a new connection takes over
  DefaultsCheck check_{on_checked, this};
  pa_usec_t check_interval_ = CHECK_INTERVAL;
  bool checks_needed_ = true;
  std::optional<ServerListing> listing_;
  bool starting_ = false;
  bool watching_ = false;
  bool unannounced_ = false;
};

}  // namespace

Result<std::unique_ptr<EndpointRegistration>> subscribe_to_endpoints(
    std::shared_ptr<EndpointNotificationSink> sink, std::shared_ptr<HeardElsewhere> poll_news) {
  auto subscription = std::make_unique<Subscription>(std::move(sink), std::move(poll_news));
  Status started = subscription->start();
  if (!started.ok()) return started.take_error();
  return subscription;
}

}  // namespace kolvex::pulse
