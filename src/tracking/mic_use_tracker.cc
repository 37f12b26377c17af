#include "tracking/mic_use_tracker.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "output/json_text.h"

namespace kolvex {
namespace {

// Per-poll data refers to the snapshot's entries instead of copying them; the snapshot
// outlives every use inside process_snapshot.
using TrackedEntries = std::vector<const AudioProcessEntry*>;
// A process known only by name counts as a pid of its own that is none.
using ActivePids = std::map<std::string_view, std::set<std::optional<std::uint32_t>>>;
using TrackedApps = std::map<std::string_view, AudioProcessEntry>;
using CurrentActive = std::map<std::string, TrackedAppState>;

// One application's state as its events report it.
struct AppState {
  std::string_view bundleId;
  std::string_view appName;
  std::optional<std::uint32_t> pid;
  bool active = false;
  bool renderActive = false;
  bool captureActive = false;
  CaptureEndpointRole role = CaptureEndpointRole::unknown;
};

TrackedEntries select_tracked(const AudioProcessSnapshot& snapshot) {
  TrackedEntries tracked_entries;
  for (const AudioProcessEntry& entry : snapshot) {
    if (entry.tracked) tracked_entries.push_back(&entry);
  }
  return tracked_entries;
}

void fold_into(AudioProcessEntry& app, const AudioProcessEntry& entry) {
  // The role test must see the aggregate's captureActive from before this entry.
  if (entry.captureActive) {
    if (!app.captureActive) {
      app.captureEndpointRole = entry.captureEndpointRole;
    } else if (app.captureEndpointRole != entry.captureEndpointRole) {
      app.captureEndpointRole = CaptureEndpointRole::ambiguous;
    }
  }
  app.renderActive = app.renderActive || entry.renderActive;
  app.captureActive = app.captureActive || entry.captureActive;
  app.active = app.active || entry.active;
}

void fold(const TrackedEntries& tracked_entries, ActivePids& active_pids,
          TrackedApps& tracked_apps) {
  for (const AudioProcessEntry* entry : tracked_entries) {
    if (entry->captureActive) active_pids[entry->bundleId].insert(entry->pid);
    const auto [it, first] = tracked_apps.try_emplace(entry->bundleId, *entry);
    if (!first) fold_into(it->second, *entry);
  }
}

std::optional<std::uint32_t> single_pid(const ActivePids& active_pids, std::string_view name) {
  const auto it = active_pids.find(name);
  if (it == active_pids.end() || it->second.size() != 1) return std::nullopt;
  return *it->second.begin();
}

JsonObject ended_event(const AppState& app, double ts) {
  return JsonObject{
      {"appName", app.appName},
      {"bundleId", app.bundleId},
      {"captureActive", app.captureActive},
      {"captureEndpointRole", to_text(app.role)},
      {"renderActive", app.renderActive},
      {"ts", ts},
      {"type", "call_app_mic_ended"},
  };
}

JsonValue pid_value(std::optional<std::uint32_t> pid) {
  return pid ? JsonValue(*pid) : JsonValue(nullptr);
}

JsonObject started_event(const AppState& app, double ts) {
  JsonObject event = ended_event(app, ts);
  event.insert("type", "meeting_started");
  event.insert("pid", pid_value(app.pid));
  return event;
}

JsonObject state_event(const AppState& app, double ts) {
  JsonObject event = started_event(app, ts);
  event.insert("type", "call_app_mic_state");
  event.insert("active", app.active);
  return event;
}

void append_changes(std::vector<JsonValue>& events, const MicUseTracker& tracker,
                    const TrackedApps& tracked_apps, const ActivePids& active_pids, double ts) {
  for (const auto& [name, app] : tracked_apps) {
    const auto previous = tracker.tracked_active.find(std::string(name));
    if (previous != tracker.tracked_active.end() && previous->second.active == app.active) continue;
    const AppState state{.bundleId = name,
                         .appName = app.appName,
                         .pid = single_pid(active_pids, name),
                         .active = app.active,
                         .renderActive = app.renderActive,
                         .captureActive = app.captureActive,
                         .role = app.captureEndpointRole};
    events.emplace_back(state_event(state, ts));
    events.emplace_back(app.active ? started_event(state, ts) : ended_event(state, ts));
  }
}

void append_vanished(std::vector<JsonValue>& events, const MicUseTracker& tracker,
                     const CurrentActive& current_active, double ts) {
  for (const auto& [name, was] : tracker.tracked_active) {
    if (!was.active || current_active.contains(name)) continue;
    const AppState state{.bundleId = name,
                         .appName = was.appName,
                         .pid = std::nullopt,
                         .active = false,
                         .renderActive = false,
                         .captureActive = false,
                         .role = CaptureEndpointRole::unknown};
    events.emplace_back(state_event(state, ts));
    events.emplace_back(ended_event(state, ts));
  }
}

JsonObject process_members(const AudioProcessEntry& entry) {
  return JsonObject{
      {"appName", entry.appName},
      {"bundleId", entry.bundleId},
      {"captureActive", entry.captureActive},
      {"captureEndpointRole", to_text(entry.captureEndpointRole)},
      {"pid", pid_value(entry.pid)},
      {"renderActive", entry.renderActive},
  };
}

RenderedProcessLists render_process_lists(AudioProcessSnapshot snapshot) {
  JsonArray active_apps;
  JsonArray tracked_apps;
  for (const AudioProcessEntry& entry : snapshot) {
    if (entry.active) active_apps.emplace_back(process_members(entry));
    if (!entry.tracked) continue;
    JsonObject members = process_members(entry);
    members.insert("active", entry.active);
    tracked_apps.emplace_back(std::move(members));
  }
  return {std::move(snapshot), RenderedJson{to_compact_text(active_apps)},
          RenderedJson{to_compact_text(tracked_apps)}};
}

JsonObject summary_event(const RenderedProcessLists& lists, double ts) {
  std::uint64_t active_count = 0, tracked_count = 0, tracked_active_count = 0;
  for (const AudioProcessEntry& entry : lists.snapshot) {
    active_count += entry.active;
    tracked_count += entry.tracked;
    tracked_active_count += entry.tracked && entry.active;
  }
  JsonObject event{
      {"activeProcessCount", active_count},
      {"kolvexInputActive", false},
      {"processCount", std::uint64_t{lists.snapshot.size()}},
      {"trackedActiveProcessCount", tracked_active_count},
      {"trackedProcessCount", tracked_count},
      {"ts", ts},
      {"type", "audio_process_snapshot"},
  };
  event.insert("activeApps", lists.active_apps);
  event.insert("trackedApps", lists.tracked_apps);
  return event;
}

}  // namespace

std::vector<JsonValue> process_snapshot(MicUseTracker& tracker, AudioProcessSnapshot snapshot,
                                        double ts) {
  const TrackedEntries tracked_entries = select_tracked(snapshot);
  ActivePids active_pids;
  TrackedApps tracked_apps;
  fold(tracked_entries, active_pids, tracked_apps);

  CurrentActive current_active;
  bool any_active = false;
  for (const auto& [name, app] : tracked_apps) {
    current_active.emplace_hint(current_active.end(), name,
                                TrackedAppState{app.active, app.appName});
    any_active = any_active || app.active;
  }

  std::vector<JsonValue> events;
  append_changes(events, tracker, tracked_apps, active_pids, ts);
  append_vanished(events, tracker, current_active, ts);
  if (tracker.meeting_active && !any_active) {
    events.emplace_back(JsonObject{{"type", "meeting_ended"}, {"ts", ts}});
  }
  if (!tracker.rendered || tracker.rendered->snapshot != snapshot) {
    tracker.rendered = render_process_lists(std::move(snapshot));
  }
  events.emplace_back(summary_event(*tracker.rendered, ts));

  tracker.tracked_active = std::move(current_active);
  tracker.meeting_active = any_active;
  return events;
}

}  // namespace kolvex
