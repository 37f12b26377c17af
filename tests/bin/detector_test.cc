// The main loop's order of output: start-up, a poll's events, then what the wait brings.
#include "bin/detector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fakes/fake_audio_platform.h"
#include "fakes/recording_sinks.h"

namespace kolvex {
namespace {

using fake::fails;
using fake::FakeAudioPlatform;
using fake::FakeAudioScript;
using fake::FakeEndpoint;
using fake::FakeSession;

struct RecordingOutput : DetectorOutput {
  // Enough of an event to follow the order: its type, and the change of a lifecycle event.
  void emit(const JsonValue& event) override {
    const std::string change = string_member(event, "change");
    lines.push_back(string_member(event, "type") + (change.empty() ? "" : " " + change));
  }
  void report_poll_failure(const ErrorValue& error) override {
    lines.push_back("stderr: " + error.chained_text());
  }
  std::vector<std::string> lines;
};

FakeAudioScript zoom_on_the_microphone() {
  FakeAudioScript s;
  s.capture.endpoints = {
      FakeEndpoint{.id = "mic", .sessions = {FakeSession{.pid = 4120, .active = true}}}};
  s.render.endpoints = {FakeEndpoint{.id = "speaker"}};
  s.capture_defaults[DeviceRole::communications] = {.id = "mic"};
  s.executables[4120] = "Zoom.exe";
  return s;
}

std::unique_ptr<Detector> start(FakeAudioPlatform& platform, RecordingOutput& output) {
  Result<std::unique_ptr<Detector>> detector =
      start_detector(platform, output, std::chrono::milliseconds(20));
  EXPECT_TRUE(detector.ok());
  return std::move(*detector);
}

TEST(DetectorTest, AMissingEnumeratorEndsStartUpBeforeAnyOutput) {
  FakeAudioScript script;
  script.enumerator_fault = fails(static_cast<std::int32_t>(0x80040154u));
  FakeAudioPlatform platform(std::move(script));
  RecordingOutput output;
  Result<std::unique_ptr<Detector>> detector = start_detector(platform, output);
  ASSERT_FALSE(detector.ok());
  EXPECT_EQ(detector.error().chained_text().rfind("0x80040154"),
            detector.error().chained_text().size() - 10);
  EXPECT_TRUE(output.lines.empty());
}

TEST(DetectorTest, RegisteredRunsStartWithStarted) {
  FakeAudioPlatform platform(zoom_on_the_microphone());
  RecordingOutput output;
  auto detector = start(platform, output);
  EXPECT_EQ(output.lines, std::vector<std::string>{"started"});
  EXPECT_NE(platform.notifications(), nullptr);
}

TEST(DetectorTest, AFailedRegistrationIsReportedFirstAndTheLoopSleepsFromThenOn) {
  FakeAudioScript script = zoom_on_the_microphone();
  script.register_fault = fails(-1);
  FakeAudioPlatform platform(std::move(script));
  RecordingOutput output;
  auto detector = start(platform, output);
  EXPECT_EQ(platform.notifications(), nullptr);  // so nothing can report lost notices either
  run_pass(*detector);
  EXPECT_EQ(output.lines, (std::vector<std::string>{"device_lifecycle listener_failed", "started",
                                                    "call_app_mic_state", "meeting_started",
                                                    "audio_process_snapshot"}));
}

TEST(DetectorTest, APassWritesThePollThenTheDrainedNoticesThenOneOverflowReport) {
  FakeAudioPlatform platform(zoom_on_the_microphone());
  RecordingOutput output;
  auto detector = start(platform, output);
  std::shared_ptr<EndpointNotificationSink> service = platform.notifications();
  std::thread([service] {
    service->added("usb-mic");
    service->removed("speaker");
    service->default_changed(1, 2, "mic");
    service->notices_lost();
  }).join();
  run_pass(*detector);
  EXPECT_EQ(output.lines,
            (std::vector<std::string>{
                "started", "call_app_mic_state", "meeting_started", "audio_process_snapshot",
                "device_lifecycle endpoint_added", "device_lifecycle endpoint_removed",
                "device_lifecycle default_role_changed", "device_lifecycle listener_failed"}));
  // The flag was lowered: the next wait reports nothing.
  detector->monitoring->wait_for_next_poll();
  EXPECT_EQ(output.lines.size(), 8u);
}

TEST(DetectorTest, AFailedPollWritesOneLineAndTheNextPollComparesWithTheLastGoodOne) {
  FakeAudioPlatform platform(zoom_on_the_microphone());
  RecordingOutput output;
  auto detector = start(platform, output);
  run_poll(*detector, 1.0);
  platform.script().capture.enumerate_fault = fails(static_cast<std::int32_t>(0x88890004u), "");
  run_poll(*detector, 3.0);
  platform.script().capture.enumerate_fault.reset();
  run_poll(*detector, 5.0);
  EXPECT_EQ(output.lines,
            (std::vector<std::string>{
                "started", "call_app_mic_state", "meeting_started", "audio_process_snapshot",
                "stderr: capture endpoint: 0x88890004", "audio_process_snapshot"}));
}

// Each would leave an hour's wait unless it ended it: news of the sessions quietly, lost
// notices with their report.
TEST(DetectorTest, ChangedSessionsAndLostNoticesEndTheWait) {
  for (bool lost : {false, true}) {
    FakeAudioPlatform platform(zoom_on_the_microphone());
    RecordingOutput output;
    auto detector = start_detector(platform, output, std::chrono::hours(1));
    ASSERT_TRUE(detector.ok());
    std::shared_ptr<EndpointNotificationSink> service = platform.notifications();
    std::thread([service, lost] {
      for (int i = 0; i < 1000; ++i) lost ? service->notices_lost() : service->sessions_changed();
    }).join();
    (*detector)->monitoring->wait_for_next_poll();
    std::vector<std::string> expected{"started"};
    if (lost) expected.push_back("device_lifecycle listener_failed");
    EXPECT_EQ(output.lines, expected);
  }
}

TEST(DetectorTest, TheWaitBlocksForTheIntervalWhenNothingArrives) {
  for (bool registered : {true, false}) {
    FakeAudioScript script = zoom_on_the_microphone();
    if (!registered) script.register_fault = fails(-1);
    FakeAudioPlatform platform(std::move(script));
    RecordingOutput output;
    auto detector = start(platform, output);
    const auto before = std::chrono::steady_clock::now();
    detector->monitoring->wait_for_next_poll();
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
    EXPECT_EQ(output.lines.back(), "started");
  }
}

}  // namespace
}  // namespace kolvex
