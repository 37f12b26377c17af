#include "bin/poll_schedule.h"

#include <algorithm>

namespace kolvex {

PollSchedule::PollSchedule(SessionSettle settle, TimePoint last_poll,
                           std::chrono::nanoseconds poll_interval)
    : settle_(settle),
      last_poll_(last_poll),
      deadline_(last_poll + poll_interval),
      due_(deadline_) {}

void PollSchedule::sessions_changed(TimePoint now) {
  if (!first_news_) first_news_ = now;
  if (at_once_) return;
  const TimePoint settled = std::min(now + settle_.quiet, *first_news_ + settle_.latest);
  due_ = std::min(std::max(settled, earliest()), deadline_);
}

void PollSchedule::endpoints_changed(TimePoint now) {
  at_once_ = true;
  due_ = std::min(due_, std::max(now, earliest()));
}

}  // namespace kolvex
