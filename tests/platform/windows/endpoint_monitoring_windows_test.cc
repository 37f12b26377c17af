// Endpoint monitoring through the real COM layer: the scripted Core Audio registers the client
// and calls it from threads of its own, as the audio service does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bin/detector.h"
#include "endpoints/flow_cache.h"
#include "fake_core_audio.h"
#include "platform/windows/windows_audio_platform.h"
#include "test_support.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string STARTED = R"({"ts":"<ts>","type":"started"})";

std::string lifecycle(std::uint64_t sequence, const std::string& change, const std::string& role,
                      const std::string& scope, const std::string& state = "") {
  return R"({"change":")" + change + R"(","contractVersion":1,"role":")" + role + R"(","scope":")" +
         scope + R"(","sequence":)" + std::to_string(sequence) +
         (state.empty() ? "" : R"(,"state":")" + state + "\"") +
         R"(,"ts":"<ts>","type":"device_lifecycle"})";
}

CoreAudioScript mic_and_speaker() {
  CoreAudioScript script;
  script.endpoints = {
      {u"mic", eCapture, {}, {}, DEVICE_STATE_ACTIVE},
      {u"spk", eRender, {}, {}, DEVICE_STATE_ACTIVE},
  };
  return script;
}

// The creation reference is the only one: the service keeps the pointer without one.
const std::string REGISTER = "RegisterEndpointNotificationCallback(client with 1 reference)";
const std::string UNREGISTER = "UnregisterEndpointNotificationCallback(client with 1 reference)";
// The session watch on the one microphone, which has no sessions yet.
const std::vector<std::string> WATCH_BUILD = {
    "EnumAudioEndpoints(1, 0x1)",
    "GetCount(1 endpoints)",
    "Item(1, 0)",
    "GetId(mic)",
    "Activate(mic, IAudioSessionManager2, 0x17, null)",
    "RegisterSessionNotification(mic)",
    "GetSessionEnumerator(mic)",
    "GetCount(mic sessions)",
};
const std::vector<std::string> FLOW_CACHE_BUILD = {
    "EnumAudioEndpoints(1, 0xF)", "GetCount(1 endpoints)", "Item(1, 0)", "GetId(mic)",
    "EnumAudioEndpoints(0, 0xF)", "GetCount(0 endpoints)", "Item(0, 0)", "GetId(spk)",
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class EndpointMonitoringWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(com_.failure(), ""); }

  std::unique_ptr<Detector> start(
      AudioPlatform& platform, std::chrono::nanoseconds interval = std::chrono::milliseconds(20)) {
    Result<std::unique_ptr<Detector>> detector = start_detector(platform, output_, interval);
    if (!detector) {
      ADD_FAILURE() << detector.error().chained_text();
      return nullptr;
    }
    return std::move(*detector);
  }

  // Passes until `done` holds, for a generous while.
  template <class Done>
  static void run_until(Detector& detector, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) run_pass(detector);
    EXPECT_TRUE(done());
  }

  static std::size_t calls_to(const FakeCoreAudio& fake, std::string_view call) {
    return static_cast<std::size_t>(
        std::count_if(fake.calls().begin(), fake.calls().end(),
                      [&](const auto& c) { return c.starts_with(call); }));
  }

  // Revokes the fake's class; the code under test must be done with it.
  static void expect_all_released(FakeCoreAudio& fake) {
    fake.revoke();
    EXPECT_THAT(fake.unreleased(), IsEmpty());
  }

  // Runs `body` with a detector on the scripted Core Audio, then checks that the detector, gone,
  // released all that the fake handed out.
  void with_detector(CoreAudioScript script,
                     const std::function<void(FakeCoreAudio&, Detector&)>& body,
                     std::chrono::nanoseconds interval = std::chrono::milliseconds(20),
                     WatchResume watch_resume = watch_resume_from_sleep) {
    FakeCoreAudio fake(std::move(script));
    {
      auto platform = make_windows_audio_platform(std::move(watch_resume));
      auto detector = start(*platform, interval);
      ASSERT_TRUE(detector);
      body(fake, *detector);
    }
    expect_all_released(fake);
  }

  ComThread com_;
  LineRecorder output_;
};

