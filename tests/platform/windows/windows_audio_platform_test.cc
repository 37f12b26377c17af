#include "platform/windows/windows_audio_platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_core_audio.h"
#include "test_support.h"

namespace kolvex::win {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// AUDCLNT_S_NO_SINGLE_PROCESS, Core Audio's "several processes" success; MinGW-w64 lacks it.
constexpr HRESULT NO_SINGLE_PROCESS = 0x0889000D;

CoreAudioScript render_and_capture() {
  CoreAudioScript script;
  script.endpoints = {
      {u"spk", eRender, {{101, AudioSessionStateActive, {}}}, {}, DEVICE_STATE_ACTIVE},
      {u"mic", eCapture, {{202, AudioSessionStateActive, {}}}, {}, DEVICE_STATE_ACTIVE},
  };
  script.capture_defaults = {{eCommunications, u"mic"}, {eConsole, u"mic"}};
  return script;
}

// Where in render_and_capture() each call's outcome is chosen: the capture side.
Outcomes& outcomes_of(CoreAudioScript& script, Call call) {
  switch (call) {
    case Call::create_instance:
    case Call::default_endpoint:
    case Call::device:
      return script.outcomes;
    case Call::enum_endpoints:
    case Call::endpoint_count:
      return script.flow_outcomes[eCapture];
    case Call::get_session:
    case Call::query_control2:
    case Call::process_id:
    case Call::state:
      return script.endpoints[1].sessions[0].outcomes;
    default:
      return script.endpoints[1].outcomes;
  }
}

struct Seen {
  std::uint32_t endpoints = 0;
  std::string id;
  std::int32_t flow = -1;
  std::int32_t sessions = 0;
  std::uint32_t pid = 0;
  bool active = false;
  std::string default_id;
  std::string device_id;
  friend bool operator==(const Seen&, const Seen&) = default;
};

// Every operation of the layer once, on the capture endpoint "mic" and its session.
Result<Seen> walk(AudioPlatform& platform) {
  Seen seen;
  auto enumerator = platform.create_device_enumerator();
  if (!enumerator) return enumerator.take_error();
  auto endpoints = (*enumerator)->endpoints(DataFlow::capture, DEVICE_STATE_ACTIVE);
  if (!endpoints) return endpoints.take_error();
  auto count = (*endpoints)->count();
  if (!count) return count.take_error();
  seen.endpoints = *count;
  auto endpoint = (*endpoints)->item(0);
  if (!endpoint) return endpoint.take_error();
  auto id = (*endpoint)->id();
  if (!id) return id.take_error();
  seen.id = *id;
  auto flow = (*endpoint)->data_flow();
  if (!flow) return flow.take_error();
  seen.flow = *flow;
  auto sessions = (*endpoint)->sessions();
  if (!sessions) return sessions.take_error();
  auto session_count = (*sessions)->count();
  if (!session_count) return session_count.take_error();
  seen.sessions = *session_count;
  auto session = (*sessions)->session(0);
  if (!session) return session.take_error();
  auto pid = (*session)->process_id();
  if (!pid) return pid.take_error();
  seen.pid = *pid;
  auto active = (*session)->is_active();
  if (!active) return active.take_error();
  seen.active = *active;
  auto default_endpoint =
      (*enumerator)->default_endpoint(DataFlow::capture, DeviceRole::communications);
  if (!default_endpoint) return default_endpoint.take_error();
  auto default_id = (*default_endpoint)->id();
  if (!default_id) return default_id.take_error();
  seen.default_id = *default_id;
  auto device = (*enumerator)->device("mic");
  if (!device) return device.take_error();
  auto device_id = (*device)->id();
  if (!device_id) return device_id.take_error();
  seen.device_id = *device_id;
  return seen;
}

const Seen MIC_SEEN{1, "mic", 1, 1, 202, true, "mic", "mic"};

class WindowsAudioPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(com_.failure(), ""); }

  // Revokes the fake's class; the code under test must be done with it.
  static void expect_all_released(FakeCoreAudio& fake) {
    fake.revoke();
    EXPECT_THAT(fake.unreleased(), IsEmpty());
  }

  ComThread com_;
};

