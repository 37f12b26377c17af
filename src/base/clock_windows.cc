#include <windows.h>

#include "base/clock.h"

namespace kolvex {

double now_ts() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const std::uint64_t intervals =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ts_from_filetime(intervals);
}

}  // namespace kolvex
