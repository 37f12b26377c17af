// The UTF-16 converters against a decoder of our own, on units taken two bytes at a time; and
// the console writer's hold-back of an unfinished UTF-8 sequence, on the same bytes.
#include <cstdint>
#include <string>

#include "base/text_encoding.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kolvex;
  using fuzz::decode_utf8;
  using fuzz::require;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  // What the units stand for, U+FFFD for each unpaired surrogate.
  std::u32string expected;
  bool paired = true;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      expected += 0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      expected += U'\uFFFD';
      paired = false;
    } else {
      expected += u;
    }
  }
  const std::optional<std::string> strict = utf16_to_utf8_strict(units);
  const std::string lossy = utf16_to_utf8_lossy(units);
  require(strict.has_value() == paired, "strict decoding fails exactly on unpaired surrogates");
  require(decode_utf8(lossy) == expected, "lossy decoding gives the code points", lossy);
  if (strict) require(*strict == lossy, "strict and lossy agree on good input", *strict);

  const std::size_t complete = utf8_complete_prefix(bytes);
  require(complete <= size && size - complete <= 3, "at most three bytes are held back");
  if (decode_utf8(bytes)) require(complete == size, "nothing of valid UTF-8 is held back");
  if (complete < size) {
    // What is held back is a lead byte and fewer continuation bytes than it announces.
    const auto lead = static_cast<unsigned char>(bytes[complete]);
    const std::size_t announced = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    require(lead >= 0xC2 && lead <= 0xF4 && size - complete < announced, "a lead byte is held");
    for (std::size_t i = complete + 1; i < size; ++i) {
      require((data[i] & 0xC0) == 0x80, "only continuation bytes follow what is held");
    }
  }
  return 0;
}
