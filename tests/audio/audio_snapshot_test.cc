#include "audio/audio_snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_audio_platform.h"

namespace kolvex {

void PrintTo(const AudioProcessEntry& e, std::ostream* os) {
  *os << "{" << (e.pid ? std::to_string(*e.pid) : "null") << " " << e.bundleId << " / " << e.appName
      << " render=" << e.renderActive << " capture=" << e.captureActive << " active=" << e.active
      << " " << to_text(e.captureEndpointRole) << (e.tracked ? " tracked" : "") << "}";
}

namespace {

using fake::fails;
using fake::FakeAudioPlatform;
using fake::FakeAudioScript;
using fake::FakeSession;
using fake::no_object;
using Role = CaptureEndpointRole;

constexpr std::int32_t DEVICE_INVALIDATED = fake::AUDCLNT_E_DEVICE_INVALIDATED_CODE;
constexpr std::int32_t ACCESS_DENIED = fake::E_ACCESSDENIED_CODE;

constexpr std::uint32_t ZOOM = 7;
constexpr std::uint32_t EDGE = 9;
constexpr std::uint32_t TELEGRAM = 12;
constexpr std::uint32_t NOTEPAD = 30;
constexpr std::uint32_t UNNAMED = 44;  // exits before it can be identified

const std::map<std::uint32_t, std::string> EXECUTABLES = {
    {0, "System Idle Process"}, {ZOOM, "Zoom.exe"},       {EDGE, "msedge.exe"},
    {TELEGRAM, "Telegram.exe"}, {NOTEPAD, "Notepad.exe"},
};

AudioProcessEntry entry(std::uint32_t pid, bool render, bool capture, Role role) {
  const std::map<std::uint32_t, std::string> app_names = {
      {ZOOM, "Zoom"}, {EDGE, "Microsoft Edge"}, {TELEGRAM, "Telegram"}, {NOTEPAD, "Notepad.exe"}};
  AudioProcessEntry e;
  e.bundleId = EXECUTABLES.at(pid);
  e.appName = app_names.at(pid);
  e.pid = pid;
  e.renderActive = render;
  e.captureActive = capture;
  e.active = capture;
  e.captureEndpointRole = role;
  e.tracked = pid != NOTEPAD;
  return e;
}

FakeSession active(std::uint32_t pid) {
  return {.pid = pid, .active = true};
}
FakeSession inactive(std::uint32_t pid) {
  return {.pid = pid, .active = false};
}

// The usual machine: speakers, and a headset microphone that is the default for both roles.
FakeAudioScript machine(std::vector<FakeSession> speaker_sessions,
                        std::vector<FakeSession> headset_sessions) {
  return {
      .render = {.endpoints = {{.id = "speakers", .sessions = std::move(speaker_sessions)}}},
      .capture = {.endpoints = {{.id = "headset", .sessions = std::move(headset_sessions)}}},
      .capture_defaults = {{DeviceRole::communications, {.id = "headset"}},
                           {DeviceRole::console, {.id = "headset"}}},
      .executables = EXECUTABLES,
  };
}

bool called(const FakeAudioPlatform& platform, std::string_view prefix) {
  return std::any_of(platform.calls().begin(), platform.calls().end(),
                     [&](const std::string& call) { return call.starts_with(prefix); });
}

// Every run must leave no platform object behind and hold none across the next fetch.
Result<AudioProcessSnapshot> snapshot_of(FakeAudioPlatform& platform) {
  Result<AudioProcessSnapshot> result = take_audio_process_snapshot(platform);
  EXPECT_EQ(platform.live().total(), 0);
  EXPECT_EQ(platform.scope_overlaps(), 0);
  return result;
}

TEST(AudioSnapshotTest, ClassifiesAnEndpointByTheDefaults) {
  const DefaultCaptureIds both{"headset", "headset"};
  const DefaultCaptureIds split{"headset", "webcam"};
  const DefaultCaptureIds none{};
  struct Case {
    std::optional<std::string> id;
    const DefaultCaptureIds& defaults;
    Role role;
  };
  const Case cases[] = {
      {"headset", both, Role::communications},
      {"headset", split, Role::communications},
      {"webcam", split, Role::system_default},
      {"line-in", split, Role::other},
      {"line-in", none, Role::other},
      {"HEADSET", both, Role::other},  // compared byte for byte
      {"", split, Role::other},
      {std::nullopt, both, Role::unknown},
      {std::nullopt, none, Role::unknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classify_capture_endpoint(c.id, c.defaults), c.role) << c.id.value_or("(none)");
  }
}

TEST(AudioSnapshotTest, FoldsTheRolesOfAProcess) {
  const struct {
    std::set<Role> roles;
    Role folded;
  } cases[] = {
      {{}, Role::unknown},
      {{Role::communications}, Role::communications},
      {{Role::system_default}, Role::system_default},
      {{Role::other}, Role::other},
      {{Role::unknown}, Role::unknown},
      {{Role::communications, Role::other}, Role::ambiguous},
      {{Role::communications, Role::system_default}, Role::ambiguous},
      {{Role::other, Role::unknown}, Role::ambiguous},
  };
  for (const auto& c : cases) EXPECT_EQ(fold_capture_role(c.roles), c.folded);
}

struct SnapshotCase {
  const char* name;
  FakeAudioScript script;
  AudioProcessSnapshot expected;
};

std::vector<SnapshotCase> snapshot_cases() {
  std::vector<SnapshotCase> cases;
  cases.push_back({"no endpoints at all", {}, {}});
  cases.push_back({"endpoints without sessions", machine({}, {}), {}});
  cases.push_back({"one call on the only microphone",
                   machine({}, {active(ZOOM)}),
                   {entry(ZOOM, false, true, Role::communications)}});
  cases.push_back(
      {"render only", machine({active(EDGE)}, {}), {entry(EDGE, true, false, Role::unknown)}});
  cases.push_back(
      {"inactive and expired sessions are still listed",
       machine({inactive(EDGE)}, {inactive(ZOOM), {.pid = ZOOM, .active = false}}),
       {entry(ZOOM, false, false, Role::unknown), entry(EDGE, false, false, Role::unknown)}});
  cases.push_back({"one active session among several of one process",
                   machine({}, {inactive(ZOOM), active(ZOOM), inactive(ZOOM)}),
                   {entry(ZOOM, false, true, Role::communications)}});
  cases.push_back({"render and capture of one process merge",
                   machine({active(ZOOM)}, {active(ZOOM)}),
                   {entry(ZOOM, true, true, Role::communications)}});
  cases.push_back(
      {"a state that cannot be read counts as inactive",
       machine({{.pid = EDGE, .active = true, .state_fault = fails(ACCESS_DENIED)}},
               {{.pid = ZOOM, .active = true, .state_fault = fails(ACCESS_DENIED)}}),
       {entry(ZOOM, false, false, Role::unknown), entry(EDGE, false, false, Role::unknown)}});
  cases.push_back({"a later unreadable state does not clear an active one",
                   machine({}, {active(ZOOM), {.pid = ZOOM, .state_fault = fails(ACCESS_DENIED)}}),
                   {entry(ZOOM, false, true, Role::communications)}});
  cases.push_back({"pid 0 is dropped even when it has a name",
                   machine({active(0)}, {active(0), active(ZOOM)}),
                   {entry(ZOOM, false, true, Role::communications)}});
  cases.push_back(
      {"an unidentified process is dropped, the rest stays",
       machine({active(UNNAMED), active(EDGE)}, {active(UNNAMED), active(ZOOM)}),
       {entry(ZOOM, false, true, Role::communications), entry(EDGE, true, false, Role::unknown)}});
  AudioProcessEntry sandboxed = entry(ZOOM, true, true, Role::communications);
  sandboxed.pid = std::nullopt;
  sandboxed.bundleId = "zoom.EXE";
  const FakeSession unseen{
      .active = true, .pid_fault = fails(ACCESS_DENIED), .claimed_executable = "zoom.EXE"};
  cases.push_back({"processes known only by name come first, one entry a name",
                   machine({unseen}, {active(ZOOM), unseen}),
                   {sandboxed, entry(ZOOM, false, true, Role::communications)}});
  cases.push_back(
      {"skipped sessions leave the others of the endpoint",
       machine({{.pid = EDGE, .active = true, .fault = fails(DEVICE_INVALIDATED)},
                {.pid = EDGE, .active = true, .fault = no_object()},
                active(TELEGRAM)},
               {{.pid = NOTEPAD, .active = true, .pid_fault = fails(ACCESS_DENIED)}, active(ZOOM)}),
       {entry(ZOOM, false, true, Role::communications),
        entry(TELEGRAM, true, false, Role::unknown)}});

  FakeAudioScript two_mics = machine({}, {active(ZOOM)});
  two_mics.capture.endpoints.push_back({.id = "webcam", .sessions = {active(ZOOM), active(EDGE)}});
  cases.push_back(
      {"default communications microphone and another one",
       two_mics,
       {entry(ZOOM, false, true, Role::ambiguous), entry(EDGE, false, true, Role::other)}});

  FakeAudioScript console_only = two_mics;
  console_only.capture_defaults = {{DeviceRole::communications, {.id = "headset"}},
                                   {DeviceRole::console, {.id = "webcam"}}};
  console_only.capture.endpoints[0].sessions = {inactive(ZOOM)};
  cases.push_back({"console default but not communications default",
                   console_only,
                   {entry(ZOOM, false, true, Role::system_default),
                    entry(EDGE, false, true, Role::system_default)}});

  FakeAudioScript no_defaults = two_mics;
  no_defaults.capture_defaults.clear();
  cases.push_back({"no default microphone for either role",
                   no_defaults,
                   {entry(ZOOM, false, true, Role::other), entry(EDGE, false, true, Role::other)}});

  FakeAudioScript failed_defaults = two_mics;
  failed_defaults.capture_defaults = {
      {DeviceRole::communications, {.id = "headset", .fault = fails(ACCESS_DENIED)}},
      {DeviceRole::console, {.id = "headset", .id_fault = fails(ACCESS_DENIED)}}};
  cases.push_back({"defaults that cannot be read are absent",
                   failed_defaults,
                   {entry(ZOOM, false, true, Role::other), entry(EDGE, false, true, Role::other)}});

  FakeAudioScript unreadable_id = machine({}, {active(ZOOM), active(EDGE)});
  unreadable_id.capture.endpoints[0].id_fault = fails(ACCESS_DENIED);
  unreadable_id.capture.endpoints.push_back({.id = "headset", .sessions = {active(EDGE)}});
  cases.push_back(
      {"an unreadable endpoint id makes the role unknown",
       unreadable_id,
       {entry(ZOOM, false, true, Role::unknown), entry(EDGE, false, true, Role::ambiguous)}});

  FakeAudioScript skipped_endpoints = machine({active(EDGE)}, {active(ZOOM)});
  skipped_endpoints.render.endpoints.insert(
      skipped_endpoints.render.endpoints.begin(),
      {{.id = "hdmi", .sessions = {active(NOTEPAD)}, .sessions_fault = fails(DEVICE_INVALIDATED)},
       {.id = "usb", .sessions = {active(NOTEPAD)}, .sessions_fault = no_object()},
       {.id = "bt", .sessions = {active(NOTEPAD)}, .session_count_fault = fails(ACCESS_DENIED)},
       {.id = "odd", .sessions = {active(NOTEPAD)}, .session_count = -1}});
  skipped_endpoints.capture.endpoints.push_back(
      {.id = "webcam", .sessions = {active(TELEGRAM)}, .sessions_fault = fails(ACCESS_DENIED)});
  cases.push_back(
      {"endpoints whose sessions cannot be listed are skipped",
       skipped_endpoints,
       {entry(ZOOM, false, true, Role::communications), entry(EDGE, true, false, Role::unknown)}});

  FakeAudioScript shuffled = machine({active(TELEGRAM), active(ZOOM)}, {inactive(NOTEPAD)});
  shuffled.render.endpoints.push_back({.id = "hdmi", .sessions = {active(EDGE), inactive(ZOOM)}});
  shuffled.capture.endpoints.insert(shuffled.capture.endpoints.begin(),
                                    {.id = "webcam", .sessions = {active(EDGE), active(ZOOM)}});
  cases.push_back(
      {"ascending pid whatever the order of endpoints and sessions",
       shuffled,
       {entry(ZOOM, true, true, Role::other), entry(EDGE, true, true, Role::other),
        entry(TELEGRAM, true, false, Role::unknown), entry(NOTEPAD, false, false, Role::unknown)}});
  return cases;
}

TEST(AudioSnapshotTest, BuildsOneEntryPerIdentifiedProcess) {
  for (const SnapshotCase& c : snapshot_cases()) {
    SCOPED_TRACE(c.name);
    FakeAudioPlatform platform(c.script);
    Result<AudioProcessSnapshot> result = snapshot_of(platform);
    ASSERT_TRUE(result.ok()) << result.error().chained_text();
    EXPECT_EQ(*result, c.expected);
    EXPECT_FALSE(called(platform, "executable_name(0)"));
  }
}

TEST(AudioSnapshotTest, CallsThePlatformInOrder) {
  FakeAudioScript script = machine({active(EDGE)}, {active(ZOOM)});
  script.capture.endpoints[0].sessions[0].pid_fault = fails(ACCESS_DENIED);
  FakeAudioPlatform platform(script);
  ASSERT_TRUE(snapshot_of(platform).ok());
  const std::vector<std::string> expected = {
      "begin_poll",
      "create_device_enumerator",
      "endpoints(render,1)",
      "count(render)",
      "item(render,0)",
      "sessions(render,0)",
      "session_count(render,0)",
      "session(render,0,0)",
      "process_id(render,0,0)",
      "state(render,0,0)",
      "default_endpoint(capture,communications)",
      "id(default,capture,communications)",
      "default_endpoint(capture,console)",
      "id(default,capture,console)",
      "endpoints(capture,1)",
      "count(capture)",
      "item(capture,0)",
      "id(capture,0)",
      "sessions(capture,0)",
      "session_count(capture,0)",
      "session(capture,0,0)",
      "process_id(capture,0,0)",
      "executable_name(9)",
  };
  EXPECT_EQ(platform.calls(), expected);
}

struct FailureCase {
  const char* name;
  FakeAudioScript script;
  std::string text;
  bool capture_pass_ran;
};

std::vector<FailureCase> failure_cases() {
  // Sessions everywhere, so a partial result would have something to show.
  const FakeAudioScript base = [] {
    FakeAudioScript s = machine({active(EDGE)}, {active(ZOOM)});
    s.render.endpoints.push_back({.id = "hdmi", .sessions = {active(TELEGRAM)}});
    s.capture.endpoints.push_back({.id = "webcam", .sessions = {active(NOTEPAD)}});
    return s;
  }();
  std::vector<FailureCase> cases;
  auto add = [&](const char* name, auto change, std::string text, bool capture_pass_ran) {
    FakeAudioScript script = base;
    change(script);
    cases.push_back({name, std::move(script), std::move(text), capture_pass_ran});
  };
  add(
      "no device enumerator",
      [](FakeAudioScript& s) { s.enumerator_fault = fails(ACCESS_DENIED, "Access is denied."); },
      "Access is denied. (0x80070005)", false);
  add(
      "render endpoints cannot be enumerated",
      [](FakeAudioScript& s) { s.render.enumerate_fault = fails(DEVICE_INVALIDATED, ""); },
      "render endpoint: 0x88890004", false);
  add(
      "render endpoints cannot be counted",
      [](FakeAudioScript& s) { s.render.count_fault = fails(DEVICE_INVALIDATED, "Gone"); },
      "render endpoint: Gone (0x88890004)", false);
  add(
      "second render endpoint cannot be fetched",
      [](FakeAudioScript& s) { s.render.endpoints[1].item_fault = fails(DEVICE_INVALIDATED, ""); },
      "render endpoint: 0x88890004", false);
  add(
      "capture endpoints cannot be enumerated",
      [](FakeAudioScript& s) { s.capture.enumerate_fault = fails(DEVICE_INVALIDATED, ""); },
      "capture endpoint: 0x88890004", true);
  add(
      "capture endpoints cannot be counted",
      [](FakeAudioScript& s) {
        s.capture.count_fault = fails(DEVICE_INVALIDATED, "Device invalidated");
      },
      "capture endpoint: Device invalidated (0x88890004)", true);
  add(
      "second capture endpoint cannot be fetched",
      [](FakeAudioScript& s) {
        s.capture.endpoints[1].item_fault = fails(ACCESS_DENIED, "Denied");
      },
      "capture endpoint: Denied (0x80070005)", true);
  return cases;
}

TEST(AudioSnapshotTest, FailsWholeWithTheContextOfThePass) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    FakeAudioPlatform platform(c.script);
    Result<AudioProcessSnapshot> result = snapshot_of(platform);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().chained_text(), c.text);
    EXPECT_EQ(called(platform, "endpoints(capture"), c.capture_pass_ran);
    EXPECT_EQ(called(platform, "default_endpoint"), c.capture_pass_ran);
    EXPECT_FALSE(called(platform, "executable_name"));
  }
}

