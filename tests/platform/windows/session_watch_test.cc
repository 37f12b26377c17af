// The session watch through the real COM layer: the scripted Core Audio calls the watch's sinks
// from threads of its own while the main loop polls, as the audio service does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <chrono>
#include <string>
#include <thread>

#include "bin/detector.h"
#include "child_process.h"
#include "fake_core_audio.h"
#include "platform/windows/windows_audio_platform.h"
#include "test_support.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;
using ::testing::IsEmpty;

constexpr std::uint32_t NO_SUCH_PID = 0xFFFFFFF0;

// Zoom on the default microphone, idle on it too, and playing; a second microphone, unused.
CoreAudioScript call(std::uint32_t zoom) {
  CoreAudioScript script;
  script.endpoints = {
      {u"mic",
       eCapture,
       {{zoom, AudioSessionStateActive, {}, u"zoom-mic"},
        {zoom, AudioSessionStateInactive, {}, u"zoom-idle"}},
       {},
       DEVICE_STATE_ACTIVE},
      {u"usb-mic", eCapture, {}, {}, DEVICE_STATE_ACTIVE},
      {u"spk",
       eRender,
       {{zoom, AudioSessionStateActive, {}, u"zoom-spk"}},
       {},
       DEVICE_STATE_ACTIVE},
  };
  script.capture_defaults = {{eCommunications, u"mic"}, {eConsole, u"mic"}};
  return script;
}

class SessionWatchTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(com_.failure(), ""); }

  std::unique_ptr<Detector> start(
      std::chrono::nanoseconds interval = std::chrono::milliseconds(20)) {
    Result<std::unique_ptr<Detector>> detector = start_detector(*platform_, output_, interval);
    if (!detector) {
      ADD_FAILURE() << detector.error().chained_text();
      return nullptr;
    }
    return std::move(*detector);
  }

  // Passes until `done` holds, for a generous while.
  template <class Done>
  void run_until(Detector& detector, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) run_pass(detector);
    EXPECT_TRUE(done());
  }

  static std::size_t calls_to(const FakeCoreAudio& fake, std::string_view call) {
    std::size_t count = 0;
    for (const std::string& made : fake.calls()) count += made.starts_with(call);
    return count;
  }

  // Revokes the fake's class; the code under test must be done with it.
  static void expect_all_released(FakeCoreAudio& fake) {
    fake.revoke();
    EXPECT_THAT(fake.unreleased(), IsEmpty());
  }

  // A tracked application, so that its sessions reach the output.
  std::optional<ChildProcess> start_zoom() {
    std::optional<std::wstring> exe = folder_.place_sleeper(L"Zoom.exe");
    return exe ? ChildProcess::start(*exe) : std::nullopt;
  }

  ComThread com_;
  LineRecorder output_;
  std::unique_ptr<AudioPlatform> platform_ = make_windows_audio_platform();
  ScratchFolder folder_;
};

TEST_F(SessionWatchTest, EveryCaptureSessionIsWatchedOnceHoweverItIsLearnedOf) {
  FakeCoreAudio fake(call(NO_SUCH_PID));
  {
    auto detector = start();
    ASSERT_TRUE(detector);
    // Idle sessions too; nothing on the speaker.
    EXPECT_EQ(fake.session_sinks(u"mic").size(), 1u);
    EXPECT_EQ(fake.session_sinks(u"usb-mic").size(), 1u);
    EXPECT_EQ(fake.session_sinks(u"spk").size(), 0u);
    EXPECT_EQ(fake.events_sinks(u"zoom-mic").size(), 1u);
    EXPECT_EQ(fake.events_sinks(u"zoom-idle").size(), 1u);
    EXPECT_EQ(fake.events_sinks(u"zoom-spk").size(), 0u);
    // Announced to the sink and listed by the next refresh alike, from the service's thread
    // while the loop polls.
    std::jthread service([&] {
      fake.create_session(u"usb-mic", {NO_SUCH_PID, AudioSessionStateActive, {}, u"new"});
    });
    run_until(*detector, [&] { return fake.events_sinks(u"new").size() == 1; });
    service.join();
    run_pass(*detector);
    run_pass(*detector);
    EXPECT_EQ(fake.events_sinks(u"new").size(), 1u);
    EXPECT_EQ(fake.registered_sinks(), 5u);
    // The watch writes nothing: only the polls' summaries follow "started".
    for (std::size_t i = 1; i < output_.lines.size(); ++i) {
      EXPECT_NE(output_.lines[i].find("audio_process_snapshot"), std::string::npos);
    }
  }
  // Each unregistered with the pointer it was registered with, before its object went.
  EXPECT_EQ(fake.registered_sinks(), 0u);
  expect_all_released(fake);
}

