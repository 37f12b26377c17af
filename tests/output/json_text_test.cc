#include "output/json_text.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace kolvex {
namespace {

std::string double_text(double d) {
  std::string out;
  append_json_double(out, d);
  return out;
}

TEST(JsonTextTest, ScalarsAndEmptyContainers) {
  const struct {
    JsonValue value;
    const char* text;
  } cases[] = {
      {nullptr, "null"},
      {true, "true"},
      {false, "false"},
      {std::uint64_t{0}, "0"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {std::int64_t{-1}, "-1"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {JsonArray{}, "[]"},
      {JsonObject{}, "{}"},
      {JsonArray{1, "a", nullptr, JsonArray{}}, R"([1,"a",null,[]])"},
      {JsonArray{RenderedJson{R"({"a":[1]})"}, 2}, R"([{"a":[1]},2])"},  // as it stands
  };
  for (const auto& c : cases) EXPECT_EQ(to_compact_text(c.value), c.text);
}

TEST(JsonTextTest, ObjectsAreWrittenInKeyOrderWithoutWhiteSpace) {
  JsonObject o;
  o.insert("type", "started");
  o.insert("ts", 1765181234.5);
  EXPECT_EQ(to_compact_text(o), R"({"ts":1765181234.5,"type":"started"})");
  JsonObject nested;
  nested.insert("b", JsonArray{JsonObject{{"y", 1}, {"x", 2}}});
  nested.insert("a", JsonObject{});
  EXPECT_EQ(to_compact_text(nested), R"({"a":{},"b":[{"x":2,"y":1}]})");
}

TEST(JsonTextTest, StringEscapes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"\"\\\t\x01/\xC3\xA9", "\"\\\"\\\\\\t\\u0001/\xC3\xA9\""},
      {std::string("\b\f\n\r", 4), R"("\b\f\n\r")"},
      {std::string("\x00", 1), R"("\u0000")"},
      {"\x1b\x1f", R"("\u001b\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"plain run, then \"", R"("plain run, then \"")"},
      {"", R"("")"},
      // Never anything but UTF-8 out: one U+FFFD per maximal subpart, as Python decodes.
      {"Zoom\xFF.exe", "\"Zoom\xEF\xBF\xBD.exe\""},
      {"\x80", "\"\xEF\xBF\xBD\""},
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
      {"\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong
      {"\xED\xA0\x80"
       "a",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
       "a\""},  // a surrogate
      {"\xF4\x90\x80\x80",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // past U+10FFFF
      {"a\xE2\x82", "\"a\xEF\xBF\xBD\""},                        // cut short
      {"\xE2\x82\"", "\"\xEF\xBF\xBD\\\"\""},
      {"\xF0\x9F\x98\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF",
       "\"\xF0\x9F\x98\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF\""},
  };
  for (const auto& c : cases) EXPECT_EQ(to_compact_text(JsonValue(c.in)), c.out) << c.in;
}

TEST(JsonTextTest, KeysAreEscapedLikeStrings) {
  EXPECT_EQ(to_compact_text(JsonObject{{"a\"b\n", 1}}), R"({"a\"b\n":1})");
}

TEST(JsonTextTest, WorkedDoubles) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1765181234, "1765181234.0"},
      {1765181234.5678902, "1765181234.5678902"},
      {123.456, "123.456"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {123456789012345680.0, "1.2345678901234568e+17"},
      {0.5, "0.5"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {0.00000015, "1.5e-7"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-1.5, "-1.5"},
      {-1e16, "-1e+16"},
      {9007199254740993.0, "9007199254740992.0"},
      {1234567890123456.7, "1234567890123456.8"},
      {1.5e300, "1.5e+300"},
      {100, "100.0"},
      {0.1, "0.1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(double_text(c.value), c.text);
    EXPECT_EQ(to_compact_text(JsonValue(c.value)), c.text);
  }
  EXPECT_EQ(double_text(std::nan("")), "null");
  EXPECT_EQ(double_text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(to_compact_text(JsonValue(std::numeric_limits<double>::infinity())), "null");
}

// Significant digits and decimal exponent of the text, whichever form it took.
struct Parsed {
  std::string digits;
  int exponent;
};

Parsed parse_decimal(const std::string& text) {
  std::string mantissa = text;
  int exponent = 0;
  if (const auto e = text.find('e'); e != std::string::npos) {
    mantissa = text.substr(0, e);
    exponent = std::atoi(text.c_str() + e + 1);
  }
  const auto point = mantissa.find('.');
  std::string digits = mantissa;
  int int_digits = static_cast<int>(mantissa.size());
  if (point != std::string::npos) {
    digits.erase(point, 1);
    int_digits = static_cast<int>(point);
  }
  const auto first = digits.find_first_not_of('0');
  exponent += int_digits - 1 - static_cast<int>(first);
  digits = digits.substr(first);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return {digits, exponent};
}

// printf rounds correctly, so the fewest "%.*e" digits that read back give the shortest
// significand, nearest to the value: an oracle independent of the writer.
Parsed shortest_by_printf(double d) {
  char buf[64];
  for (int precision = 0; precision < 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*e", precision, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return parse_decimal(buf);
}

TEST(JsonTextTest, RandomDoublesAreShortestRoundTripInTheRightForm) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 50000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d) || d == 0.0) continue;
    d = std::fabs(d);
    const std::string text = double_text(d);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
    const Parsed got = parse_decimal(text);
    const Parsed want = shortest_by_printf(d);
    ASSERT_EQ(got.digits, want.digits) << text;
    ASSERT_EQ(got.exponent, want.exponent) << text;
    const bool plain = got.exponent >= -5 && got.exponent <= 15;
    ASSERT_EQ(text.find('e') == std::string::npos, plain) << text;
    ASSERT_EQ(text.find('.') != std::string::npos || !plain, true) << text;
  }
}

}  // namespace
}  // namespace kolvex
