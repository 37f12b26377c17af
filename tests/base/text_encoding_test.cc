#include "base/text_encoding.h"

#include <gtest/gtest.h>

namespace kolvex {
namespace {

TEST(TextEncodingTest, Utf16Decoding) {
  const struct {
    std::u16string in;
    std::optional<std::string> strict;
    std::string lossy;
  } cases[] = {
      {u"", "", ""},
      {u"Zoom.exe", "Zoom.exe", "Zoom.exe"},
      {u"\u041C\u0422\u0421", "\xD0\x9C\xD0\xA2\xD0\xA1", "\xD0\x9C\xD0\xA2\xD0\xA1"},
      {u"\u20AC", "\xE2\x82\xAC", "\xE2\x82\xAC"},
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  // a surrogate pair
      {u"a\xD800", std::nullopt, "a\xEF\xBF\xBD"},                // high surrogate at the end
      {u"\xDC00z", std::nullopt, "\xEF\xBF\xBDz"},                // lone low surrogate
      {u"\xD800\xD800\xDC00", std::nullopt, "\xEF\xBF\xBD\xF0\x90\x80\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf16_to_utf8_strict(c.in), c.strict);
    EXPECT_EQ(utf16_to_utf8_lossy(c.in), c.lossy);
  }
}

TEST(TextEncodingTest, CompletePrefixHoldsBackOnlyAnUnfinishedSequence) {
  const struct {
    std::string in;
    std::size_t complete;
  } cases[] = {
      {"", 0},
      {"abc\n", 4},
      {"a\xC3", 1},              // two-byte lead alone
      {"a\xC3\xA9", 3},          // é complete
      {"a\xE2\x82", 1},          // € missing its last byte
      {"a\xF0\x9F\x98", 1},      // four-byte sequence missing one
      {"a\xF0\x9F\x98\x80", 5},  // complete
      {"a\x80", 2},              // stray continuation: not ours to hold
      {"a\xFF", 2},              // never valid
      {"\x80\x80\x80\xC3", 3},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_complete_prefix(c.in), c.complete) << c.in;
}

TEST(TextEncodingTest, TrailingWhiteSpaceIsTrimmed) {
  EXPECT_EQ(trim_trailing_space(u"Access is denied.\r\n"), u"Access is denied.");
  EXPECT_EQ(trim_trailing_space(u" \t\v\f"), u"");
  EXPECT_EQ(trim_trailing_space(u" x "), u" x");
  EXPECT_EQ(trim_trailing_space(u"x\u00A0"), u"x\u00A0");
}

}  // namespace
}  // namespace kolvex
