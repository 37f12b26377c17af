#pragma once

#include <string>
#include <vector>

#include "output/event_output.h"
#include "output/json_text.h"

namespace kolvex {

// Keeps every event as the line it would have been written as.
struct RecordingSink : EventSink {
  void emit(const JsonValue& event) override { lines.push_back(to_compact_text(event)); }
  std::vector<std::string> lines;
};

}  // namespace kolvex
