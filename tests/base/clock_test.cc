#include "base/clock.h"

#include <gtest/gtest.h>

#include "output/json_text.h"

namespace kolvex {
namespace {

std::string ts_text(std::uint64_t seconds, std::uint64_t hundred_ns) {
  std::string out;
  append_json_double(out,
                     ts_from_filetime(UNIX_EPOCH_IN_FILETIME + seconds * 10000000 + hundred_ns));
  return out;
}

TEST(ClockTest, TimestampsFromTheSystemClock) {
  EXPECT_EQ(ts_text(1765181234, 5678902), "1765181234.5678902");
  EXPECT_EQ(ts_text(1765181234, 0), "1765181234.0");
  EXPECT_EQ(ts_text(1765181234, 5000000), "1765181234.5");
  EXPECT_EQ(ts_text(0, 0), "0.0");
  EXPECT_EQ(ts_text(0, 1), "1e-7");
  EXPECT_EQ(ts_from_filetime(UNIX_EPOCH_IN_FILETIME - 1), 0.0);
  EXPECT_EQ(ts_from_filetime(0), 0.0);
}

TEST(ClockTest, NowIsAPresentDayTimestamp) {
  const double ts = now_ts();
  EXPECT_GT(ts, 1.7e9);
  EXPECT_LT(ts, 4.1e9);
}

}  // namespace
}  // namespace kolvex
