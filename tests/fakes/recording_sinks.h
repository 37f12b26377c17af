#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/event_output.h"
#include "output/json_text.h"
#include "platform/audio_platform.h"

namespace kolvex {

// Keeps every event, and the line it would have been written as.
struct RecordingSink : EventSink {
  void emit(const JsonValue& event) override {
    events.push_back(event);
    lines.push_back(to_compact_text(event));
  }
  std::vector<JsonValue> events;
  std::vector<std::string> lines;
};

// Keeps every endpoint notification as a word: "state:mic:8", "added:mic", "removed:mic",
// "default:1:2:mic" (flow, role, id; "<none>" without one).
struct RecordingNotificationSink : EndpointNotificationSink {
  void state_changed(std::string id, std::uint32_t state) override {
    calls.push_back("state:" + id + ":" + std::to_string(state));
  }
  void added(std::string id) override { calls.push_back("added:" + id); }
  void removed(std::string id) override { calls.push_back("removed:" + id); }
  void default_changed(std::int32_t flow, std::int32_t role,
                       std::optional<std::string> id) override {
    calls.push_back("default:" + std::to_string(flow) + ":" + std::to_string(role) + ":" +
                    id.value_or("<none>"));
  }
  std::vector<std::string> calls;
};

// A string member of an event, or "" when it has none.
inline std::string string_member(const JsonValue& event, std::string_view key) {
  const JsonValue* member = event.as_object() ? event.as_object()->find(key) : nullptr;
  const std::string* text = member ? member->as_string() : nullptr;
  return text ? *text : std::string();
}

}  // namespace kolvex