TEST_F(WindowsAudioPlatformTest, CallsCoreAudioWithTheRequiredArguments) {
  FakeCoreAudio fake(render_and_capture());
  ASSERT_HRESULT_SUCCEEDED(fake.registration_status());
  {
    const auto platform = make_windows_audio_platform();
    Result<Seen> seen = walk(*platform);
    ASSERT_TRUE(seen) << seen.error().chained_text();
    EXPECT_EQ(*seen, MIC_SEEN);
    auto enumerator = platform->create_device_enumerator();
    ASSERT_TRUE(enumerator);
    EXPECT_TRUE((*enumerator)->endpoints(DataFlow::render, DEVICE_STATEMASK_ALL));
    EXPECT_TRUE((*enumerator)->default_endpoint(DataFlow::capture, DeviceRole::console));
  }
  EXPECT_THAT(
      fake.calls(),
      ElementsAre("CreateInstance(null, IMMDeviceEnumerator)", "EnumAudioEndpoints(1, 0x1)",
                  "GetCount(1 endpoints)", "Item(1, 0)", "GetId(mic)",
                  "QueryInterface(mic, IMMEndpoint)", "GetDataFlow(mic)",
                  "Activate(mic, IAudioSessionManager2, 0x17, null)", "GetSessionEnumerator(mic)",
                  "GetCount(mic sessions)", "GetSession(mic, 0)",
                  "QueryInterface(mic#0, IAudioSessionControl2)", "GetProcessId(mic#0)",
                  "GetState(mic#0)", "GetDefaultAudioEndpoint(1, 2)", "GetId(mic)",
                  "GetDevice(mic)", "GetId(mic)", "CreateInstance(null, IMMDeviceEnumerator)",
                  "EnumAudioEndpoints(0, 0xF)", "GetDefaultAudioEndpoint(1, 0)"));
  expect_all_released(fake);
}

TEST_F(WindowsAudioPlatformTest, EveryFailingCallBecomesAPlatformError) {
  const struct {
    Call call;
    HRESULT status;
  } failures[] = {
      {Call::create_instance, REGDB_E_CLASSNOTREG},
      {Call::enum_endpoints, E_OUTOFMEMORY},
      {Call::endpoint_count, E_UNEXPECTED},
      {Call::item, E_INVALIDARG},
      {Call::get_id, E_OUTOFMEMORY},
      {Call::query_endpoint, E_NOINTERFACE},
      {Call::data_flow, E_FAIL},
      {Call::activate, AUDCLNT_E_DEVICE_INVALIDATED},
      {Call::session_enumerator, E_ACCESSDENIED},
      {Call::session_count, E_POINTER},
      {Call::get_session, E_INVALIDARG},
      {Call::query_control2, E_NOINTERFACE},
      {Call::process_id, E_FAIL},
      {Call::state, AUDCLNT_E_DEVICE_INVALIDATED},
      {Call::default_endpoint, HRESULT_FROM_WIN32(ERROR_NOT_FOUND)},
      {Call::device, HRESULT_FROM_WIN32(ERROR_NOT_FOUND)},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(::testing::Message() << "call " << static_cast<int>(failure.call));
    CoreAudioScript script = render_and_capture();
    outcomes_of(script, failure.call)[failure.call] = returns(failure.status);
    FakeCoreAudio fake(std::move(script));
    {
      Result<Seen> seen = walk(*make_windows_audio_platform());
      ASSERT_FALSE(seen);
      ASSERT_NE(seen.error().platform_error(), nullptr);
      EXPECT_EQ(seen.error().platform_error()->code(), failure.status);
      EXPECT_EQ(seen.error().chained_text(), expected_text(failure.status));
    }
    expect_all_released(fake);
  }
}

