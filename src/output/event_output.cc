#include "output/event_output.h"

#include <mutex>
#include <string>

#include "output/diagnostics.h"
#include "output/json_text.h"
#include "output/line_writer.h"
#include "output/std_stream.h"

namespace kolvex {
namespace {

class StdoutSink : public ByteSink {
 public:
  std::optional<OsError> write(std::string_view bytes) override {
    return write_std_stream(StdStream::out, bytes);
  }
};

struct StdoutStream {
  std::mutex lock;
  StdoutSink sink;
  LineWriter writer{sink};
};

// Created on first use and never destroyed, so a line can still be written while the
// process is exiting.
StdoutStream& stdout_stream() {
  static StdoutStream* stream = new StdoutStream;
  return *stream;
}

}  // namespace

void emit_event(const JsonValue& event) {
  std::string line = to_compact_text(event);
  line += '\n';
  StdoutStream& stream = stdout_stream();
  std::optional<OsError> error;
  {
    std::lock_guard<std::mutex> guard(stream.lock);
    const TerminationSignalsHeld held;
    error = stream.writer.write_line(line);
  }
  if (error) exit_with_fault(write_failure_text(StdStream::out, *error));
}

}  // namespace kolvex
