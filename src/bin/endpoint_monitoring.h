#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "endpoints/device_lifecycle.h"
#include "endpoints/notice_queue.h"
#include "output/diagnostics.h"
#include "output/event_output.h"
#include "platform/audio_platform.h"

namespace kolvex {

// The longest wait between two polls.
inline constexpr std::chrono::seconds POLL_INTERVAL{2};

// The main loop's side of endpoint notifications, kept for the whole run.
class EndpointMonitoring {
 public:
  // `registration` is null when registering failed: the loop then sleeps and never looks at
  // the queue.
  EndpointMonitoring(NoticeReceiver receiver, std::unique_ptr<EndpointRegistration> registration,
                     DeviceLifecycle lifecycle, SessionSettle settle,
                     std::chrono::nanoseconds poll_interval);

  // Blocks for at most the poll interval, writing the lifecycle events of what arrives, then
  // refreshes what the registration watches. A notice ends the wait at once, news of the
  // sessions once they settle, neither sooner than POLL_GAP after the last poll (PollSchedule).
  void wait_for_next_poll();

 private:
  NoticeReceiver receiver_;
  std::unique_ptr<EndpointRegistration> registration_;
  // A fault exit leaves the loop without destructors; the registration is undone there too.
  // Declared after it, so that it goes first.
  std::optional<ReleaseOnFaultExit> release_on_fault_;
  DeviceLifecycle lifecycle_;
  SessionSettle settle_;
  std::chrono::nanoseconds poll_interval_;
};

// Registers for endpoint notifications, reports a failed registration as a "listener_failed"
// event, and builds the data-flow cache. Never fails.
std::unique_ptr<EndpointMonitoring> start_endpoint_monitoring(
    AudioDeviceEnumerator& enumerator, EventSink& sink, SessionSettle settle,
    std::chrono::nanoseconds poll_interval = POLL_INTERVAL);

}  // namespace kolvex
