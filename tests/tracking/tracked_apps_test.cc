#include "tracking/tracked_apps.h"

#include <gtest/gtest.h>

namespace kolvex {
namespace {

TEST(TrackedAppsTest, PlaceholderFindsZoom) {
  EXPECT_TRUE(is_tracked("Zoom.exe"));
}

}  // namespace
}  // namespace kolvex
