#include "output/json_text.h"

#include <gtest/gtest.h>

namespace kolvex {
namespace {

TEST(JsonTextTest, Placeholder) {
  EXPECT_EQ(to_compact_text(JsonObject{}), "{}");
}

}  // namespace
}  // namespace kolvex
