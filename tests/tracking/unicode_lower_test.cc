#include "tracking/unicode_lower.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/text_encoding.h"

namespace kolvex {
namespace {

struct Case {
  std::string_view input;
  std::string_view expected;
};

void expect_lowered(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(to_lower_full(c.input), c.expected) << "input: " << testing::PrintToString(c.input);
  }
}

TEST(ToLowerFullTest, MapsEachCodePoint) {
  expect_lowered({
      {"", ""},
      {"Zoom.EXE", "zoom.exe"},
      {"ABC-123_x@[`{", "abc-123_x@[`{"},
      {"МТС ЛИНК.EXE", "мтс линк.exe"},
      {"ЁЖ", "ёж"},
      {"ÀÉÎÕÜÞ×", "àéîõüþ×"},
      // Alternating pairs: the lower-case member in between must stay put.
      {"ĀāĂăĿŀŸ", "āāăăŀŀÿ"},
      {"ǄǅǆǱ", "ǆǆǆǳ"},
      {"ΩΆΫϏ", "ωάϋϗ"},
      {"\u212A\u2126\u212B", "kωå"},  // Kelvin, Ohm and Angstrom signs
      {"ⒶⓏ", "ⓐⓩ"},
      {"ꞮꟅ", "ɪʂ"},
      {"𐐀𐐧𞤀", "𐐨𐑏𞤢"},
      {"中文 ß ﬀ ǰ", "中文 ß ﬀ ǰ"},
  });
}

TEST(ToLowerFullTest, DottedCapitalIBecomesIAndCombiningDot) {
  expect_lowered({
      {"İ", "i\u0307"}, {"İSTANBUL", "i\u0307stanbul"}, {"Iı", "iı"},  // no Turkish tailoring
  });
}

TEST(ToLowerFullTest, CapitalSigmaIsFinalOnlyAfterACasedLetterAndNotBeforeOne) {
  expect_lowered({
      {"Σ", "σ"},
      {"ΟΔΟΣ", "οδος"},
      {"ΣΑ", "σα"},
      {"ΑΣΑ", "ασα"},
      {"ΑΣ ΑΣ", "ας ας"},
      {"ΑΣΣ", "ασς"},
      {"1Σ", "1σ"},
      {"AΣ", "aς"},  // any cased letter counts, not only Greek
      {"ΑΣ1", "ας1"},
      {"ΑΣ'", "ας'"},
      {"Α'Σ", "α'ς"},
      {"ΑΣ'Α", "ασ'α"},
      {"Α\u0301Σ", "α\u0301ς"},
      {"ΑΣ\u0301", "ας\u0301"},
      {"ΑΣ\u0301'Α", "ασ\u0301'α"},
      {"ΑΣ.EXE", "ασ.exe"},
      {"ΑΣ.", "ας."},
      {"'Σ", "'σ"},
      // Both cased and case-ignorable: skipped over like an apostrophe.
      {"ʰΣ", "ʰσ"},
      {"ΑΣʰ", "αςʰ"},
      {"Α\xFFΣ", "α\xFFσ"},
      {"ΑΣ\xFF", "ας\xFF"},
  });
}

TEST(ToLowerFullTest, InvalidBytesAreCopiedUnchanged) {
  using namespace std::string_view_literals;
  expect_lowered({
      {"\xFF", "\xFF"},
      {"A\xC3", "a\xC3"},
      {"\xC3Z", "\xC3z"},
      {"\x80\xBF", "\x80\xBF"},
      {"\xC1\x81", "\xC1\x81"},          // overlong 'A' is not a letter
      {"\xE0\x80\xAF", "\xE0\x80\xAF"},  // overlong '/'
      {"\xF0\x80\x90\x80", "\xF0\x80\x90\x80"},
      {"\xED\xA0\x80\xED\xBF\xBF", "\xED\xA0\x80\xED\xBF\xBF"},  // surrogates
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},                  // above U+10FFFF
      {"\xF5\x80\x80\x80\xF8\xFE", "\xF5\x80\x80\x80\xF8\xFE"},
      {"М\xFFМ", "м\xFFм"},
      {"\xF0\x90\x90Ё", "\xF0\x90\x90ё"},  // truncated before a valid sequence
      {"\xE2\x84", "\xE2\x84"},
      // The bytes after the end of the view must not complete the sequence.
      {"\xD0\x9C"sv.substr(0, 1), "\xD0"},
      {"\xF0\x90\x90\x80"sv.substr(0, 3), "\xF0\x90\x90"},
      {"A\0B"sv, "a\0b"sv},
      {"Ж\0Ж"sv, "ж\0ж"sv},
  });
}

std::string utf8_of(char32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

// Lower-casing twice changes nothing more; a run that also steps on the lower-case halves of
// alternating pairs turns them into the next capital. Every code point of the two planes that
// hold case mappings, a sample of the rest.
TEST(ToLowerFullTest, LowerCaseOfEveryCodePointIsAlreadyLowerCase) {
  std::vector<char32_t> unstable;
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += cp < 0x20000 ? 1 : 0xFF) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string once = to_lower_full(utf8_of(cp));
    if (to_lower_full(once) != once && unstable.size() < 20) unstable.push_back(cp);
  }
  EXPECT_THAT(unstable, testing::IsEmpty());
}

}  // namespace
}  // namespace kolvex