TEST_F(WindowsAudioPlatformTest, SuccessWithoutAnObjectIsAnEmptyError) {
  for (Call call :
       {Call::create_instance, Call::enum_endpoints, Call::item, Call::get_id, Call::query_endpoint,
        Call::activate, Call::session_enumerator, Call::get_session, Call::query_control2,
        Call::default_endpoint, Call::device}) {
    SCOPED_TRACE(::testing::Message() << "call " << static_cast<int>(call));
    CoreAudioScript script = render_and_capture();
    outcomes_of(script, call)[call] = no_object();
    FakeCoreAudio fake(std::move(script));
    {
      Result<Seen> seen = walk(*make_windows_audio_platform());
      ASSERT_FALSE(seen);
      ASSERT_NE(seen.error().platform_error(), nullptr);
      EXPECT_EQ(seen.error().platform_error()->code(), 0);
      EXPECT_EQ(seen.error().chained_text(), expected_text(S_OK));
    }
    expect_all_released(fake);
  }
}

TEST_F(WindowsAudioPlatformTest, SuccessCodesOtherThanSOkAreSuccesses) {
  for (Call call :
       {Call::create_instance, Call::enum_endpoints, Call::endpoint_count, Call::item, Call::get_id,
        Call::query_endpoint, Call::data_flow, Call::activate, Call::session_enumerator,
        Call::session_count, Call::get_session, Call::query_control2, Call::process_id, Call::state,
        Call::default_endpoint, Call::device}) {
    for (HRESULT status : {S_FALSE, NO_SINGLE_PROCESS}) {
      SCOPED_TRACE(::testing::Message()
                   << "call " << static_cast<int>(call) << " status " << status);
      CoreAudioScript script = render_and_capture();
      outcomes_of(script, call)[call] = returns(status);
      FakeCoreAudio fake(std::move(script));
      {
        Result<Seen> seen = walk(*make_windows_audio_platform());
        ASSERT_TRUE(seen) << seen.error().chained_text();
        EXPECT_EQ(*seen, MIC_SEEN);
      }
      expect_all_released(fake);
    }
  }
}

TEST_F(WindowsAudioPlatformTest, ErrorInformationLeftByCoreAudioIsInTheText) {
  CoreAudioScript script = render_and_capture();
  script.endpoints[1].outcomes[Call::activate] =
      returns(AUDCLNT_E_DEVICE_INVALIDATED, u"The endpoint was removed.\r\n");
  FakeCoreAudio fake(std::move(script));
  {
    Result<Seen> seen = walk(*make_windows_audio_platform());
    ASSERT_FALSE(seen);
    EXPECT_EQ(seen.error().chained_text(), "The endpoint was removed. (0x88890004)");
  }
  expect_all_released(fake);
}

TEST_F(WindowsAudioPlatformTest, EndpointIdsAreDecodedStrictly) {
  const struct {
    std::u16string id;
    std::optional<std::string> utf8;
  } cases[] = {
      {u"{0.0.1.00000000}.{5a1c}", "{0.0.1.00000000}.{5a1c}"},
      {u"mic-\xD83C\xDFA4", "mic-\xF0\x9F\x8E\xA4"},  // a surrogate pair
      {u"", ""},
      {u"mic-\xD83C", std::nullopt},  // high surrogate alone
      {u"\xDFA4-mic", std::nullopt},  // low surrogate alone
  };
  for (const auto& c : cases) {
    CoreAudioScript script;
    script.endpoints = {{c.id, eCapture, {}, {}, DEVICE_STATE_ACTIVE}};
    script.capture_defaults = {{eConsole, c.id}};
    FakeCoreAudio fake(std::move(script));
    {
      auto enumerator = make_windows_audio_platform()->create_device_enumerator();
      ASSERT_TRUE(enumerator);
      auto endpoint = (*enumerator)->default_endpoint(DataFlow::capture, DeviceRole::console);
      ASSERT_TRUE(endpoint);
      Result<std::string> id = (*endpoint)->id();
      if (c.utf8) {
        ASSERT_TRUE(id) << *c.utf8;
        EXPECT_EQ(*id, *c.utf8);
        auto found = (*enumerator)->device(*id);
        ASSERT_TRUE(found) << found.error().chained_text();
        EXPECT_EQ(*(*found)->id(), *c.utf8);
      } else {
        ASSERT_FALSE(id);
        EXPECT_EQ(id.error().chained_text(),
                  expected_text(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)));
      }
    }
    expect_all_released(fake);
  }
}

