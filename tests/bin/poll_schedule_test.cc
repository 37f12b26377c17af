#include "bin/poll_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace kolvex {
namespace {

using std::chrono::milliseconds;

struct News {
  int at_ms;
  bool endpoint;  // an endpoint notice rather than news of the sessions
};

struct Case {
  const char* what;
  std::vector<News> news;
  int due_ms;
};

// After a poll at 0 with a two-second interval, sessions settling after 50 ms of quiet and at
// most 150 ms after their first news.
TEST(PollScheduleTest, NewsBringsThePollForwardWithinItsBounds) {
  const Case cases[] = {
      {"no news: the interval", {}, 2000},
      {"quiet after the news", {{300, false}}, 350},
      {"never sooner than the gap after the last poll", {{10, false}}, 100},
      {"each news puts the poll back", {{300, false}, {330, false}}, 380},
      {"but churn polls at the latest",
       {{300, false}, {340, false}, {380, false}, {420, false}},
       450},
      {"never after the interval", {{1990, false}}, 2000},
      {"an endpoint notice: at once", {{500, true}}, 500},
      {"but not within the gap after the last poll", {{20, true}}, 100},
      {"however many come", {{20, true}, {40, true}, {99, true}}, 100},
      {"and news after it does not put it back", {{500, true}, {510, false}}, 500},
      {"news before it neither", {{300, false}, {320, true}}, 320},
  };
  const PollSchedule::TimePoint poll{};
  for (const Case& c : cases) {
    PollSchedule schedule({milliseconds(50), milliseconds(150)}, poll, std::chrono::seconds(2));
    for (const News& news : c.news) {
      const PollSchedule::TimePoint now = poll + milliseconds(news.at_ms);
      news.endpoint ? schedule.endpoints_changed(now) : schedule.sessions_changed(now);
    }
    EXPECT_EQ(schedule.due() - poll, milliseconds(c.due_ms)) << c.what;
  }
}

}  // namespace
}  // namespace kolvex