TEST(AudioSnapshotTest, SuccessWithoutAnObjectFailsWithStatusZero) {
  const struct {
    void (*change)(FakeAudioScript&);
    std::string_view context;
  } cases[] = {
      {[](FakeAudioScript& s) { s.enumerator_fault = no_object(); }, ""},
      {[](FakeAudioScript& s) { s.render.enumerate_fault = no_object(); }, "render endpoint: "},
      {[](FakeAudioScript& s) { s.render.endpoints[0].item_fault = no_object(); },
       "render endpoint: "},
      {[](FakeAudioScript& s) { s.capture.enumerate_fault = no_object(); }, "capture endpoint: "},
      {[](FakeAudioScript& s) { s.capture.endpoints[0].item_fault = no_object(); },
       "capture endpoint: "},
  };
  for (const auto& c : cases) {
    FakeAudioScript script = machine({active(EDGE)}, {active(ZOOM)});
    c.change(script);
    FakeAudioPlatform platform(script);
    Result<AudioProcessSnapshot> result = snapshot_of(platform);
    ASSERT_FALSE(result.ok()) << c.context;
    ASSERT_NE(result.error().platform_error(), nullptr);
    EXPECT_EQ(result.error().platform_error()->code(), 0);
    // The system's text for status 0 precedes the code where the system has one.
    const std::string text = result.error().chained_text();
    EXPECT_TRUE(text.starts_with(c.context)) << text;
    EXPECT_NE(text.find("0x00000000"), std::string::npos) << text;
    EXPECT_EQ(c.context.empty(), text.find(':') == std::string::npos) << text;
  }
}

