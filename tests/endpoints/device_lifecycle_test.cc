#include "endpoints/device_lifecycle.h"

#include <gtest/gtest.h>

#include <limits>

#include "fakes/fake_audio_platform.h"
#include "fakes/recording_sinks.h"

namespace kolvex {
namespace {

using fake::FakeAudioPlatform;
using fake::FakeAudioScript;
using fake::FakeEndpoint;

constexpr std::int32_t RENDER = 0, CAPTURE = 1;
constexpr std::int32_t CONSOLE = 0, MULTIMEDIA = 1, COMMUNICATIONS = 2;

FakeAudioScript machine() {
  FakeAudioScript s;
  s.capture.endpoints = {FakeEndpoint{.id = "mic"}, FakeEndpoint{.id = "usb-mic"}};
  s.render.endpoints = {FakeEndpoint{.id = "speaker"}};
  return s;
}

// A lifecycle on a fake machine whose events are shortened to "change role scope [state] #n".
struct Harness {
  explicit Harness(FakeAudioScript script = machine())
      : platform(std::move(script)),
        enumerator(std::move(*platform.create_device_enumerator())),
        lifecycle(*enumerator, sink, build_flow_cache(*enumerator)) {}

  void notice(EndpointChange change, double ts) {
    handle_notice(lifecycle, {std::move(change), ts});
  }

  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const JsonValue& event : sink.events) {
      std::string e = string_member(event, "change") + " " + string_member(event, "role") + " " +
                      string_member(event, "scope");
      if (const std::string state = string_member(event, "state"); !state.empty()) {
        e += " " + state;
      }
      out.push_back(e);
    }
    return out;
  }

  FakeAudioPlatform platform;
  std::unique_ptr<AudioDeviceEnumerator> enumerator;
  RecordingSink sink;
  DeviceLifecycle lifecycle;
};

TEST(DeviceLifecycleTest, EventLinesAreExact) {
  Harness h;
  h.notice(StateChanged{ENDPOINT_STATE_UNPLUGGED, "mic"}, 1765181234.5);
  h.notice(Added{"speaker"}, 1765181235.25);
  EXPECT_EQ(
      h.sink.lines,
      (std::vector<std::string>{
          R"({"change":"endpoint_state_changed","contractVersion":1,"role":"none","scope":"capture","sequence":1,"state":"unplugged","ts":1765181234.5,"type":"device_lifecycle"})",
          R"({"change":"endpoint_added","contractVersion":1,"role":"none","scope":"render","sequence":2,"ts":1765181235.25,"type":"device_lifecycle"})",
      }));
}

TEST(DeviceLifecycleTest, RepeatsWithinOneSecondAreDropped) {
  const struct {
    const char* name;
    std::vector<std::pair<EndpointChange, double>> notices;
    std::vector<std::string> events;
  } cases[] = {
      {"identical 0.4 s apart",
       {{StateChanged{ENDPOINT_STATE_UNPLUGGED, "mic"}, 10.0},
        {StateChanged{ENDPOINT_STATE_UNPLUGGED, "mic"}, 10.4}},
       {"endpoint_state_changed none capture unplugged"}},
      {"unplugged and back within a second: the detail differs",
       {{StateChanged{ENDPOINT_STATE_UNPLUGGED, "mic"}, 10.0},
        {StateChanged{ENDPOINT_STATE_ACTIVE, "mic"}, 10.5}},
       {"endpoint_state_changed none capture unplugged",
        "endpoint_state_changed none capture active"}},
      {"identical 1.5 s apart",
       {{Added{"mic"}, 10.0}, {Added{"mic"}, 11.5}},
       {"endpoint_added none capture", "endpoint_added none capture"}},
      {"exactly one second apart is still a repeat",
       {{Added{"mic"}, 10.0}, {Added{"mic"}, 11.0}},
       {"endpoint_added none capture"}},
      {"a repeat does not refresh the stored time",
       {{Added{"mic"}, 10.0}, {Added{"mic"}, 10.9}, {Added{"mic"}, 11.8}},
       {"endpoint_added none capture", "endpoint_added none capture"}},
      {"clock set back by more than a second",
       {{Added{"mic"}, 10.0}, {Added{"mic"}, 8.5}},
       {"endpoint_added none capture", "endpoint_added none capture"}},
      {"another endpoint is another subject",
       {{Added{"mic"}, 10.0}, {Added{"usb-mic"}, 10.1}},
       {"endpoint_added none capture", "endpoint_added none capture"}},
      {"added then removed: one subject, two details",
       {{Added{"mic"}, 10.0}, {Removed{"mic"}, 10.1}, {Added{"mic"}, 10.2}},
       {"endpoint_added none capture", "endpoint_removed none capture",
        "endpoint_added none capture"}},
      {"default changes are keyed by flow and role, detail the new id",
       {{DefaultChanged{CAPTURE, CONSOLE, "mic"}, 10.0},
        {DefaultChanged{CAPTURE, COMMUNICATIONS, "mic"}, 10.1},
        {DefaultChanged{CAPTURE, CONSOLE, "mic"}, 10.2},
        {DefaultChanged{CAPTURE, CONSOLE, std::nullopt}, 10.3},
        {DefaultChanged{CAPTURE, CONSOLE, std::nullopt}, 10.4}},
       {"default_role_changed system_default capture",
        "default_role_changed communications capture",
        "default_role_changed system_default capture"}},
  };
  for (const auto& c : cases) {
    Harness h;
    for (const auto& [change, ts] : c.notices) h.notice(change, ts);
    EXPECT_EQ(h.events(), c.events) << c.name;
  }
}

