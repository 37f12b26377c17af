#include "base/text_encoding.h"

namespace kolvex {
namespace {

bool is_high_surrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Decodes one code point at `i`, advancing past it; nullopt for an unpaired surrogate.
std::optional<char32_t> next_code_point(std::u16string_view s, std::size_t& i) {
  const char16_t u = s[i++];
  if (is_high_surrogate(u)) {
    if (i < s.size() && is_low_surrogate(s[i])) {
      const char16_t low = s[i++];
      return 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{low} - 0xDC00);
    }
    return std::nullopt;
  }
  if (is_low_surrogate(u)) return std::nullopt;
  return char32_t{u};
}

// Bytes a UTF-8 sequence announces by its lead byte; 0 for a byte that cannot lead one.
std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size();) {
    const std::optional<char32_t> cp = next_code_point(utf16, i);
    if (!cp) return std::nullopt;
    append_utf8(out, *cp);
  }
  return out;
}

std::string utf16_to_utf8_lossy(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size();) {
    append_utf8(out, next_code_point(utf16, i).value_or(U'\uFFFD'));
  }
  return out;
}

std::size_t utf8_complete_prefix(std::string_view bytes) {
  // Only the last three bytes can belong to an unfinished sequence.
  const std::size_t n = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[n - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte: keep looking for the lead
    const std::size_t needed = sequence_length(byte);
    return needed > back ? n - back : n;
  }
  return n;
}

Utf8Sequence utf8_sequence_at(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {1, true};
  const std::size_t length = sequence_length(lead);
  if (length == 0) return {1, false};
  // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return {i, false};
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < low || byte > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {length, true};
}

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    // Names and keys are mostly ASCII, which needs no look at the sequence.
    if (static_cast<unsigned char>(bytes[0]) < 0x80) {
      bytes.remove_prefix(1);
      continue;
    }
    const Utf8Sequence sequence = utf8_sequence_at(bytes);
    if (!sequence.valid) return false;
    bytes.remove_prefix(sequence.length);
  }
  return true;
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Sequence sequence = utf8_sequence_at(bytes);
    if (sequence.valid) {
      out.append(bytes.substr(0, sequence.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    bytes.remove_prefix(sequence.length);
  }
  return out;
}

std::u16string_view trim_trailing_space(std::u16string_view text) {
  while (!text.empty()) {
    const char16_t last = text.back();
    if (last != u' ' && (last < 0x09 || last > 0x0D)) break;
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace kolvex
