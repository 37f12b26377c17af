#pragma once

#include "output/json_value.h"

namespace kolvex {

// Writes the event's compact text and a line feed to standard output as one line, under a
// process-wide lock. If standard output cannot be written the process ends with a fault
// report and exit status 101.
void emit_event(const JsonValue& event);

// Where events go: standard output in the program, a recorder in tests.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void emit(const JsonValue& event) = 0;
};

}  // namespace kolvex