TEST_F(WindowsAudioPlatformTest, DeviceRefusesIdsThatAreNotOneUnicodeString) {
  const struct {
    std::string id;
    HRESULT status;
  } cases[] = {
      {std::string("mic\0spk", 7), E_INVALIDARG},
      {"mic\xFF", HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)},
      {"mic\xED\xA0\x80", HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)},  // a surrogate
      {"nope", HRESULT_FROM_WIN32(ERROR_NOT_FOUND)},
  };
  FakeCoreAudio fake(render_and_capture());
  {
    auto enumerator = make_windows_audio_platform()->create_device_enumerator();
    ASSERT_TRUE(enumerator);
    for (const auto& c : cases) {
      auto device = (*enumerator)->device(c.id);
      ASSERT_FALSE(device) << c.id;
      EXPECT_EQ(device.error().platform_error()->code(), c.status) << c.id;
    }
  }
  EXPECT_THAT(fake.calls(),
              ElementsAre("CreateInstance(null, IMMDeviceEnumerator)", "GetDevice(nope)"));
  expect_all_released(fake);
}

TEST_F(WindowsAudioPlatformTest, OnlyTheActiveStateIsActive) {
  CoreAudioScript script;
  script.endpoints = {{u"mic",
                       eCapture,
                       {{1, AudioSessionStateActive, {}},
                        {2, AudioSessionStateInactive, {}},
                        {3, AudioSessionStateExpired, {}}},
                       {},
                       DEVICE_STATE_ACTIVE}};
  FakeCoreAudio fake(std::move(script));
  {
    auto enumerator = make_windows_audio_platform()->create_device_enumerator();
    ASSERT_TRUE(enumerator);
    auto endpoint = (*enumerator)->device("mic");
    ASSERT_TRUE(endpoint);
    auto sessions = (*endpoint)->sessions();
    ASSERT_TRUE(sessions);
    std::vector<bool> active;
    for (std::int32_t i = 0; i < *(*sessions)->count(); ++i) {
      active.push_back(*(*(*sessions)->session(i))->is_active());
    }
    EXPECT_THAT(active, ElementsAre(true, false, false));
  }
  expect_all_released(fake);
}

// Wine's own MMDevAPI, or Windows's: whatever endpoints the machine has must be found again by
// their ids, with the flow they were listed under.
TEST_F(WindowsAudioPlatformTest, RealEndpointsAreFoundAgainByTheirIds) {
  const auto platform = make_windows_audio_platform();
  auto enumerator = platform->create_device_enumerator();
  ASSERT_TRUE(enumerator) << enumerator.error().chained_text();
  for (DataFlow flow : {DataFlow::render, DataFlow::capture}) {
    auto endpoints = (*enumerator)->endpoints(flow, DEVICE_STATEMASK_ALL);
    ASSERT_TRUE(endpoints) << endpoints.error().chained_text();
    auto count = (*endpoints)->count();
    ASSERT_TRUE(count) << count.error().chained_text();
    for (std::uint32_t i = 0; i < *count; ++i) {
      auto endpoint = (*endpoints)->item(i);
      ASSERT_TRUE(endpoint) << endpoint.error().chained_text();
      auto id = (*endpoint)->id();
      ASSERT_TRUE(id) << id.error().chained_text();
      auto again = (*enumerator)->device(*id);
      ASSERT_TRUE(again) << *id << ": " << again.error().chained_text();
      EXPECT_EQ(*(*again)->id(), *id);
      auto data_flow = (*again)->data_flow();
      ASSERT_TRUE(data_flow) << data_flow.error().chained_text();
      EXPECT_EQ(*data_flow, static_cast<std::int32_t>(flow)) << *id;
    }
  }
}

}  // namespace
}  // namespace kolvex::win
