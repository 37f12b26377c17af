#pragma once

#include <cstdint>

namespace kolvex {

// Wall-clock seconds since 1970-01-01T00:00:00 UTC; 0.0 before 1970. Safe from any thread.
double now_ts();

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01 (the FILETIME epoch offset).
inline constexpr std::uint64_t UNIX_EPOCH_IN_FILETIME = 116444736000000000ULL;

// Both platforms go through this arithmetic so that they print alike: whole seconds and the
// nanoseconds of the 100 ns remainder are converted separately, then added.
double ts_from_filetime(std::uint64_t intervals_since_1601);

}  // namespace kolvex