TEST(AudioSnapshotTest, EachCallStartsAfresh) {
  FakeAudioScript script = machine({}, {active(ZOOM)});
  script.capture.count_fault = fails(DEVICE_INVALIDATED);
  FakeAudioPlatform platform(script);
  ASSERT_FALSE(snapshot_of(platform).ok());

  platform.script().capture.count_fault.reset();
  Result<AudioProcessSnapshot> second = snapshot_of(platform);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, AudioProcessSnapshot{entry(ZOOM, false, true, Role::communications)});

  platform.script().capture.endpoints[0].sessions = {inactive(ZOOM)};
  Result<AudioProcessSnapshot> third = snapshot_of(platform);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(*third, AudioProcessSnapshot{entry(ZOOM, false, false, Role::unknown)});
}

// The lifetime checks above are only as good as the fake's bookkeeping.
TEST(AudioSnapshotTest, FakeNoticesObjectsHeldAcrossTheirScope) {
  FakeAudioScript script = machine({}, {active(ZOOM), active(EDGE)});
  script.capture.endpoints.push_back({.id = "webcam"});
  FakeAudioPlatform platform(script);
  {
    auto enumerator = platform.create_device_enumerator();
    auto endpoints = (*enumerator)->endpoints(DataFlow::capture, ENDPOINT_STATE_ACTIVE);
    auto first = (*endpoints)->item(0);
    auto sessions = (*first)->sessions();
    auto session = (*sessions)->session(0);
    EXPECT_EQ(platform.scope_overlaps(), 0);
    auto next_session = (*sessions)->session(1);
    EXPECT_EQ(platform.scope_overlaps(), 1);
    auto second = (*endpoints)->item(1);
    EXPECT_EQ(platform.scope_overlaps(), 2);
    EXPECT_EQ(platform.live().total(), 7);
  }
  EXPECT_EQ(platform.live().total(), 0);
}

}  // namespace
}  // namespace kolvex
