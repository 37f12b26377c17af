#include "endpoints/device_lifecycle.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "base/clock.h"

namespace kolvex {
namespace {

constexpr double DEDUP_WINDOW_SECONDS = 1.0;
constexpr std::uint8_t CONTRACT_VERSION = 1;

// Switches without a default, so that a new enumerator is a warning until it has its word; a
// value outside them reads as the last word.
std::string_view to_text(LifecycleChange change) {
  switch (change) {
    case LifecycleChange::default_role_changed:
      return "default_role_changed";
    case LifecycleChange::endpoint_added:
      return "endpoint_added";
    case LifecycleChange::endpoint_removed:
      return "endpoint_removed";
    case LifecycleChange::endpoint_state_changed:
      return "endpoint_state_changed";
    case LifecycleChange::listener_failed:
      break;
  }
  return "listener_failed";
}

std::string_view to_text(LifecycleRole role) {
  switch (role) {
    case LifecycleRole::communications:
      return "communications";
    case LifecycleRole::system_default:
      return "system_default";
    case LifecycleRole::none:
      break;
  }
  return "none";
}

std::string_view to_text(LifecycleScope scope) {
  switch (scope) {
    case FlowLabel::capture:
      return "capture";
    case FlowLabel::render:
      return "render";
    case FlowLabel::unknown:
      break;
  }
  return "unknown";
}

std::string_view to_text(LifecycleState state) {
  switch (state) {
    case LifecycleState::active:
      return "active";
    case LifecycleState::disabled:
      return "disabled";
    case LifecycleState::not_present:
      return "not_present";
    case LifecycleState::unplugged:
      return "unplugged";
    case LifecycleState::unknown:
      break;
  }
  return "unknown";
}

struct SubjectAndDetail {
  std::string subject;
  std::string detail;
};

SubjectAndDetail subject_and_detail(const EndpointChange& change) {
  struct Visitor {
    SubjectAndDetail operator()(const StateChanged& c) const {
      return {"endpoint:" + c.device_id, "state:" + std::to_string(c.new_state)};
    }
    SubjectAndDetail operator()(const Added& c) const {
      return {"endpoint:" + c.device_id, "added"};
    }
    SubjectAndDetail operator()(const Removed& c) const {
      return {"endpoint:" + c.device_id, "removed"};
    }
    SubjectAndDetail operator()(const DefaultChanged& c) const {
      return {"default:" + std::to_string(c.flow) + ":" + std::to_string(c.role),
              c.device_id.value_or("none")};
    }
  };
  return std::visit(Visitor{}, change);
}

void prune(NoticeDedup& dedup, double now) {
  std::erase_if(dedup,
                [now](const auto& entry) { return entry.second.ts < now - DEDUP_WINDOW_SECONDS; });
}

// A repeat leaves the stored entry as it was, so a steady stream of repeats cannot keep one
// alive for ever.
bool is_repeat(NoticeDedup& dedup, const SubjectAndDetail& key, double now) {
  auto it = dedup.find(key.subject);
  if (it != dedup.end() && it->second.detail == key.detail &&
      std::fabs(now - it->second.ts) <= DEDUP_WINDOW_SECONDS) {
    return true;
  }
  dedup.insert_or_assign(key.subject, DedupEntry{key.detail, now});
  return false;
}

// Resolves and remembers the flow of an endpoint that is (still) there.
FlowLabel learn_flow(DeviceLifecycle& lifecycle, const std::string& device_id) {
  const FlowLabel flow = resolve_flow(lifecycle.enumerator, lifecycle.flow_cache, device_id);
  if (flow != FlowLabel::unknown) lifecycle.flow_cache.insert_or_assign(device_id, flow);
  return flow;
}

std::optional<LifecycleRole> reported_role(std::int32_t role) {
  switch (role) {
    case static_cast<std::int32_t>(DeviceRole::console):
      return LifecycleRole::system_default;
    case static_cast<std::int32_t>(DeviceRole::communications):
      return LifecycleRole::communications;
    default:
      return std::nullopt;
  }
}

struct Act {
  DeviceLifecycle& lifecycle;
  double now;

