#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "output/event_output.h"
#include "output/json_text.h"

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

// A string member of an event, or "" when it has none.
inline std::string string_member(const JsonValue& event, std::string_view key) {
  const JsonValue* member = event.as_object() ? event.as_object()->find(key) : nullptr;
  const std::string* text = member ? member->as_string() : nullptr;
  return text ? *text : std::string();
}

}  // namespace kolvex
