#include "output/json_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "output/json_text.h"

namespace kolvex {
namespace {

TEST(JsonObjectTest, KeysIterateInByteOrderWhateverTheInsertionOrder) {
  JsonObject o;
  o.insert("type", "x");
  o.insert("ts", 1.5);
  o.insert("captureEndpointRole", "other");
  o.insert("captureActive", true);
  o.insert("activeProcessCount", 0);
  o.insert("activeApps", JsonArray{});
  o.insert("\xC3\xA9", 1);  // bytes above 0x7F sort after every ASCII key
  o.insert("Zeta", 2);      // upper case sorts before lower case
  o.insert("t", 3);         // a prefix sorts before the longer key
  std::vector<std::string> keys;
  for (const auto& [key, value] : o) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"Zeta", "activeApps", "activeProcessCount", "captureActive",
                                      "captureEndpointRole", "t", "ts", "type", "\xC3\xA9"}));
}

TEST(JsonObjectTest, InsertingAKeyAgainKeepsOneMemberWithTheSecondValue) {
  JsonObject o;
  o.insert("pid", 1);
  o.insert("pid", nullptr);
  EXPECT_EQ(o.size(), 1u);
  EXPECT_EQ(to_compact_text(o), R"({"pid":null})");
  // Keys are kept as they are written: two that are not UTF-8 alike are one key.
  o.insert("\xFF", 1);
  o.insert("\xFE", 2);
  EXPECT_EQ(to_compact_text(o), "{\"pid\":null,\"\xEF\xBF\xBD\":2}");
}

TEST(JsonValueTest, NonFiniteDoublesBecomeNull) {
  EXPECT_TRUE(JsonValue(std::nan("")).is_null());
  EXPECT_TRUE(JsonValue(std::numeric_limits<double>::infinity()).is_null());
  EXPECT_TRUE(JsonValue(-std::numeric_limits<double>::infinity()).is_null());
}

TEST(JsonValueTest, NonNegativeSignedIntegersAreHeldAsUnsigned) {
  EXPECT_EQ(JsonValue(std::int64_t{5}), JsonValue(std::uint64_t{5}));
  EXPECT_NE(JsonValue(std::int64_t{-5}), JsonValue(std::uint64_t{5}));
  EXPECT_NE(JsonValue(5.0), JsonValue(std::uint64_t{5}));
}

}  // namespace
}  // namespace kolvex
