#include "platform/pulse/endpoint_watch.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fakes/recording_sinks.h"

namespace kolvex::pulse {
namespace {

WatchedEndpoint sink(std::uint32_t index, std::string name,
                     std::uint32_t state = ENDPOINT_STATE_ACTIVE) {
  return {DataFlow::render, {index, std::move(name), state}};
}
WatchedEndpoint source(std::uint32_t index, std::string name,
                       std::uint32_t state = ENDPOINT_STATE_ACTIVE) {
  return {DataFlow::capture, {index, std::move(name), state}};
}
WatchedEndpoint monitor(std::uint32_t index, std::string name) {
  return {DataFlow::capture, {index, std::move(name), ENDPOINT_STATE_ACTIVE, true}};
}

// The machine the tests start from: a speaker with its monitor, and a microphone.
void start(EndpointWatch& watch) {
  watch.reset({sink(0, "spk"), monitor(2, "spk.monitor"), source(1, "mic")}, "spk", "mic");
}

TEST(EndpointWatch, AnnouncesWhatWindowsWouldAndNothingElse) {
  const struct {
    const char* name;
    std::function<void(EndpointWatch&)> steps;
    std::vector<std::string> expected;
  } cases[] = {
      {"a listing announces nothing", [](EndpointWatch&) {}, {}},
      {"new endpoints are added",
       [](EndpointWatch& w) {
         w.seen(source(4, "usb-mic"));
         w.seen(sink(1, "hdmi"));
       },
       {"added:usb-mic", "added:hdmi"}},
      {"a monitor is no endpoint",
       [](EndpointWatch& w) {
         w.seen(monitor(3, "hdmi.monitor"));
         w.gone(DataFlow::capture, 3);
         w.gone(DataFlow::capture, 2);
       },
       {}},
      {"a removal names the endpoint the index stood for",
       [](EndpointWatch& w) {
         w.gone(DataFlow::capture, 1);
         w.gone(DataFlow::capture, 1);
       },
       {"removed:mic"}},
      {"sinks and sources number apart",
       [](EndpointWatch& w) {
         w.seen(source(0, "webcam"));  // same index as the sink spk
         w.gone(DataFlow::render, 0);
         w.gone(DataFlow::capture, 0);
       },
       {"added:webcam", "removed:spk", "removed:webcam"}},
      {"an unknown index is no removal", [](EndpointWatch& w) { w.gone(DataFlow::render, 7); }, {}},
      {"volume and other changes are no state change",
       [](EndpointWatch& w) {
         w.seen(source(1, "mic"));
         w.seen(sink(0, "spk"));
       },
       {}},
      {"availability is",
       [](EndpointWatch& w) {
         w.seen(source(1, "mic", ENDPOINT_STATE_UNPLUGGED));
         w.seen(source(1, "mic", ENDPOINT_STATE_UNPLUGGED));
         w.seen(source(1, "mic"));
       },
       {"state:mic:8", "state:mic:1"}},
      {"an endpoint first heard of through a change is added",
       [](EndpointWatch& w) { w.seen(sink(4, "late")); },
       {"added:late"}},
      {"unchanged defaults are no news", [](EndpointWatch& w) { w.defaults("spk", "mic"); }, {}},
      {"a new default source, for the console and communications roles",
       [](EndpointWatch& w) {
         w.seen(source(4, "usb-mic"));
         w.defaults("spk", "usb-mic");
         w.defaults("spk", "usb-mic");
       },
       {"added:usb-mic", "default:1:0:usb-mic", "default:1:2:usb-mic"}},
      {"a new default sink",
       [](EndpointWatch& w) {
         w.seen(sink(1, "hdmi"));
         w.defaults("hdmi", "mic");
       },
       {"added:hdmi", "default:0:0:hdmi", "default:0:2:hdmi"}},
      {"a monitor as the default source leaves no default microphone",
       [](EndpointWatch& w) {
         w.defaults("spk", "spk.monitor");
         w.defaults("spk", "mic");
       },
       {"default:1:0:<none>", "default:1:2:<none>", "default:1:0:mic", "default:1:2:mic"}},
      {"the last source gone",
       [](EndpointWatch& w) {
         w.gone(DataFlow::capture, 1);
         w.defaults("spk", "");
       },
       {"removed:mic", "default:1:0:<none>", "default:1:2:<none>"}},
      {"a placeholder while none is chosen is no change, and the real name that follows neither",
       [](EndpointWatch& w) {
         w.defaults("@DEFAULT_SINK@", "@DEFAULT_SOURCE@");
         w.defaults("spk", "mic");
         w.forget_all();
         w.reset({sink(0, "spk"), source(1, "mic")}, "@DEFAULT_SINK@", "@DEFAULT_SOURCE@");
         w.defaults("spk", "mic");
       },
       {}},
      {"nothing is remembered across connections",
       [](EndpointWatch& w) {
         w.forget_all();
         w.gone(DataFlow::capture, 1);
       },
       {}},
  };
  for (const auto& c : cases) {
    RecordingNotificationSink words;
    EndpointWatch watch(words);
    start(watch);
    c.steps(watch);
    EXPECT_EQ(words.calls, c.expected) << c.name;
  }
}

// A check of the defaults through a new connection finds a missed change by this.
TEST(EndpointWatch, KnowsWhetherDefaultsAreThoseAnnounced) {
  RecordingNotificationSink words;
  EndpointWatch watch(words);
  start(watch);
  EXPECT_TRUE(watch.announced("spk", "mic"));
  EXPECT_TRUE(watch.announced("@DEFAULT_SINK@", "@DEFAULT_SOURCE@"));
  EXPECT_FALSE(watch.announced("spk", "usb-mic"));
  EXPECT_FALSE(watch.announced("hdmi", "mic"));
  EXPECT_FALSE(watch.announced("spk", ""));
  watch.defaults("spk", "spk.monitor");  // no default microphone, as with none
  EXPECT_TRUE(watch.announced("spk", ""));
  EXPECT_TRUE(watch.announced("spk", "spk.monitor"));
}

}  // namespace
}  // namespace kolvex::pulse
