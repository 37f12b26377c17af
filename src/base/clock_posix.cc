#include <time.h>

#include "base/clock.h"

namespace kolvex {

double now_ts() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return 0.0;
  const auto intervals = static_cast<std::uint64_t>(now.tv_sec) * 10000000 +
                         static_cast<std::uint64_t>(now.tv_nsec) / 100;
  return ts_from_filetime(intervals + UNIX_EPOCH_IN_FILETIME);
}

}  // namespace kolvex