TEST_F(EndpointMonitoringWindowsTest, FlowCacheListsEveryStateAndAsksAboutUnknownIds) {
  CoreAudioScript script;
  script.endpoints = {
      {u"spk-unplugged", eRender, {}, {}, DEVICE_STATE_UNPLUGGED},
      {u"mic", eCapture, {}, {}, DEVICE_STATE_ACTIVE},
      {u"mic-\xD83C", eCapture, {}, {}, DEVICE_STATE_ACTIVE},
      {u"mic-disabled", eCapture, {}, {}, DEVICE_STATE_DISABLED},
      {u"spk-gone", eRender, {}, {}, DEVICE_STATE_NOTPRESENT},
  };
  script.arrivals = {{u"usb-mic", eCapture, {}, {}, DEVICE_STATE_ACTIVE}};
  FakeCoreAudio fake(std::move(script));
  {
    auto enumerator = make_windows_audio_platform()->create_device_enumerator();
    ASSERT_TRUE(enumerator);
    const EndpointFlowCache cache = build_flow_cache(**enumerator);
    EXPECT_EQ(cache, (EndpointFlowCache{{"mic", FlowLabel::capture},
                                        {"mic-disabled", FlowLabel::capture},
                                        {"spk-unplugged", FlowLabel::render},
                                        {"spk-gone", FlowLabel::render}}));
    EXPECT_EQ(resolve_flow(**enumerator, cache, "mic"), FlowLabel::capture);
    EXPECT_EQ(resolve_flow(**enumerator, cache, "usb-mic"), FlowLabel::capture);
    EXPECT_EQ(resolve_flow(**enumerator, cache, "nope"), FlowLabel::unknown);
  }
  EXPECT_THAT(fake.calls(),
              ElementsAre("CreateInstance(null, IMMDeviceEnumerator)", "EnumAudioEndpoints(1, 0xF)",
                          "GetCount(1 endpoints)", "Item(1, 0)", "GetId(mic)", "Item(1, 1)",
                          "GetId(mic-\xEF\xBF\xBD)", "Item(1, 2)", "GetId(mic-disabled)",
                          "EnumAudioEndpoints(0, 0xF)", "GetCount(0 endpoints)", "Item(0, 0)",
                          "GetId(spk-unplugged)", "Item(0, 1)", "GetId(spk-gone)",
                          "GetDevice(usb-mic)", "QueryInterface(usb-mic, IMMEndpoint)",
                          "GetDataFlow(usb-mic)", "GetDevice(nope)"));
  // Every endpoint id string, the undecodable one too, was freed once.
  expect_all_released(fake);
}

TEST_F(EndpointMonitoringWindowsTest, TheRegistrationLastsUntilTheDetectorIsDestroyed) {
  FakeCoreAudio fake(mic_and_speaker());
  {
    auto platform = make_windows_audio_platform();
    auto detector = start(*platform);
    ASSERT_TRUE(detector);
    EXPECT_THAT(output_.lines, ElementsAre(STARTED));
    ASSERT_NE(fake.notification_client(), nullptr);
    ComPtr<IMMNotificationClient> client(fake.notification_client());
    detector.reset();
    // The fake forgets the client only when given the registered pointer.
    EXPECT_EQ(fake.notification_client(), nullptr);
    // The detector let go of the client; with ours released it is freed.
    client->AddRef();
    EXPECT_EQ(client->Release(), 1u);
  }
  // Registered before the cache is built, so that no change falls between the two; the watch
  // is undone first. The registration's reference and ours are the client's two at the end.
  EXPECT_THAT(
      fake.calls(),
      ElementsAreArray(concat(
          concat(concat({"CreateInstance(null, IMMDeviceEnumerator)", REGISTER}, WATCH_BUILD),
                 FLOW_CACHE_BUILD),
          {"UnregisterSessionNotification(mic)",
           "UnregisterEndpointNotificationCallback(client with 2 references)"})));
  expect_all_released(fake);
}

