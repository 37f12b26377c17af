#pragma once

#include <chrono>
#include <optional>

#include "platform/audio_platform.h"

namespace kolvex {

// No news brings a poll sooner than this after the last one, so that however much news comes,
// endpoint notices included, no second has more than ten polls.
inline constexpr std::chrono::milliseconds POLL_GAP{100};

// When the next poll is due, as the wait after a poll learns what happens. It is handed the
// time rather than reading a clock, so that the policy is the same under test.
class PollSchedule {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // With no news, the poll comes `poll_interval` after `last_poll`.
  PollSchedule(SessionSettle settle, TimePoint last_poll, std::chrono::nanoseconds poll_interval);

  // News of the sessions: the poll comes once they have been quiet for `settle.quiet`, but no
  // later than `settle.latest` after the first news, never sooner than POLL_GAP after the last
  // poll, and never after the interval.
  void sessions_changed(TimePoint now);
  // Endpoint notices, handled or lost: the poll comes at once, or POLL_GAP after the last poll
  // when that is later.
  void endpoints_changed(TimePoint now);

  TimePoint due() const { return due_; }

 private:
  TimePoint earliest() const { return last_poll_ + POLL_GAP; }

  SessionSettle settle_;
  TimePoint last_poll_;
  TimePoint deadline_;
  std::optional<TimePoint> first_news_;
  bool at_once_ = false;
  TimePoint due_;
};

}  // namespace kolvex
