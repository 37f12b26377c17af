#include "platform/pulse/session_moves.h"

#include <gtest/gtest.h>

#include <vector>

namespace kolvex::pulse {
namespace {

SessionValues linked(std::uint32_t endpoint) {
  return {7, endpoint, PA_INVALID_INDEX, {}, false, {4120u, ""}};
}
SessionValues unlinked() {
  return {7, PA_INVALID_INDEX, PA_INVALID_INDEX, {}, true, {4120u, ""}};
}
SessionValues corked(std::uint32_t endpoint) {
  return {7, endpoint, PA_INVALID_INDEX, {}, true, {4120u, ""}};
}

// Listings as a poll makes them: it reports the sessions once none is in passing, or when it
// gives up.
TEST(SessionMoves, AStoppedSessionIsMovingWhileItChangesOrUntilThePollAfterRunningGivesUp) {
  struct Listing {
    std::vector<SessionValues> sessions;
    bool in_passing;
    bool gives_up = false;
  };
  const struct {
    const char* name;
    std::vector<Listing> listings;
  } cases[] = {
      {"a new stream is linked a moment later",
       {{{unlinked()}, true}, {{corked(1)}, true}, {{linked(1)}, false}}},
      {"a stream corked from the start is moving only while it changes",
       {{{corked(1)}, true}, {{corked(1)}, false}}},
      {"a move whose steps come far apart",
       {{{linked(1)}, false},
        {{unlinked()}, true},
        {{unlinked()}, true},
        {{corked(2)}, true},
        {{linked(2)}, false}}},
      {"a stream that stays corked after running is reported when the poll gives up",
       {{{linked(1)}, false},
        {{corked(1)}, true},
        {{corked(1)}, true, true},
        {{corked(1)}, false}}},
      {"stopping again counts anew",
       {{{linked(1)}, false},
        {{corked(1)}, true, true},
        {{linked(1)}, false},
        {{corked(1)}, true}}},
      {"a stream that ended is forgotten", {{{linked(1)}, false}, {{}, false}}},
  };
  for (const auto& c : cases) {
    SessionMoves moves;
    std::vector<SessionValues> before;
    int step = 0;
    for (const Listing& listing : c.listings) {
      EXPECT_EQ(moves.in_passing(listing.sessions, before), listing.in_passing)
          << c.name << ", listing " << step++;
      if (!listing.in_passing || listing.gives_up) moves.reported(listing.sessions);
      before = listing.sessions;
    }
  }
}

}  // namespace
}  // namespace kolvex::pulse
