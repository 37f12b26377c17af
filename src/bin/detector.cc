#include "bin/detector.h"

#include <utility>

#include "audio/audio_snapshot.h"
#include "base/clock.h"
#include "output/diagnostics.h"

namespace kolvex {
namespace {

class StandardOutput : public DetectorOutput {
 public:
  void emit(const JsonValue& event) override { emit_event(event); }
  void report_poll_failure(const ErrorValue& error) override { kolvex::report_poll_failure(error); }
};

}  // namespace

DetectorOutput& standard_output() {
  static StandardOutput output;
  return output;
}

Result<std::unique_ptr<Detector>> start_detector(AudioPlatform& platform, DetectorOutput& output,
                                                 std::chrono::nanoseconds poll_interval) {
  Result<std::unique_ptr<AudioDeviceEnumerator>> enumerator = platform.create_device_enumerator();
  if (!enumerator) return enumerator.take_error();
  auto monitoring =
      start_endpoint_monitoring(**enumerator, output, platform.session_settle(), poll_interval);
  output.emit(JsonObject{{"type", "started"}, {"ts", now_ts()}});
  return std::unique_ptr<Detector>(
      new Detector{platform, output, std::move(*enumerator), std::move(monitoring), {}});
}

void run_poll(Detector& detector, double ts) {
  Result<AudioProcessSnapshot> snapshot = take_audio_process_snapshot(detector.platform);
  if (!snapshot) {
    detector.output.report_poll_failure(snapshot.error());
    return;
  }
  for (const JsonValue& event : process_snapshot(detector.tracker, std::move(*snapshot), ts)) {
    detector.output.emit(event);
  }
}

void run_pass(Detector& detector) {
  run_poll(detector, now_ts());
  detector.monitoring->wait_for_next_poll();
}

ErrorValue run_detector(AudioPlatform& platform) {
  Result<std::unique_ptr<Detector>> detector = start_detector(platform, standard_output());
  if (!detector) return detector.take_error();
  for (;;) run_pass(**detector);
}

}  // namespace kolvex
