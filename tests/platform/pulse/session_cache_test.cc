#include "platform/pulse/session_cache.h"

#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/subscribe.h>

#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_error.h"

namespace kolvex::pulse {
namespace {

using Clock = std::chrono::steady_clock;
using Sessions = std::vector<SessionValues>;
constexpr unsigned INPUTS = SessionCache::SINK_INPUTS, OUTPUTS = SessionCache::SOURCE_OUTPUTS,
                   ENDPOINTS = SessionCache::ENDPOINTS, ALL = SessionCache::EVERYTHING;

pa_subscription_event_type_t event(int facility) {
  return static_cast<pa_subscription_event_type_t>(facility | PA_SUBSCRIPTION_EVENT_CHANGE);
}
const auto INPUT = event(PA_SUBSCRIPTION_EVENT_SINK_INPUT);
const auto OUTPUT = event(PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT);
const auto SOURCE = event(PA_SUBSCRIPTION_EVENT_SOURCE);

SessionValues stream(std::uint32_t index, std::uint32_t endpoint = 0, bool corked = false) {
  return {index, endpoint, PA_INVALID_INDEX, {4120u, "zoom", ""}, corked, {4120u, ""}};
}

// The server as the cache sees it: each batch lists `sessions` and `sources` as they are then. An
// event heard through it stands for a new session or source of its kind; those in `during` come
// while a batch is out (by batch). `settle` runs while the cache waits for quiet.
struct Server {
  std::map<unsigned, Sessions> sessions{{INPUTS, {}}, {OUTPUTS, {}}};
  std::vector<EndpointValues> sources;
  std::vector<std::vector<pa_subscription_event_type_t>> during;
  std::function<void()> settle = [] {};
  std::vector<unsigned> asked;
  int waits = 0;
  bool fails = false;
  std::uint32_t streams = 100;

  void hear(SessionCache& cache, pa_subscription_event_type_t type) {
    if (type == INPUT || type == OUTPUT) {
      sessions[type == INPUT ? INPUTS : OUTPUTS].push_back(stream(++streams));
    }
    if (type == SOURCE) sources.push_back({++streams, "mic", ENDPOINT_STATE_ACTIVE, false});
    cache.heard(type);
  }

