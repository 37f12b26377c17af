#include "output/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <type_traits>

#include "base/text_encoding.h"

namespace kolvex {
namespace {

// The letter of a two-character escape; 0 for a byte written as \u00XX.
char escape_letter(unsigned char byte) {
  constexpr std::string_view ESCAPED = "\"\\\b\t\n\f\r";
  constexpr std::string_view LETTERS = "\"\\btnfr";
  const std::size_t at = ESCAPED.find(static_cast<char>(byte));
  return at == std::string_view::npos ? 0 : LETTERS[at];
}

void append_unsigned(std::string& out, std::uint64_t n) {
  char digits[20];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, end);
}

void append_negative(std::string& out, std::int64_t n) {
  // The magnitude of INT64_MIN does not fit a signed integer.
  out += '-';
  append_unsigned(out, 0 - static_cast<std::uint64_t>(n));
}

// Digits d1..dn (no trailing zeros) and decimal exponent E of d1, from the shortest
// round-trip scientific form of a positive finite double.
struct Decimal {
  std::string digits;
  int exponent = 0;
};

Decimal shortest_decimal(double magnitude) {
  char text[32];
  auto [end, ec] =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  std::string_view s(text, static_cast<std::size_t>(end - text));
  std::size_t e = s.find('e');
  Decimal d;
  for (char c : s.substr(0, e)) {
    if (c != '.') d.digits += c;
  }
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), d.exponent);
  return d;
}

void append_plain(std::string& out, const Decimal& d) {
  const int n = static_cast<int>(d.digits.size());
  const int e = d.exponent;
  if (e < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-e - 1), '0');
    out += d.digits;
  } else if (n <= e + 1) {
    out += d.digits;
    out.append(static_cast<std::size_t>(e + 1 - n), '0');
    out += ".0";
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(e + 1));
    out += '.';
    out.append(d.digits, static_cast<std::size_t>(e + 1));
  }
}

void append_exponent_form(std::string& out, const Decimal& d) {
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  out += 'e';
  out += d.exponent < 0 ? '-' : '+';
  append_unsigned(out, static_cast<std::uint64_t>(std::abs(d.exponent)));
}

void append_array(std::string& out, const JsonArray& array) {
  out += '[';
  bool first = true;
  for (const JsonValue& element : array) {
    if (!first) out += ',';
    first = false;
    append_compact_text(out, element);
  }
  out += ']';
}

void append_object(std::string& out, const JsonObject& object) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : object) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, key);
    out += ':';
    append_compact_text(out, value);
  }
  out += '}';
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  out += '"';
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\') continue;
    if (byte >= 0x80) {
      // Whatever it is given, the writer never emits a byte that is not UTF-8.
      const Utf8Sequence sequence = utf8_sequence_at(utf8.substr(i));
      if (sequence.valid) {
        i += sequence.length - 1;
        continue;
      }
      out.append(utf8, run_start, i - run_start);
      out += "\xEF\xBF\xBD";
      i += sequence.length - 1;
      run_start = i + 1;
      continue;
    }
    const char letter = escape_letter(byte);
    out.append(utf8, run_start, i - run_start);
    run_start = i + 1;
    if (letter != 0) {
      out += '\\';
      out += letter;
    } else {
      out += "\\u00";
      out += HEX_DIGITS[byte >> 4];
      out += HEX_DIGITS[byte & 0xF];
    }
  }
  out.append(utf8, run_start);
  out += '"';
}

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    out += "0.0";
    return;
  }
  const Decimal d = shortest_decimal(magnitude);
  if (d.exponent >= -5 && d.exponent <= 15) {
    append_plain(out, d);
  } else {
    append_exponent_form(out, d);
  }
}

void append_compact_text(std::string& out, const JsonValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          append_unsigned(out, v);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          append_negative(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          append_json_double(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_json_string(out, v);
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          append_array(out, v);
        } else if constexpr (std::is_same_v<T, JsonObject>) {
          append_object(out, v);
        } else {
          out += v.text;
        }
      },
      value.storage());
}

std::string to_compact_text(const JsonValue& value) {
  std::string out;
  // Snapshot lines run to kilobytes; most other events fit this at once.
  out.reserve(1024);
  append_compact_text(out, value);
  return out;
}

}  // namespace kolvex
