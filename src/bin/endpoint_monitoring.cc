#include "bin/endpoint_monitoring.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "endpoints/notice_poster.h"
#include "output/clock.h"

namespace kolvex {
namespace {

// A wake-up's poll comes once the sessions have been quiet for WAKE_SETTLE: a stream starts or
// moves in steps a few milliseconds apart (PipeWire: no source for 15-30 ms, then corked for
// 5-11 ms), and a poll amid them would see it stopped. Under churn it comes WAKE_LATEST after
// the first wake-up at the latest, and never sooner than WAKE_GAP after the previous poll, so
// that at most ten polls a second run whatever happens.
constexpr std::chrono::milliseconds WAKE_SETTLE{50};
constexpr std::chrono::milliseconds WAKE_LATEST{150};
constexpr std::chrono::milliseconds WAKE_GAP{100};

}  // namespace

EndpointMonitoring::EndpointMonitoring(NoticeReceiver receiver,
                                       std::unique_ptr<EndpointRegistration> registration,
                                       DeviceLifecycle lifecycle,
                                       std::chrono::nanoseconds poll_interval)
    : receiver_(std::move(receiver)),
      registration_(std::move(registration)),
      lifecycle_(std::move(lifecycle)),
      poll_interval_(poll_interval) {
  if (registration_) release_on_fault_.emplace([this] { registration_.reset(); });
}

std::unique_ptr<EndpointMonitoring> start_endpoint_monitoring(
    AudioDeviceEnumerator& enumerator, EventSink& sink, std::chrono::nanoseconds poll_interval) {
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
                                              std::move(lifecycle), poll_interval);
}

void EndpointMonitoring::wait_for_next_poll() {
  if (!registration_) {
    std::this_thread::sleep_for(poll_interval_);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point last_poll = Clock::now();
  const Clock::time_point deadline = last_poll + poll_interval_;
  std::optional<Clock::time_point> first_wake_up;
  Clock::time_point until = deadline;
  for (;;) {
    if (std::optional<EndpointNotice> notice = receiver_.receive_until(until)) {
      drain_notices(lifecycle_, receiver_, *notice);
      break;
    }
    if (receiver_.take_wake_up()) {
      const Clock::time_point now = Clock::now();
      if (!first_wake_up) first_wake_up = now;
      until = std::min(
          std::max(std::min(now + WAKE_SETTLE, *first_wake_up + WAKE_LATEST), last_poll + WAKE_GAP),
          deadline);
      continue;
    }
    if (Clock::now() >= until) break;
    if (receiver_.disconnected()) {
      // Nothing can arrive any more; without this the loop would poll without pause.
      std::this_thread::sleep_until(until);
      break;
    }
  }
  if (receiver_.take_overflow()) recover_from_overflow(lifecycle_);
}

}  // namespace kolvex