TEST(DeviceLifecycleTest, NoticesMapToEvents) {
  const struct {
    EndpointChange change;
    std::vector<std::string> events;
  } cases[] = {
      {StateChanged{ENDPOINT_STATE_ACTIVE, "mic"}, {"endpoint_state_changed none capture active"}},
      {StateChanged{ENDPOINT_STATE_DISABLED, "speaker"},
       {"endpoint_state_changed none render disabled"}},
      {StateChanged{ENDPOINT_STATE_NOT_PRESENT, "mic"},
       {"endpoint_state_changed none capture not_present"}},
      {StateChanged{0, "mic"}, {"endpoint_state_changed none capture unknown"}},
      {StateChanged{0x10, "mic"}, {"endpoint_state_changed none capture unknown"}},
      {StateChanged{0x3, "mic"}, {"endpoint_state_changed none capture unknown"}},
      {StateChanged{ENDPOINT_STATE_ACTIVE, "nowhere"},
       {"endpoint_state_changed none unknown active"}},
      {Added{"usb-mic"}, {"endpoint_added none capture"}},
      {Removed{"speaker"}, {"endpoint_removed none render"}},
      {Removed{"nowhere"}, {"endpoint_removed none unknown"}},
      {DefaultChanged{CAPTURE, CONSOLE, std::nullopt},
       {"default_role_changed system_default capture"}},
      {DefaultChanged{CAPTURE, COMMUNICATIONS, "usb-mic"},
       {"default_role_changed communications capture"}},
      {DefaultChanged{CAPTURE, MULTIMEDIA, "mic"}, {}},
      {DefaultChanged{CAPTURE, 7, "mic"}, {}},
      {DefaultChanged{RENDER, CONSOLE, "speaker"}, {}},
      {DefaultChanged{-1, CONSOLE, "mic"}, {}},
  };
  for (const auto& c : cases) {
    Harness h;
    h.notice(c.change, 10.0);
    EXPECT_EQ(h.events(), c.events) << c.change.index();
  }
}

TEST(DeviceLifecycleTest, TheCacheFollowsTheNotices) {
  FakeAudioScript script = machine();
  script.capture.endpoints.push_back(FakeEndpoint{.id = "late-mic"});
  Harness h(script);
  h.lifecycle.flow_cache.erase("late-mic");  // as if it arrived after the cache was built
  h.notice(Added{"late-mic"}, 10.0);
  EXPECT_EQ(h.lifecycle.flow_cache.at("late-mic"), FlowLabel::capture);
  // Removed from the platform first, as a real removal goes: the cache still knows its flow.
  h.platform.script().capture.endpoints.pop_back();
  h.notice(Removed{"late-mic"}, 10.1);
  EXPECT_FALSE(h.lifecycle.flow_cache.contains("late-mic"));
  h.notice(StateChanged{ENDPOINT_STATE_ACTIVE, "ghost"}, 10.2);
  EXPECT_FALSE(h.lifecycle.flow_cache.contains("ghost"));
  EXPECT_EQ(h.events(), (std::vector<std::string>{"endpoint_added none capture",
                                                  "endpoint_removed none capture",
                                                  "endpoint_state_changed none unknown active"}));
}

TEST(DeviceLifecycleTest, SequenceCountsEveryEventAndSaturates) {
  Harness h;
  h.lifecycle.lifecycle_sequence = std::numeric_limits<std::uint64_t>::max() - 1;
  h.notice(Added{"mic"}, 10.0);
  h.notice(Added{"speaker"}, 10.0);
  h.notice(Removed{"speaker"}, 10.0);
  ASSERT_EQ(h.sink.lines.size(), 3u);
  for (const std::string& line : h.sink.lines) {
    EXPECT_NE(line.find("\"sequence\":18446744073709551615,"), std::string::npos) << line;
  }
}

TEST(DeviceLifecycleTest, RecoveryReportsRebuildsAndForgets) {
  Harness h;
  h.notice(Added{"mic"}, 10.0);
  h.lifecycle.flow_cache.clear();
  h.lifecycle.flow_cache.emplace("stale", FlowLabel::capture);
  recover_from_overflow(h.lifecycle);
  EXPECT_TRUE(h.lifecycle.dedup.empty());
  EXPECT_EQ(h.lifecycle.flow_cache, build_flow_cache(*h.enumerator));
  ASSERT_EQ(h.sink.lines.size(), 2u);
  const std::string& line = h.sink.lines[1];
  EXPECT_EQ(line.rfind(R"({"change":"listener_failed","contractVersion":1,"role":"none",)"
                       R"("scope":"unknown","sequence":2,"ts":)",
                       0),
            0u)
      << line;
  EXPECT_EQ(line.find("state"), std::string::npos);
  // Forgotten: the same notice right after the recovery is reported again.
  h.notice(Added{"mic"}, 10.1);
  EXPECT_EQ(h.sink.lines.size(), 3u);
}

TEST(DeviceLifecycleTest, DrainHandlesTheFirstNoticeThenEveryWaitingOne) {
  Harness h;
  NoticeQueue q = make_notice_queue();
  ASSERT_TRUE(q.sender.try_send({Added{"usb-mic"}, 10.1}));
  ASSERT_TRUE(q.sender.try_send({Added{"usb-mic"}, 10.2}));  // a repeat
  ASSERT_TRUE(q.sender.try_send({Removed{"speaker"}, 10.3}));
  drain_notices(h.lifecycle, q.receiver, {StateChanged{ENDPOINT_STATE_UNPLUGGED, "mic"}, 10.0});
  EXPECT_EQ(h.events(), (std::vector<std::string>{"endpoint_state_changed none capture unplugged",
                                                  "endpoint_added none capture",
                                                  "endpoint_removed none render"}));
  EXPECT_FALSE(q.receiver.try_receive());
}

}  // namespace
}  // namespace kolvex
