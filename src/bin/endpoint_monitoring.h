#pragma once

#include <chrono>
#include <memory>

#include "endpoints/device_lifecycle.h"
#include "endpoints/notice_queue.h"
#include "output/event_output.h"
#include "platform/audio_platform.h"

namespace kolvex {

// The longest wait between two polls.
inline constexpr std::chrono::seconds POLL_INTERVAL{2};

// The main loop's side of endpoint notifications, kept for the whole run.
struct EndpointMonitoring {
  NoticeReceiver receiver;
  NoticeOverflow overflow;
  // Null when registering failed: the loop then sleeps and never looks at the queue.
  std::unique_ptr<EndpointRegistration> registration;
  DeviceLifecycle lifecycle;
  std::chrono::nanoseconds poll_interval = POLL_INTERVAL;
};

// Never fails: a failed registration is reported as a "listener_failed" event.
std::unique_ptr<EndpointMonitoring> start_endpoint_monitoring(AudioDeviceEnumerator& enumerator,
                                                              EventSink& sink);

// Blocks for at most the poll interval, writing the lifecycle events of what arrives.
void wait_for_next_poll(EndpointMonitoring& monitoring);

}  // namespace kolvex
