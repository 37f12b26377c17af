#include "base/clock.h"

namespace kolvex {

double ts_from_filetime(std::uint64_t intervals_since_1601) {
  if (intervals_since_1601 < UNIX_EPOCH_IN_FILETIME) return 0.0;
  const std::uint64_t since_epoch = intervals_since_1601 - UNIX_EPOCH_IN_FILETIME;
  const std::uint64_t seconds = since_epoch / 10000000;
  const std::uint64_t nanos = (since_epoch % 10000000) * 100;
  return static_cast<double>(seconds) + static_cast<double>(nanos) / 1e9;
}

}  // namespace kolvex
