#include "tracking/unicode_lower.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "base/text_encoding.h"
#include "tracking/unicode_lower_tables.h"

namespace kolvex {
namespace {

using lower_tables::CodePointRange;
using lower_tables::LowerRun;

constexpr char32_t CAPITAL_SIGMA = 0x03A3;
constexpr char32_t SMALL_SIGMA = 0x03C3;
constexpr char32_t FINAL_SIGMA = 0x03C2;

// A code point and its length in bytes; an invalid byte decodes to `valid == false`, length 1.
struct Decoded {
  char32_t code_point = 0;
  std::size_t length = 1;
  bool valid = false;
};

struct SequenceShape {
  std::size_t length;
  char32_t lead_bits;
  char32_t minimum;
};

// 0 length for bytes that cannot start a sequence: continuation bytes and 0xF8..0xFF.
SequenceShape shape_of(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return {2, lead & 0x1Fu, 0x80};
  if ((lead & 0xF0) == 0xE0) return {3, lead & 0x0Fu, 0x800};
  if ((lead & 0xF8) == 0xF0) return {4, lead & 0x07u, 0x10000};
  return {0, 0, 0};
}

Decoded decode_at(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) return {lead, 1, true};
  const SequenceShape shape = shape_of(lead);
  if (shape.length == 0 || s.size() - i < shape.length) return {};
  char32_t cp = shape.lead_bits;
  for (std::size_t k = 1; k < shape.length; ++k) {
    const auto byte = static_cast<unsigned char>(s[i + k]);
    if ((byte & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (byte & 0x3Fu);
  }
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  if (cp < shape.minimum || cp > 0x10FFFF || surrogate) return {};
  return {cp, shape.length, true};
}

template <std::size_t N>
bool in_ranges(const std::array<CodePointRange, N>& ranges, char32_t cp) {
  auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                [](char32_t c, const CodePointRange& r) { return c < r.first; });
  return after != ranges.begin() && cp <= std::prev(after)->last;
}

bool is_cased(char32_t cp) {
  return in_ranges(lower_tables::CASED, cp);
}

bool is_case_ignorable(char32_t cp) {
  return in_ranges(lower_tables::CASE_IGNORABLE, cp);
}

char32_t simple_lower(char32_t cp) {
  const auto& runs = lower_tables::LOWER_RUNS;
  auto after = std::upper_bound(runs.begin(), runs.end(), cp,
                                [](char32_t c, const LowerRun& r) { return c < r.first; });
  if (after == runs.begin()) return cp;
  const LowerRun& run = *std::prev(after);
  const char32_t offset = cp - run.first;
  if (offset > char32_t{run.span} || offset % run.stride != 0) return cp;
  return static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta);
}

void append_lower(std::string& out, char32_t cp) {
  const auto& expansions = lower_tables::LOWER_EXPANSIONS;
  auto found =
      std::find_if(expansions.begin(), expansions.end(),
                   [cp](const lower_tables::LowerExpansion& e) { return e.code_point == cp; });
  if (found == expansions.end()) {
    append_utf8(out, simple_lower(cp));
    return;
  }
  for (char32_t c : found->lower) {
    if (c != 0) append_utf8(out, c);
  }
}

// Case-ignorable comes first: a character that is both (U+0345, modifier letters) is skipped
// over rather than counted as the cased letter, as ICU does.
enum class SigmaContext { cased, ignorable, other };

SigmaContext sigma_context(const Decoded& d) {
  if (!d.valid) return SigmaContext::other;
  if (is_case_ignorable(d.code_point)) return SigmaContext::ignorable;
  return is_cased(d.code_point) ? SigmaContext::cased : SigmaContext::other;
}

bool followed_by_cased(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    const Decoded d = decode_at(s, i);
    const SigmaContext context = sigma_context(d);
    if (context != SigmaContext::ignorable) return context == SigmaContext::cased;
    i += d.length;
  }
  return false;
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string to_lower_full(std::string_view utf8) {
  if (is_ascii(utf8)) return ascii_lower(utf8);
  std::string out;
  out.reserve(utf8.size());
  // Whether the last character that is not case-ignorable was cased: the left half of the
  // Final_Sigma condition, carried forward instead of scanning back.
  bool after_cased = false;
  for (std::size_t i = 0; i < utf8.size();) {
    const Decoded d = decode_at(utf8, i);
    if (!d.valid) {
      out += utf8[i];
    } else if (d.code_point == CAPITAL_SIGMA) {
      const bool is_final = after_cased && !followed_by_cased(utf8, i + d.length);
      append_utf8(out, is_final ? FINAL_SIGMA : SMALL_SIGMA);
    } else {
      append_lower(out, d.code_point);
    }
    const SigmaContext context = sigma_context(d);
    if (context != SigmaContext::ignorable) after_cased = context == SigmaContext::cased;
    i += d.length;
  }
  return out;
}

}  // namespace kolvex
