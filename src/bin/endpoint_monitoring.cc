#include "bin/endpoint_monitoring.h"

#include <thread>
#include <utility>

#include "base/clock.h"
#include "bin/poll_schedule.h"
#include "endpoints/notice_poster.h"

namespace kolvex {

EndpointMonitoring::EndpointMonitoring(NoticeReceiver receiver,
                                       std::unique_ptr<EndpointRegistration> registration,
                                       DeviceLifecycle lifecycle, SessionSettle settle,
                                       std::chrono::nanoseconds poll_interval)
    : receiver_(std::move(receiver)),
      registration_(std::move(registration)),
      lifecycle_(std::move(lifecycle)),
      settle_(settle),
      poll_interval_(poll_interval) {
  if (registration_) release_on_fault_.emplace([this] { registration_.reset(); });
}

std::unique_ptr<EndpointMonitoring> start_endpoint_monitoring(
    AudioDeviceEnumerator& enumerator, EventSink& sink, SessionSettle settle,
    std::chrono::nanoseconds poll_interval) {
  NoticeQueue queue = make_notice_queue();
  Result<std::unique_ptr<EndpointRegistration>> registered =
      enumerator.register_endpoint_notifications(
          std::make_shared<NoticePoster>(std::move(queue.sender)));
  DeviceLifecycle lifecycle(enumerator, sink);
  if (!registered) {
    emit_lifecycle(lifecycle, LifecycleChange::listener_failed, LifecycleRole::none,
                   FlowLabel::unknown, std::nullopt, now_ts());
  }
  lifecycle.flow_cache = build_flow_cache(enumerator);
  return std::make_unique<EndpointMonitoring>(std::move(queue.receiver),
                                              registered ? std::move(*registered) : nullptr,
                                              std::move(lifecycle), settle, poll_interval);
}

void EndpointMonitoring::wait_for_next_poll() {
  if (!registration_) {
    std::this_thread::sleep_for(poll_interval_);
    return;
  }
  using Clock = std::chrono::steady_clock;
  PollSchedule schedule(settle_, Clock::now(), poll_interval_);
  bool endpoints_changed = false;
  // Taken as soon as seen, so that waiting out the gap does not spin on it, and reported once,
  // after the pass's notices.
  bool lost = false;
  // Once at least, so that notices already waiting are handled even with no interval.
  do {
    if (std::optional<EndpointNotice> notice = receiver_.receive_until(schedule.due())) {
      drain_notices(lifecycle_, receiver_, *notice);
      endpoints_changed = true;
      schedule.endpoints_changed(Clock::now());
    } else if (receiver_.take_wake_up()) {
      schedule.sessions_changed(Clock::now());
    } else if (receiver_.take_overflow()) {
      lost = true;
      schedule.endpoints_changed(Clock::now());
    } else if (receiver_.disconnected()) {
      // Nothing can arrive any more; without this the loop would poll without pause.
      std::this_thread::sleep_until(schedule.due());
    }
  } while (Clock::now() < schedule.due());
  if (receiver_.take_overflow() || lost) {
    recover_from_overflow(lifecycle_);
    endpoints_changed = true;
  }
  // Last, so that a session the poll reads as idle is already watched when it starts.
  registration_->refresh(endpoints_changed);
}

}  // namespace kolvex