TEST_F(SessionWatchTest, ACallbackThatComesTooLateChangesNothing) {
  FakeCoreAudio fake(call(NO_SUCH_PID));
  ComPtr<IAudioSessionEvents> idle_sink;
  ComPtr<IAudioSessionNotification> mic_sink;
  {
    auto detector = start();
    ASSERT_TRUE(detector);
    idle_sink = fake.events_sinks(u"zoom-idle").at(0);
    mic_sink = fake.session_sinks(u"mic").at(0);
    std::thread([&] { fake.change_state(u"zoom-idle", AudioSessionStateExpired); }).join();
    run_pass(*detector);
    EXPECT_THAT(fake.events_sinks(u"zoom-idle"), IsEmpty());
    const std::size_t registrations = calls_to(fake, "Register");
    EXPECT_EQ(idle_sink->OnStateChanged(AudioSessionStateActive), S_OK);
    EXPECT_EQ(idle_sink->OnSessionDisconnected(DisconnectReasonDeviceRemoval), S_OK);
    run_pass(*detector);
    run_pass(*detector);
    EXPECT_EQ(calls_to(fake, "Register"), registrations);  // nothing watched anew
  }
  // The watch is gone: a session lent to its old sink is not kept.
  ComPtr<IAudioSessionControl> control = fake.session_control(u"zoom-mic");
  EXPECT_EQ(mic_sink->OnSessionCreated(control.Get()), S_OK);
  control->AddRef();
  EXPECT_EQ(control->Release(), 1u);
  control.Reset();
  idle_sink.Reset();
  mic_sink.Reset();
  expect_all_released(fake);
}

// A platform that refuses (Wine's audio service has no session notifications) costs only
// speed: the same lines, and no second attempt.
TEST_F(SessionWatchTest, ARefusedRegistrationChangesNoLineAndIsNotRetried) {
  std::optional<ChildProcess> zoom = start_zoom();
  ASSERT_TRUE(zoom);
  struct Case {
    const char* refused;
    std::string call;
    std::size_t sinks;
  };
  const Case cases[] = {
      {"nothing", "RegisterSessionNotification(mic)", 4},
      {"the session manager", "RegisterSessionNotification(mic)", 1},
      {"the session", "RegisterAudioSessionNotification(zoom-mic)", 3},
  };
  std::vector<std::string> accepted_lines;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    CoreAudioScript script = call(zoom->pid());
    if (c.refused == std::string("the session manager")) {
      script.endpoints[0].outcomes[Call::register_sessions] = returns(E_NOTIMPL);
    } else if (c.refused == std::string("the session")) {
      script.endpoints[0].sessions[0].outcomes[Call::register_events] = returns(E_NOTIMPL);
    }
    FakeCoreAudio fake(std::move(script));
    output_.lines.clear();
    {
      auto detector = start();
      ASSERT_TRUE(detector);
      for (int pass = 0; pass < 3; ++pass) run_pass(*detector);
      EXPECT_EQ(calls_to(fake, c.call), 1u);
      EXPECT_EQ(fake.registered_sinks(), c.sinks);
    }
    if (accepted_lines.empty()) accepted_lines = output_.lines;
    EXPECT_EQ(output_.lines, accepted_lines);
    expect_all_released(fake);
  }
}

