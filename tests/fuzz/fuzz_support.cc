#include "fuzz_support.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/text_encoding.h"

namespace kolvex::fuzz {
namespace {

class CompactJsonParser {
 public:
  explicit CompactJsonParser(std::string_view text) : s_(text) {}

  std::optional<JsonValue> document() {
    std::optional<JsonValue> v = value();
    if (i_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  bool eat(std::string_view word) {
    if (!s_.substr(i_).starts_with(word)) return false;
    i_ += word.size();
    return true;
  }
  std::size_t digits() {
    const std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ - start;
  }

  std::optional<JsonValue> value() {
    if (eat("null")) return JsonValue(nullptr);
    if (eat("true")) return JsonValue(true);
    if (eat("false")) return JsonValue(false);
    if (eat("[")) return array();
    if (eat("{")) return object();
    if (!eat("\"")) return number();
    std::optional<std::string> text = string();
    return text ? std::optional<JsonValue>(std::move(*text)) : std::nullopt;
  }

  std::optional<JsonValue> array() {
    JsonArray items;
    if (eat("]")) return JsonValue(std::move(items));
    do {
      std::optional<JsonValue> item = value();
      if (!item) return std::nullopt;
      items.push_back(std::move(*item));
    } while (eat(","));
    return eat("]") ? std::optional<JsonValue>(std::move(items)) : std::nullopt;
  }

  std::optional<JsonValue> object() {
    JsonObject members;
    std::string previous;
    if (eat("}")) return JsonValue(std::move(members));
    do {
      std::optional<std::string> key = eat("\"") ? string() : std::nullopt;
      if (!key || (!members.empty() && !(previous < *key)) || !eat(":")) return std::nullopt;
      std::optional<JsonValue> member = value();
      if (!member) return std::nullopt;
      members.insert(*key, std::move(*member));
      previous = std::move(*key);
    } while (eat(","));
    return eat("}") ? std::optional<JsonValue>(std::move(members)) : std::nullopt;
  }

  std::optional<char32_t> hex4() {
    std::uint32_t unit = 0;
    const char* first = s_.data() + i_;
    if (s_.size() - i_ < 4 || !std::isxdigit(static_cast<unsigned char>(*first)))
      return std::nullopt;
    auto [end, ec] = std::from_chars(first, first + 4, unit, 16);
    if (ec != std::errc{} || end != first + 4) return std::nullopt;
    i_ += 4;
    return unit;
  }

  std::optional<std::string> string() {
    constexpr std::string_view ESCAPES = "\"\\/bfnrt";
    constexpr std::string_view MEANINGS = "\"\\/\b\f\n\r\t";
    std::string out;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20 || (c == '\\' && i_ == s_.size())) break;
      if (c != '\\') {
        out += c;
        continue;
      }
      const char escape = s_[i_++];
      if (const std::size_t at = ESCAPES.find(escape); at != std::string_view::npos) {
        out += MEANINGS[at];
        continue;
      }
      std::optional<char32_t> cp = escape == 'u' ? hex4() : std::nullopt;
      if (cp && *cp >= 0xD800 && *cp <= 0xDBFF) {
        const std::optional<char32_t> low = eat("\\u") ? hex4() : std::nullopt;
        if (!low || *low < 0xDC00 || *low > 0xDFFF) break;
        cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
      }
      if (!cp || (*cp >= 0xDC00 && *cp <= 0xDFFF)) break;
      append_utf8(out, *cp);
    }
    return std::nullopt;
  }

  std::optional<JsonValue> number() {
    const std::size_t start = i_;
    const bool negative = eat("-");
    if (!eat("0") && digits() == 0) return std::nullopt;
    bool integer = true;
    if (eat(".")) {
      integer = false;
      if (digits() == 0) return std::nullopt;
    }
    if (eat("e") || eat("E")) {
      integer = false;
      if (!eat("+")) eat("-");
      if (digits() == 0) return std::nullopt;
    }
    const char* first = s_.data() + start;
    const char* last = s_.data() + i_;
    if (integer && negative) return whole<std::int64_t>(first, last);
    if (integer) return whole<std::uint64_t>(first, last);
    double d = 0;
    auto [end, ec] = std::from_chars(first, last, d);
    if (ec != std::errc{} || end != last) return std::nullopt;
    return JsonValue(d);
  }

  template <class Integer>
  static std::optional<JsonValue> whole(const char* first, const char* last) {
    Integer n = 0;
    auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc{} || end != last) return std::nullopt;
    return JsonValue(n);
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

void require(bool holds, std::string_view property, std::string_view text) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %.*s\nin %zu bytes: ", static_cast<int>(property.size()),
               property.data(), text.size());
  for (const char c : text.substr(0, 2000)) {
    const auto byte = static_cast<unsigned char>(c);
    std::fprintf(stderr, byte >= 0x20 && byte < 0x7F ? "%c" : "\\x%02X", byte);
  }
  std::fputc('\n', stderr);
  std::abort();
}

std::optional<std::u32string> decode_utf8(std::string_view bytes) {
  constexpr char32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
  std::u32string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const int more = lead < 0x80                    ? 0
                     : lead >= 0xC2 && lead <= 0xDF ? 1
                     : (lead & 0xF0) == 0xE0        ? 2
                     : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                    : -1;
    if (more < 0 || bytes.size() - i <= static_cast<std::size_t>(more)) return std::nullopt;
    char32_t cp = lead & (0x7F >> more);
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < SMALLEST[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out += cp;
    i += static_cast<std::size_t>(more) + 1;
  }
  return out;
}

std::optional<JsonValue> parse_compact_json(std::string_view text) {
  return CompactJsonParser(text).document();
}

}  // namespace kolvex::fuzz
