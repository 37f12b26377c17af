#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "endpoints/endpoint_notice.h"
#include "endpoints/flow_cache.h"
#include "endpoints/notice_queue.h"
#include "output/event_output.h"
#include "platform/audio_platform.h"

namespace kolvex {

enum class LifecycleChange : std::uint8_t {
  default_role_changed = 0,
  endpoint_added = 1,
  endpoint_removed = 2,
  endpoint_state_changed = 3,
  listener_failed = 4,
};
enum class LifecycleRole : std::uint8_t { communications = 0, system_default = 1, none = 2 };
using LifecycleScope = FlowLabel;
enum class LifecycleState : std::uint8_t {
  active = 0,
  disabled = 1,
  not_present = 2,
  unplugged = 3,
  unknown = 4,
};

LifecycleState lifecycle_state_from(std::uint32_t device_state);

struct DedupEntry {
  std::string detail;
  double ts = 0.0;
};
// Subject to the last handled detail and when it came.
using NoticeDedup = std::unordered_map<std::string, DedupEntry>;

// Everything the main thread keeps to turn notices into events.
struct DeviceLifecycle {
  DeviceLifecycle(AudioDeviceEnumerator& endpoint_enumerator, EventSink& event_sink,
                  EndpointFlowCache cache = {})
      : enumerator(endpoint_enumerator), sink(event_sink), flow_cache(std::move(cache)) {}

  AudioDeviceEnumerator& enumerator;
  EventSink& sink;
  EndpointFlowCache flow_cache;
  NoticeDedup dedup;
  std::uint64_t lifecycle_sequence = 0;
};

// Numbers the event (saturating, first 1) and writes it.
void emit_lifecycle(DeviceLifecycle& lifecycle, LifecycleChange change, LifecycleRole role,
                    LifecycleScope scope, std::optional<LifecycleState> state, double ts);

// Emits at most one event; repeats within a second are dropped.
void handle_notice(DeviceLifecycle& lifecycle, const EndpointNotice& notice);

// Handles `first`, then every notice already waiting.
void drain_notices(DeviceLifecycle& lifecycle, NoticeReceiver& receiver,
                   const EndpointNotice& first);

// Notices were lost: say so, and rebuild or forget what depended on them.
void recover_from_overflow(DeviceLifecycle& lifecycle);

}  // namespace kolvex
