// Writes events the way the detector does, for tests that run it as a real child process.
// Usage: emit_probe COUNT PAD_BYTES [DELAY_MS]
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "output/event_output.h"
#include "output/json_value.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const long count = std::atol(argv[1]);
  const std::string pad(static_cast<std::size_t>(std::atol(argv[2])), 'x');
  const long delay_ms = argc > 3 ? std::atol(argv[3]) : 0;
  for (long i = 0; i < count; ++i) {
    kolvex::JsonObject event;
    event.insert("type", "probe");
    event.insert("n", static_cast<std::int64_t>(i));
    event.insert("pad", pad);
    kolvex::emit_event(event);
    if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  }
  return 0;
}
