#include "endpoints/flow_cache.h"

#include <gtest/gtest.h>

#include "fakes/fake_audio_platform.h"

namespace kolvex {
namespace {

using fake::fails;
using fake::FakeAudioPlatform;
using fake::FakeAudioScript;
using fake::FakeEndpoint;

FakeAudioScript two_flows() {
  FakeAudioScript s;
  s.capture.endpoints = {FakeEndpoint{.id = "mic"}, FakeEndpoint{.id = "both"}};
  s.render.endpoints = {FakeEndpoint{.id = "speaker"}, FakeEndpoint{.id = "both"}};
  return s;
}

EndpointFlowCache build(FakeAudioPlatform& platform) {
  auto enumerator = platform.create_device_enumerator();
  return build_flow_cache(**enumerator);
}

TEST(FlowCacheTest, BuildsFromEveryEndpointOfBothFlowsInAnyState) {
  FakeAudioPlatform platform(two_flows());
  const EndpointFlowCache cache = build(platform);
  EXPECT_EQ(cache, (EndpointFlowCache{{"mic", FlowLabel::capture},
                                      {"speaker", FlowLabel::render},
                                      {"both", FlowLabel::render}}));  // render is listed second
  const auto& calls = platform.calls();
  EXPECT_EQ(calls[1], "endpoints(capture,15)");
  EXPECT_NE(std::find(calls.begin(), calls.end(), "endpoints(render,15)"), calls.end());
  EXPECT_EQ(platform.live().total(), 0);
}

TEST(FlowCacheTest, LeavesOutWhatCannotBeRead) {
  const struct {
    const char* name;
    void (*break_it)(FakeAudioScript&);
    EndpointFlowCache expected;
  } cases[] = {
      {"capture enumeration fails",
       [](FakeAudioScript& s) { s.capture.enumerate_fault = fails(-1); },
       {{"speaker", FlowLabel::render}, {"both", FlowLabel::render}}},
      {"capture count fails",
       [](FakeAudioScript& s) { s.capture.count_fault = fails(-1); },
       {{"speaker", FlowLabel::render}, {"both", FlowLabel::render}}},
      {"one item fails",
       [](FakeAudioScript& s) { s.capture.endpoints[0].item_fault = fails(-1); },
       {{"speaker", FlowLabel::render}, {"both", FlowLabel::render}}},
      {"one id does not decode",
       [](FakeAudioScript& s) { s.render.endpoints[0].id_fault = fails(-1); },
       {{"mic", FlowLabel::capture}, {"both", FlowLabel::render}}},
  };
  for (const auto& c : cases) {
    FakeAudioScript script = two_flows();
    c.break_it(script);
    FakeAudioPlatform platform(std::move(script));
    EXPECT_EQ(build(platform), c.expected) << c.name;
    EXPECT_EQ(platform.live().total(), 0) << c.name;
  }
}

TEST(FlowCacheTest, ResolvesFromTheCacheFirstThenFromThePlatform) {
  FakeAudioScript script = two_flows();
  script.capture.endpoints.push_back(FakeEndpoint{.id = "odd", .reported_flow = 7});
  script.capture.endpoints.push_back(FakeEndpoint{.id = "mute", .data_flow_fault = fails(-1)});
  FakeAudioPlatform platform(std::move(script));
  auto enumerator = platform.create_device_enumerator();
  const EndpointFlowCache cache{{"cached", FlowLabel::render}, {"mic", FlowLabel::render}};
  const struct {
    const char* id;
    FlowLabel label;
  } cases[] = {
      {"cached", FlowLabel::render},  // the platform does not know it: not asked
      {"mic", FlowLabel::render},     // the platform would say capture: still not asked
      {"speaker", FlowLabel::render}, {"both", FlowLabel::render},  {"odd", FlowLabel::unknown},
      {"mute", FlowLabel::unknown},   {"gone", FlowLabel::unknown}, {"", FlowLabel::unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(resolve_flow(**enumerator, cache, c.id), c.label) << c.id;
  const auto& calls = platform.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "device(cached)"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "device(mic)"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "device(gone)"), 1);
  enumerator->reset();
  EXPECT_EQ(platform.live().total(), 0);
}

}  // namespace
}  // namespace kolvex