  void operator()(const StateChanged& c) const {
    const FlowLabel flow = learn_flow(lifecycle, c.device_id);
    emit_lifecycle(lifecycle, LifecycleChange::endpoint_state_changed, LifecycleRole::none, flow,
                   lifecycle_state_from(c.new_state), now);
  }
  void operator()(const Added& c) const {
    const FlowLabel flow = learn_flow(lifecycle, c.device_id);
    emit_lifecycle(lifecycle, LifecycleChange::endpoint_added, LifecycleRole::none, flow,
                   std::nullopt, now);
  }
  void operator()(const Removed& c) const {
    // Looked up while the cache still knows it: the platform may have forgotten it already.
    const FlowLabel flow = resolve_flow(lifecycle.enumerator, lifecycle.flow_cache, c.device_id);
    lifecycle.flow_cache.erase(c.device_id);
    emit_lifecycle(lifecycle, LifecycleChange::endpoint_removed, LifecycleRole::none, flow,
                   std::nullopt, now);
  }
  void operator()(const DefaultChanged& c) const {
    if (c.flow != static_cast<std::int32_t>(DataFlow::capture)) return;
    const std::optional<LifecycleRole> role = reported_role(c.role);
    if (!role) return;
    emit_lifecycle(lifecycle, LifecycleChange::default_role_changed, *role, FlowLabel::capture,
                   std::nullopt, now);
  }
};

}  // namespace

LifecycleState lifecycle_state_from(std::uint32_t device_state) {
  switch (device_state) {
    case ENDPOINT_STATE_ACTIVE:
      return LifecycleState::active;
    case ENDPOINT_STATE_DISABLED:
      return LifecycleState::disabled;
    case ENDPOINT_STATE_NOT_PRESENT:
      return LifecycleState::not_present;
    case ENDPOINT_STATE_UNPLUGGED:
      return LifecycleState::unplugged;
    default:
      return LifecycleState::unknown;
  }
}

void emit_lifecycle(DeviceLifecycle& lifecycle, LifecycleChange change, LifecycleRole role,
                    LifecycleScope scope, std::optional<LifecycleState> state, double ts) {
  std::uint64_t& sequence = lifecycle.lifecycle_sequence;
  if (sequence != std::numeric_limits<std::uint64_t>::max()) ++sequence;
  JsonObject event{
      {"type", "device_lifecycle"},
      {"contractVersion", CONTRACT_VERSION},
      {"sequence", sequence},
      {"change", to_text(change)},
      {"role", to_text(role)},
      {"scope", to_text(scope)},
      {"ts", ts},
  };
  if (state) event.insert("state", to_text(*state));
  lifecycle.sink.emit(event);
}

void handle_notice(DeviceLifecycle& lifecycle, const EndpointNotice& notice) {
  const double now = notice.ts;
  prune(lifecycle.dedup, now);
  if (is_repeat(lifecycle.dedup, subject_and_detail(notice.change), now)) return;
  std::visit(Act{lifecycle, now}, notice.change);
}

void drain_notices(DeviceLifecycle& lifecycle, NoticeReceiver& receiver,
                   const EndpointNotice& first) {
  handle_notice(lifecycle, first);
  while (std::optional<EndpointNotice> next = receiver.try_receive()) {
    handle_notice(lifecycle, *next);
  }
}

void recover_from_overflow(DeviceLifecycle& lifecycle) {
  emit_lifecycle(lifecycle, LifecycleChange::listener_failed, LifecycleRole::none,
                 FlowLabel::unknown, std::nullopt, now_ts());
  lifecycle.flow_cache = build_flow_cache(lifecycle.enumerator);
  lifecycle.dedup.clear();
}

}  // namespace kolvex