// A fault exit runs no destructors, yet every registration is undone on the way out, once,
// after the report: the session's and the session manager's, then the client's. The calls are
// echoed to standard error as they come, as nothing else survives. A service that does not
// answer holds the exit up for about a second, not for ever.
TEST_F(EndpointMonitoringWindowsTest, AFaultExitUndoesEveryRegistrationAfterTheReport) {
  const auto script = [](bool service_answers) {
    CoreAudioScript made = mic_and_speaker();
    made.endpoints[0].sessions = {{4120, AudioSessionStateInactive, {}}};
    if (!service_answers) {
      made.endpoints[0].sessions[0].outcomes[Call::unregister_events] = never_returns();
    }
    return made;
  };
  std::vector<std::string> watch = WATCH_BUILD;
  watch.insert(watch.end(), {"GetSession(mic, 0)", "GetState(mic#0)",
                             "QueryInterface(mic#0, IAudioSessionControl2)",
                             "RegisterAudioSessionNotification(mic#0)"});
  std::string before;
  for (const std::string& call :
       concat(concat({"CreateInstance(null, IMMDeviceEnumerator)", REGISTER}, watch),
              FLOW_CACHE_BUILD)) {
    before += "call: " + call + "\n";
  }
  // "started" is the first line, and the pipe's reader is gone: error 232.
  before += "fatal error in thread 'main':\nfailed printing to stdout: " +
            system_text(static_cast<HRESULT>(ERROR_NO_DATA)) + " (os error 232)\n" +
            "call: UnregisterAudioSessionNotification(mic#0)\n";
  const std::string after = "call: UnregisterSessionNotification(mic)\ncall: " + UNREGISTER + "\n";
  for (bool service_answers : {true, false}) {
    SCOPED_TRACE(service_answers ? "the service answers" : "an unregistration never returns");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(run_with_reader_gone(script(service_answers)), ::testing::ExitedWithCode(101),
                ::testing::Eq(service_answers ? before + after : before));
    // Generous: a death test starts a process of its own, under Wine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
}

TEST_F(EndpointMonitoringWindowsTest, AFailedRegistrationIsTheFirstLineAndIsNeverUndone) {
  CoreAudioScript script = mic_and_speaker();
  script.outcomes[Call::register_client] = returns(E_ACCESSDENIED);
  FakeCoreAudio fake(std::move(script));
  {
    auto platform = make_windows_audio_platform();
    auto detector = start(*platform);
    ASSERT_TRUE(detector);
    EXPECT_THAT(output_.lines,
                ElementsAre(lifecycle(1, "listener_failed", "none", "unknown"), STARTED));
  }
  EXPECT_THAT(fake.calls(),
              ElementsAreArray(concat({"CreateInstance(null, IMMDeviceEnumerator)", REGISTER},
                                      FLOW_CACHE_BUILD)));
  expect_all_released(fake);
}

TEST_F(EndpointMonitoringWindowsTest, NotificationsFromTheServiceThreadBecomeLifecycleLines) {
  CoreAudioScript script = mic_and_speaker();
  script.arrivals = {{u"usb-mic", eCapture, {}, {}, DEVICE_STATE_ACTIVE}};
  with_detector(std::move(script), [&](FakeCoreAudio& fake, Detector& detector) {
    // Raised while the loop runs, so that the wait is woken from the other thread.
    std::jthread service = fake.notify([](IMMNotificationClient& client) {
      client.OnDeviceAdded(L"usb-mic");
      client.OnDeviceStateChanged(L"usb-mic", DEVICE_STATE_UNPLUGGED);
      client.OnDefaultDeviceChanged(eCapture, eCommunications, L"mic");
      client.OnDeviceRemoved(L"spk");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output_.lifecycle_lines().size() < 4 && std::chrono::steady_clock::now() < deadline) {
      run_pass(detector);
    }
    EXPECT_EQ(output_.lines.front(), STARTED);
    EXPECT_THAT(output_.lifecycle_lines(),
                ElementsAre(lifecycle(1, "endpoint_added", "none", "capture"),
                            lifecycle(2, "endpoint_state_changed", "none", "capture", "unplugged"),
                            lifecycle(3, "default_role_changed", "communications", "capture"),
                            lifecycle(4, "endpoint_removed", "none", "render")));
  });
}

TEST_F(EndpointMonitoringWindowsTest, ABurstBeyondTheQueueIsHandledUpToItThenReportedOnce) {
  with_detector(mic_and_speaker(), [&](FakeCoreAudio& fake, Detector& detector) {
    // Distinct ids, or de-duplication would hide what the queue kept.
    fake.notify([](IMMNotificationClient& client) {
          for (int i = 0; i < 300; ++i) {
            client.OnDeviceAdded((L"usb-" + std::to_wstring(i)).c_str());
          }
        })
        .join();
    run_pass(detector);
    run_pass(detector);
    std::vector<std::string> expected;
    std::vector<std::string> looked_up;
    for (std::uint64_t i = 0; i < 256; ++i) {
      expected.push_back(lifecycle(i + 1, "endpoint_added", "none", "unknown"));
      looked_up.push_back("GetDevice(usb-" + std::to_string(i) + ")");
    }
    expected.push_back(lifecycle(257, "listener_failed", "none", "unknown"));
    EXPECT_THAT(output_.lifecycle_lines(), ElementsAreArray(expected));
    std::vector<std::string> devices;
    for (const std::string& call : fake.calls()) {
      if (call.starts_with("GetDevice(")) devices.push_back(call);
    }
    EXPECT_THAT(devices, ElementsAreArray(looked_up));
  });
}

// The soak of the real COM layer: the main loop with no wait, sessions and processes that
// change every poll, notifications from the service's thread and a failing listing now and then.
TEST_F(EndpointMonitoringWindowsTest, AThousandChangingPollsLeaveEveryInterfaceReleased) {
  CoreAudioScript script = mic_and_speaker();
  script.capture_defaults = {{eCommunications, u"mic"}, {eConsole, u"mic"}};
  FakeCoreAudio fake(std::move(script));
  constexpr int POLLS = 1000;
  {
    auto platform = make_windows_audio_platform();
    Result<std::unique_ptr<Detector>> detector =
        start_detector(*platform, output_, std::chrono::nanoseconds(0));
    ASSERT_TRUE(detector.ok());
    for (int poll = 0; poll < POLLS; ++poll) {
      CoreAudioScript& s = fake.script();
      // This test program is a process that can be identified; the others are gone.
      s.endpoints[0].sessions = {
          {GetCurrentProcessId(),
           poll % 3 ? AudioSessionStateActive : AudioSessionStateInactive,
           {}},
          {static_cast<std::uint32_t>(100000 + poll % 7 * 4), AudioSessionStateActive, {}}};
      s.endpoints[1].sessions = {{GetCurrentProcessId(), AudioSessionStateActive, {}}};
      s.flow_outcomes[eCapture].clear();
      if (poll % 100 == 99) s.flow_outcomes[eCapture][Call::enum_endpoints] = returns(E_FAIL);
      if (poll % 10 == 0) {
        fake.notify([poll](IMMNotificationClient& client) {
          client.OnDeviceAdded((L"usb-" + std::to_wstring(poll % 30)).c_str());
          client.OnDeviceStateChanged(L"spk",
                                      poll % 20 ? DEVICE_STATE_UNPLUGGED : DEVICE_STATE_ACTIVE);
          client.OnDefaultDeviceChanged(eCapture, eConsole, L"mic");
        });
      }
      run_pass(**detector);
    }
  }
  std::size_t snapshots = 0, failures = 0;
  for (const std::string& line : output_.lines) {
    snapshots += line.find(R"("type":"audio_process_snapshot")") != std::string::npos;
    failures += line.starts_with("stderr: ");
  }
  EXPECT_EQ(snapshots, POLLS - POLLS / 100);
  EXPECT_EQ(failures, POLLS / 100u);
  expect_all_released(fake);
}

// The session watch: the scripted Core Audio calls its sinks from threads of its own while the
// main loop polls, as the audio service does.

constexpr std::uint32_t NO_SUCH_PID = 0xFFFFFFF0;

// Zoom talking and idle on the default microphone, and playing; a second microphone, unused.
CoreAudioScript call(std::uint32_t zoom) {
  CoreAudioScript script;
  script.endpoints = {
      {u"mic",
       eCapture,
       {{zoom, AudioSessionStateActive, {}, u"talk"},
        {zoom, AudioSessionStateInactive, {}, u"idle"}},
       {},
       DEVICE_STATE_ACTIVE},
      {u"usb-mic", eCapture, {}, {}, DEVICE_STATE_ACTIVE},
      {u"spk", eRender, {{zoom, AudioSessionStateActive, {}, u"play"}}, {}, DEVICE_STATE_ACTIVE},
  };
  script.capture_defaults = {{eCommunications, u"mic"}, {eConsole, u"mic"}};
  return script;
}

std::u16string number(int n) {
  const std::string text = std::to_string(n);
  return {text.begin(), text.end()};
}

// Every capture session is watched once, idle ones too, whether listed, announced, or both;
// late callbacks change nothing; all is undone with the pointers that were registered.
TEST_F(EndpointMonitoringWindowsTest, EachCaptureSessionIsWatchedOnceAndLateCallbacksDoNothing) {
  FakeCoreAudio fake(call(NO_SUCH_PID));
  ComPtr<IAudioSessionEvents> idle_sink;
  ComPtr<IAudioSessionNotification> mic_sink;
  {
    auto platform = make_windows_audio_platform();
    auto detector = start(*platform);
    ASSERT_TRUE(detector);
    for (const auto* key : {u"mic", u"usb-mic"}) EXPECT_EQ(fake.session_sinks(key).size(), 1u);
    for (const auto* key : {u"talk", u"idle"}) EXPECT_EQ(fake.events_sinks(key).size(), 1u);
    EXPECT_EQ(fake.registered_sinks(), 4u);  // nothing on the speaker
    idle_sink = fake.events_sinks(u"idle").at(0);
    mic_sink = fake.session_sinks(u"mic").at(0);
    std::jthread service([&] {
      fake.create_session(u"usb-mic", {NO_SUCH_PID, AudioSessionStateActive, {}, u"new"});
      fake.change_state(u"idle", AudioSessionStateExpired);
    });
    run_until(*detector, [&] { return fake.events_sinks(u"idle").empty(); });
    service.join();
    run_pass(*detector);
    EXPECT_EQ(fake.events_sinks(u"new").size(), 1u);
    const std::size_t registrations = calls_to(fake, "Register");
    EXPECT_EQ(idle_sink->OnStateChanged(AudioSessionStateActive), S_OK);
    EXPECT_EQ(idle_sink->OnSessionDisconnected(DisconnectReasonDeviceRemoval), S_OK);
    run_pass(*detector);
    EXPECT_EQ(calls_to(fake, "Register"), registrations);  // nothing watched anew
    // The watch is silent: "started", then only the polls' summaries.
    EXPECT_EQ(std::count_if(output_.lines.begin(), output_.lines.end(),
                            [](const auto& line) { return line.find("snapshot") != line.npos; }),
              output_.lines.size() - 1);
  }
  EXPECT_EQ(fake.registered_sinks(), 0u);
  // The watch is gone: a session lent to its old sink is not kept.
  ComPtr<IAudioSessionControl> control = fake.session_control(u"talk");
  EXPECT_EQ(mic_sink->OnSessionCreated(control.Get()), S_OK);
  control->AddRef();
  EXPECT_EQ(control->Release(), 1u);
  control.Reset();
  idle_sink.Reset();
  mic_sink.Reset();
  expect_all_released(fake);
}

// A refusal (Wine's audio service has no session notifications) costs only speed: the same
// lines, and no second attempt.
TEST_F(EndpointMonitoringWindowsTest, ARefusedSessionRegistrationChangesNoLineAndIsNotRetried) {
  struct Case {
    std::string refused, call;
    std::size_t sinks;
  };
  std::vector<std::string> accepted;
  for (const Case& c : {Case{"nothing", "RegisterSessionNotification(mic)", 4},
                        Case{"session manager", "RegisterSessionNotification(mic)", 1},
                        Case{"session", "RegisterAudioSessionNotification(talk)", 3}}) {
    SCOPED_TRACE(c.refused);
    CoreAudioScript script = call(GetCurrentProcessId());
    if (c.refused == "session manager") {
      script.endpoints[0].outcomes[Call::register_sessions] = returns(E_NOTIMPL);
    } else if (c.refused == "session") {
      script.endpoints[0].sessions[0].outcomes[Call::register_events] = returns(E_NOTIMPL);
    }
    output_.lines.clear();
    with_detector(std::move(script), [&](FakeCoreAudio& fake, Detector& detector) {
      for (int pass = 0; pass < 3; ++pass) run_pass(detector);
      EXPECT_EQ(calls_to(fake, c.call), 1u);
      EXPECT_EQ(fake.registered_sinks(), c.sinks);
    });
    if (accepted.empty()) accepted = output_.lines;
    EXPECT_EQ(output_.lines, accepted);
  }
}

// Only what a change touched is watched anew: the endpoint that came or went, the endpoint whose
// device disconnected a session; everything after a resume from sleep, and nothing for a device
// or a role the watch does not follow.
TEST_F(EndpointMonitoringWindowsTest, TheSessionWatchIsBuiltAnewWhereThingsChanged) {
  struct Case {
    std::string change;
    // Unregistered: the two microphones' session managers, and sessions; then sinks left.
    std::vector<std::size_t> unregistered;
    std::size_t sinks;
  };
  for (const Case& c :
       {Case{"render device notice", {0, 0, 0}, 4}, Case{"default role notice", {0, 0, 0}, 4},
        Case{"microphone unplugged, with its notice", {0, 1, 0}, 3},
        Case{"microphone invalidated", {0, 1, 0}, 3},
        Case{"session disconnected by its device", {1, 0, 2}, 4},
        Case{"resume from sleep", {1, 1, 2}, 4}}) {
    SCOPED_TRACE(c.change);
    output_.lines.clear();
    std::function<void()> resume;
    const auto watch_resume = [&](std::function<void()> resumed) {
      resume = std::move(resumed);
      return std::make_unique<ResumeWatch>();
    };
    with_detector(
        call(NO_SUCH_PID),
        [&](FakeCoreAudio& fake, Detector& detector) {
          const bool noticed = c.change.find("notice") != std::string::npos;
          if (c.change.starts_with("microphone"))
            fake.script().endpoints[1].state = DEVICE_STATE_UNPLUGGED;
          if (noticed) {
            fake.notify([&](IMMNotificationClient& client) {
                  if (c.change.starts_with("render")) {
                    client.OnDeviceStateChanged(L"spk", DEVICE_STATE_UNPLUGGED);
                  } else if (c.change.starts_with("default")) {
                    client.OnDefaultDeviceChanged(eCapture, eConsole, L"usb-mic");
                  } else {
                    client.OnDeviceStateChanged(L"usb-mic", DEVICE_STATE_UNPLUGGED);
                  }
                })
                .join();
          } else if (c.change.starts_with("session")) {
            std::thread([&] { fake.disconnect(u"talk", DisconnectReasonFormatChanged); }).join();
          } else if (c.change.starts_with("resume")) {
            std::thread(resume).join();
          }
          const auto unregistered = [&] {
            return std::vector<std::size_t>{
                calls_to(fake, "UnregisterSessionNotification(mic)"),
                calls_to(fake, "UnregisterSessionNotification(usb-mic)"),
                calls_to(fake, "UnregisterAudioSessionNotification")};
          };
          run_until(detector, [&] {
            return unregistered() == c.unregistered && output_.lifecycle_lines().empty() != noticed;
          });
          run_pass(detector);
          EXPECT_EQ(unregistered(), c.unregistered);
          EXPECT_EQ(fake.registered_sinks(), c.sinks);
        },
        std::chrono::milliseconds(20), watch_resume);
  }
}

// The audio service stops with sessions held and starts again, and no endpoint notice comes. The
// watch learns it from the sessions' disconnection or from what it holds, lets go of it all, and
// is whole again once the service answers: a new session is watched and reported.
TEST_F(EndpointMonitoringWindowsTest, TheWatchIsWholeAgainAfterTheAudioServiceRestarts) {
  const FakeCoreAudio::ServiceStop stops[] = {
      {AUDCLNT_E_SERVICE_NOT_RUNNING, true, false},
      {RPC_E_DISCONNECTED, false, false},
      {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), false, true},  // the enumerator's too
  };
  const std::string active = R"("activeProcessCount":1)";
  for (const FakeCoreAudio::ServiceStop& stop : stops) {
    SCOPED_TRACE(expected_text(stop.answer));
    with_detector(call(GetCurrentProcessId()), [&](FakeCoreAudio& fake, Detector& detector) {
      ASSERT_EQ(fake.registered_sinks(), 4u);
      std::thread([&] { fake.stop_service(stop); }).join();
      run_until(detector, [&] {
        return calls_to(fake, "UnregisterSessionNotification") == 2 &&
               calls_to(fake, "UnregisterAudioSessionNotification") == 2;
      });
      fake.start_service();
      run_until(detector, [&] { return fake.registered_sinks() == 2; });
      std::thread([&] {
        fake.create_session(u"mic", {GetCurrentProcessId(), AudioSessionStateActive, {}, u"new"});
      }).join();
      run_until(detector, [&] {
        return fake.events_sinks(u"new").size() == 1 &&
               output_.lines.back().find(active) != std::string::npos;
      });
    });
  }
}

// Only a refusal is final: a registration or listing that fails otherwise is tried again.
TEST_F(EndpointMonitoringWindowsTest, WhatFailsOnceIsTriedAgain) {
  const std::pair<Call, HRESULT> failures[] = {
      {Call::activate, E_FAIL},
      {Call::register_sessions, E_OUTOFMEMORY},
      {Call::session_enumerator, AUDCLNT_E_DEVICE_INVALIDATED},
      {Call::register_events, E_FAIL},
  };
  for (const auto& [failing, status] : failures) {
    SCOPED_TRACE(static_cast<int>(failing));
    CoreAudioScript script = call(NO_SUCH_PID);
    (failing == Call::register_events ? script.endpoints[0].sessions[0].outcomes
                                      : script.endpoints[0].outcomes)[failing] = fails_once(status);
    with_detector(std::move(script), [&](FakeCoreAudio& fake, Detector& detector) {
      EXPECT_LT(fake.registered_sinks(), 4u);
      run_until(detector, [&] { return fake.registered_sinks() == 4; });
    });
  }
}

// 250 changes of a session's state from the service's thread, or of the default microphone, in
// bursts further apart than the sessions take to settle, each of which would bring a poll of its
// own. The polls keep their distance, every notice is reported, and the last poll sees the last
// state: this test program captures while its session is active, on the console's default.
TEST_F(EndpointMonitoringWindowsTest, AFloodOfNewsGivesAtMostTenPollsASecond) {
  for (bool defaults : {false, true}) {
    SCOPED_TRACE(defaults ? "default switches" : "session states");
    CoreAudioScript script = call(GetCurrentProcessId());
    script.endpoints[0].sessions = {{GetCurrentProcessId(),
                                     defaults ? AudioSessionStateActive : AudioSessionStateInactive,
                                     {},
                                     u"talk"}};
    output_ = {};
    with_detector(
        std::move(script),
        [&](FakeCoreAudio& fake, Detector& detector) {
          std::atomic<bool> done{false};
          std::jthread service([&] {
            for (int i = 0; i < 250; ++i) {
              if (defaults) {
                fake.change_default(eCommunications, i % 2 ? u"usb-mic" : u"mic");
              } else {
                fake.change_state(u"talk",
                                  i % 2 ? AudioSessionStateActive : AudioSessionStateInactive);
              }
              if (i % 5 == 4) std::this_thread::sleep_for(std::chrono::milliseconds(40));
            }
            done = true;
          });
          while (!done) run_pass(detector);
          const std::size_t before = output_.lines.size();
          const std::string last_state =
              defaults ? R"("system_default")" : R"("activeProcessCount":1)";
          run_until(detector, [&] {
            return output_.lines.size() > before &&
                   output_.lines.back().find(last_state) != std::string::npos &&
                   output_.lifecycle_lines().size() == (defaults ? 250u : 0u);
          });
        },
        std::chrono::milliseconds(500));
    std::vector<std::chrono::steady_clock::time_point> polls;
    for (std::size_t i = 0; i < output_.lines.size(); ++i) {
      if (output_.lines[i].find("audio_process_snapshot") != std::string::npos) {
        polls.push_back(output_.times[i]);
      }
    }
    for (std::size_t i = 10; i < polls.size(); ++i) {
      EXPECT_GE(polls[i] - polls[i - 10], std::chrono::seconds(1)) << "poll " << i;
    }
  }
}

// Sessions that expire, or just vanish (an application that ends without a word), are let go.
TEST_F(EndpointMonitoringWindowsTest, TenThousandSessionsComeAndGoAndTheWatchHoldsNoMore) {
  CoreAudioScript script = call(NO_SUCH_PID);
  script.endpoints.resize(1);
  script.endpoints[0].sessions.clear();
  with_detector(
      std::move(script),
      [&](FakeCoreAudio& fake, Detector& detector) {
        run_pass(detector);
        const std::size_t objects = fake.referenced_objects(), sinks = fake.registered_sinks();
        for (int batch = 0; batch < 1000; ++batch) {
          for (int i = batch * 10; i < batch * 10 + 10; ++i) {
            fake.create_session(u"mic", {NO_SUCH_PID, AudioSessionStateActive, {}, number(i)});
          }
          run_pass(detector);
          for (int i = batch * 10; i < batch * 10 + 10; i += 2) {
            fake.change_state(number(i), AudioSessionStateExpired);
          }
          fake.script().endpoints[0].sessions.clear();
          run_pass(detector);
        }
        run_pass(detector);
        run_pass(detector);
        EXPECT_EQ(fake.referenced_objects(), objects);
        EXPECT_EQ(fake.registered_sinks(), sinks);
      },
      std::chrono::nanoseconds(0));
}

}  // namespace
}  // namespace kolvex::win