// An endpoint notice, a session disconnected and a device gone under a held manager each
// undo every registration, and the watch is built again on what there is now.
TEST_F(SessionWatchTest, TheWatchIsBuiltAnewWhenItsDevicesChange) {
  struct Case {
    const char* change;
    std::size_t sinks_after;
  };
  for (const Case& c : {Case{"endpoint notice", 4}, Case{"session disconnected", 4},
                        Case{"device invalidated", 3}}) {
    SCOPED_TRACE(c.change);
    FakeCoreAudio fake(call(NO_SUCH_PID));
    {
      auto detector = start();
      ASSERT_TRUE(detector);
      const std::string change = c.change;
      if (change == "endpoint notice") {
        fake.notify([](IMMNotificationClient& client) { client.OnDeviceAdded(L"usb-mic"); }).join();
      } else if (change == "session disconnected") {
        std::thread([&] { fake.disconnect(u"zoom-mic", DisconnectReasonFormatChanged); }).join();
      } else {
        fake.script().endpoints[1].state = DEVICE_STATE_UNPLUGGED;
      }
      run_until(*detector,
                [&] { return calls_to(fake, "UnregisterSessionNotification(usb-mic)") == 1; });
      run_pass(*detector);
      EXPECT_EQ(calls_to(fake, "UnregisterSessionNotification(mic)"), 1u);
      EXPECT_EQ(calls_to(fake, "UnregisterAudioSessionNotification"), 2u);
      EXPECT_EQ(fake.registered_sinks(), c.sinks_after);
    }
    expect_all_released(fake);
  }
}

// A thousand state changes from the service's thread in about a second, in bursts further apart
// than the sessions' settling time, each of which would bring a poll of its own: the polls keep
// their distance, and the last state is the one reported.
TEST_F(SessionWatchTest, AFloodOfStateChangesGivesAtMostTenPollsASecond) {
  std::optional<ChildProcess> zoom = start_zoom();
  ASSERT_TRUE(zoom);
  CoreAudioScript script = call(zoom->pid());
  script.endpoints[0].sessions[0].state = AudioSessionStateInactive;
  FakeCoreAudio fake(std::move(script));
  {
    auto detector = start(POLL_INTERVAL);
    ASSERT_TRUE(detector);
    std::atomic<bool> done{false};
    std::jthread service([&] {
      for (int i = 0; i < 1000; ++i) {
        fake.change_state(u"zoom-mic", i % 2 ? AudioSessionStateActive : AudioSessionStateInactive);
        if (i % 40 == 39) std::this_thread::sleep_for(std::chrono::milliseconds(40));
      }
      done = true;
    });
    while (!done) run_pass(*detector);
    run_pass(*detector);  // the last change's poll
    std::vector<std::chrono::steady_clock::time_point> polls;
    std::string last_state;
    for (std::size_t i = 0; i < output_.lines.size(); ++i) {
      if (output_.lines[i].find("audio_process_snapshot") != std::string::npos) {
        polls.push_back(output_.times[i]);
      } else if (output_.lines[i].find("call_app_mic_state") != std::string::npos) {
        last_state = output_.lines[i];
      }
    }
    ASSERT_GE(polls.size(), 2u);
    for (std::size_t i = 10; i < polls.size(); ++i) {
      EXPECT_GE(polls[i] - polls[i - 10], std::chrono::seconds(1)) << "poll " << i;
    }
    EXPECT_NE(last_state.find(R"("active":true)"), std::string::npos) << last_state;
  }
  expect_all_released(fake);
}

// Sessions that expire or just vanish (an application that ends without a word) are let go.
TEST_F(SessionWatchTest, TenThousandSessionsComeAndGoAndNothingMoreIsHeld) {
  CoreAudioScript script = call(NO_SUCH_PID);
  script.endpoints.resize(1);
  script.endpoints[0].sessions.clear();
  FakeCoreAudio fake(std::move(script));
  {
    auto detector = start(std::chrono::nanoseconds(0));
    ASSERT_TRUE(detector);
    run_pass(*detector);
    const std::size_t objects = fake.referenced_objects();
    const std::size_t sinks = fake.registered_sinks();
    for (int batch = 0; batch < 1000; ++batch) {
      for (int i = 0; i < 10; ++i) {
        const std::string number = std::to_string(batch * 10 + i);
        fake.create_session(u"mic", {NO_SUCH_PID,
                                     AudioSessionStateActive,
                                     {},
                                     std::u16string(number.begin(), number.end())});
      }
      run_pass(*detector);
      for (int i = 0; i < 10; i += 2) {
        const std::string number = std::to_string(batch * 10 + i);
        fake.change_state(std::u16string(number.begin(), number.end()), AudioSessionStateExpired);
      }
      fake.script().endpoints[0].sessions.clear();
      run_pass(*detector);
    }
    run_pass(*detector);
    run_pass(*detector);
    EXPECT_EQ(fake.referenced_objects(), objects);
    EXPECT_EQ(fake.registered_sinks(), sinks);
  }
  expect_all_released(fake);
}

}  // namespace
}  // namespace kolvex::win
