// Compares to_lower_full with ICU's root-locale lower-casing, which implements the same Unicode
// version (ICU 72 = Unicode 15.0).
#include <unicode/utf8.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "icu_lower.h"
#include "tracking/unicode_lower.h"

namespace kolvex {
namespace {

std::string utf8_of(UChar32 cp) {
  char bytes[U8_MAX_LENGTH];
  std::int32_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, cp);
  return std::string(bytes, static_cast<std::size_t>(length));
}

std::string hex_code_points(std::string_view utf8) {
  std::string out;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(utf8.size());) {
    UChar32 cp = 0;
    U8_NEXT(utf8.data(), i, static_cast<std::int32_t>(utf8.size()), cp);
    char text[12];
    std::snprintf(text, sizeof text, "%s%04X", out.empty() ? "" : " ", static_cast<unsigned>(cp));
    out += text;
  }
  return out;
}

// Collects the first few disagreements and counts all of them, so one broken table row does
// not flood the output.
class Disagreements {
 public:
  void check(std::string_view input) {
    const std::string ours = to_lower_full(input);
    const std::string theirs = icu_lower(input);
    if (ours == theirs) return;
    if (++count_ <= 20) {
      examples_.push_back(hex_code_points(input) + ": " + hex_code_points(ours) + " vs ICU " +
                          hex_code_points(theirs));
    }
  }
  void expect_none() const {
    EXPECT_EQ(count_, 0);
    EXPECT_THAT(examples_, testing::IsEmpty());
  }

 private:
  int count_ = 0;
  std::vector<std::string> examples_;
};

// Beside the code point alone, three contexts around a capital sigma tell whether the code point
// counts as cased, case-ignorable, both or neither for the Final_Sigma rule.
TEST(UnicodeLowerIcuTest, EveryCodePointAloneAndNextToASigma) {
  const std::string sigma = utf8_of(0x03A3);
  Disagreements disagreements;
  for (UChar32 cp = 0; cp <= 0x10FFFF; ++cp) {
    if (U_IS_SURROGATE(cp)) continue;
    const std::string c = utf8_of(cp);
    disagreements.check(c);
    disagreements.check(c + sigma);
    disagreements.check("a" + c + sigma);
    disagreements.check("a" + sigma + c);
  }
  disagreements.expect_none();
}

// Every string of up to five characters over letters, case-ignorables and uncased characters.
TEST(UnicodeLowerIcuTest, SigmaInEveryShortContext) {
  const std::vector<std::string> alphabet = {
      utf8_of(0x03A3), utf8_of(0x0391), "a", "'", utf8_of(0x0301), " ", ".", utf8_of(0x02B0),
  };
  Disagreements disagreements;
  std::vector<std::size_t> digits;
  while (digits.size() <= 5) {
    std::string input;
    for (std::size_t d : digits) input += alphabet[d];
    disagreements.check(input);
    std::size_t i = 0;
    while (i < digits.size() && ++digits[i] == alphabet.size()) digits[i++] = 0;
    if (i == digits.size()) digits.push_back(0);
  }
  disagreements.expect_none();
}

}  // namespace
}  // namespace kolvex