  Result<ServerView> view(SessionCache& cache,
                          Clock::time_point give_up = Clock::time_point::max()) {
    asked.clear();
    waits = 0;
    auto list = [&](unsigned kinds, ServerView& view) -> Status {
      if (asked.size() < during.size()) {
        for (const auto type : during[asked.size()]) hear(cache, type);
      }
      asked.push_back(kinds);
      if (fails) return pulse_error(PA_ERR_CONNECTIONTERMINATED);
      view = {};
      if (kinds & INPUTS) view.sink_inputs = sessions[INPUTS];
      if (kinds & OUTPUTS) view.source_outputs = sessions[OUTPUTS];
      if (kinds & ENDPOINTS) view.sources = sources;
      return {};
    };
    auto wait = [&](Clock::time_point) -> Status {
      ++waits;
      settle();
      return {};
    };
    Result<ViewPtr> viewed = cache.view(list, wait, give_up);
    if (!viewed) return viewed.take_error();
    return ServerView(**viewed);
  }
};

// Each step's view is of the server as it is; a kind that changed while a batch was out is
// listed again, in a second batch if it was taken from the cache, else in the next view.
TEST(SessionCache, ListsOnlyWhatTheServerAnnouncedAChangeTo) {
  const struct {
    const char* step;
    std::vector<pa_subscription_event_type_t> heard;
    std::vector<std::vector<pa_subscription_event_type_t>> during;  // by batch
    std::vector<unsigned> asked;
    unsigned heard_elsewhere = 0;
  } steps[] = {
      {"first view", {}, {}, {ALL}},
      {"nothing announced: nothing asked", {}, {}, {}},
      {"source-outputs changed", {OUTPUT, OUTPUT}, {}, {OUTPUTS}},
      {"a sink-input changed", {INPUT}, {}, {INPUTS}},
      {"a source and the server changed",
       {SOURCE, event(PA_SUBSCRIPTION_EVENT_SERVER)},
       {},
       {ENDPOINTS}},
      {"a card changed", {event(PA_SUBSCRIPTION_EVENT_CARD)}, {}, {ENDPOINTS}},
      {"a kind not listed changed during the batch", {SOURCE}, {{OUTPUT}}, {ENDPOINTS, ALL}},
      {"nothing since", {}, {}, {}},
      {"a listed kind changed during the batch", {OUTPUT}, {{OUTPUT}}, {OUTPUTS}},
      {"after that", {}, {}, {OUTPUTS}},
      {"changes during both batches", {SOURCE}, {{INPUT}, {INPUT}}, {ENDPOINTS, ALL}},
      {"after those", {}, {}, {INPUTS}},
      {"heard first by another connection", {}, {}, {OUTPUTS}, OUTPUTS},
  };
  SessionCache cache;
  Server server;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    for (const auto type : s.heard) server.hear(cache, type);
    cache.heard_elsewhere(s.heard_elsewhere);
    server.during = s.during;
    Result<ServerView> view = server.view(cache);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(server.asked, s.asked);
    EXPECT_EQ(view->sink_inputs, server.sessions[INPUTS]);
    EXPECT_EQ(view->source_outputs, server.sessions[OUTPUTS]);
    EXPECT_EQ(view->sources, server.sources);
  }
  EXPECT_EQ(cache.events(), 8u);
  server.fails = true;
  server.hear(cache, OUTPUT);
  EXPECT_EQ(server.view(cache).error().chained_text(), "Connection terminated (0xA050000B)");
  server.fails = false;
  for (const bool reconnect : {false, true}) {  // after a failure, and on a new connection
    if (reconnect) cache.list_all_again();
    ASSERT_TRUE(server.view(cache).ok());
    EXPECT_EQ(server.asked, std::vector<unsigned>{ALL});
  }
}

TEST(SessionCache, ASessionSeenInPassingIsListedAgainOnceTheServerIsQuiet) {
  const SessionValues unlinked = stream(1, PA_INVALID_INDEX), corked = stream(1, 0, true);
  const struct {
    const char* session;
    unsigned kind;
    Sessions before, first, settled;
    int waits;
  } cases[] = {
      {"a new recording, not linked yet", OUTPUTS, {}, {unlinked}, {stream(1)}, 1},
      {"a new playback, not linked yet", INPUTS, {}, {unlinked}, {stream(1)}, 1},
      {"moving to another source", OUTPUTS, {stream(1)}, {unlinked}, {stream(1, 3)}, 1},
      {"paused before", OUTPUTS, {corked}, {corked}, {}, 0},
      {"a new recording, linked and running", OUTPUTS, {}, {stream(1)}, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.session);
    SessionCache cache;
    Server server;
    server.sessions[c.kind] = c.before;
    ASSERT_TRUE(server.view(cache).ok());
    server.sessions[c.kind] = c.first;
    cache.heard(c.kind == INPUTS ? INPUT : OUTPUT);
    server.settle = [&] { server.sessions[c.kind] = c.settled; };
    Result<ServerView> view = server.view(cache);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(server.waits, c.waits);
    EXPECT_EQ(c.kind == INPUTS ? view->sink_inputs : view->source_outputs,
              c.waits ? c.settled : c.first);
  }
  SessionCache cache;
  Server server;
  server.sessions[OUTPUTS] = {unlinked};
  EXPECT_EQ(server.view(cache, Clock::now())->source_outputs, Sessions{unlinked});  // too late
  EXPECT_EQ(server.waits, 0);
}

// However quiet the server, as a move's steps may come far apart on a busy machine; the next
// poll takes it as it is.
TEST(SessionCache, ASessionThatStoppedRunningIsWaitedForUntilThePollGivesUp) {
  const SessionValues corked = stream(1, 0, true);
  SessionCache cache;
  Server server;
  server.sessions[OUTPUTS] = {stream(1)};
  ASSERT_TRUE(server.view(cache).ok());
  server.sessions[OUTPUTS] = {corked};
  cache.heard(OUTPUT);
  const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(500);
  server.settle = [&] { std::this_thread::sleep_until(give_up); };
  EXPECT_EQ(server.view(cache, give_up)->source_outputs, Sessions{corked});
  EXPECT_EQ(server.waits, 1);
  EXPECT_EQ(server.view(cache)->source_outputs, Sessions{corked});
  EXPECT_EQ(server.waits, 0);
}

}  // namespace
}  // namespace kolvex::pulse
