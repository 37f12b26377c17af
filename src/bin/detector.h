#pragma once

#include <chrono>
#include <memory>

#include "base/error_value.h"
#include "bin/endpoint_monitoring.h"
#include "output/event_output.h"
#include "platform/audio_platform.h"
#include "tracking/mic_use_tracker.h"

namespace kolvex {

// Where the main loop's output goes: standard output and standard error in the program.
class DetectorOutput : public EventSink {
 public:
  virtual void report_poll_failure(const ErrorValue& error) = 0;
};

DetectorOutput& standard_output();

// What the main function keeps for the whole run.
struct Detector {
  AudioPlatform& platform;
  DetectorOutput& output;
  std::unique_ptr<AudioDeviceEnumerator> enumerator;
  std::unique_ptr<EndpointMonitoring> monitoring;
  MicUseTracker tracker;
};

// Creates the enumerator, starts endpoint monitoring and writes "started". Only a missing
// enumerator is fatal.
Result<std::unique_ptr<Detector>> start_detector(
    AudioPlatform& platform, DetectorOutput& output,
    std::chrono::nanoseconds poll_interval = POLL_INTERVAL);

// One poll: the snapshot turned into the poll's events, or one failure report that leaves the
// tracker as it was. `ts` is read before the snapshot is taken.
void run_poll(Detector& detector, double ts);

// One pass of the main loop: a poll, then the wait for the next one.
void run_pass(Detector& detector);

// Starts the detector and polls for ever; returns only the error that ended start-up.
ErrorValue run_detector(AudioPlatform& platform);

}  // namespace kolvex
