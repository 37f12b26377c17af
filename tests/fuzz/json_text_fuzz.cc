// The compact writer on values of every kind: its text is compact JSON that reads back as the
// value, doubles bit for bit, and is UTF-8 whenever the strings that went in were.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>

#include "fuzz_support.h"
#include "output/json_text.h"

namespace kolvex::fuzz {
namespace {

std::string text(FuzzedDataProvider& in, bool& utf8) {
  std::string s = in.ConsumeRandomLengthString(48);
  utf8 = utf8 && decode_utf8(s).has_value();
  return s;
}

JsonValue build(FuzzedDataProvider& in, int depth, bool& utf8) {
  switch (in.ConsumeIntegralInRange(0, depth < 6 ? 7 : 5)) {
    case 0:
      return nullptr;
    case 1:
      return in.ConsumeBool();
    case 2:
      return in.ConsumeIntegral<std::uint64_t>();
    case 3:
      return in.ConsumeIntegral<std::int64_t>();
    case 4:
      // Every bit pattern: subnormals, both zeros, NaNs and infinities (which become null).
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 5:
      return text(in, utf8);
    case 6: {
      JsonArray items(in.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (JsonValue& item : items) item = build(in, depth + 1, utf8);
      return items;
    }
    default: {
      JsonObject members;
      for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
        std::string key = text(in, utf8);
        members.insert(std::move(key), build(in, depth + 1, utf8));
      }
      return members;
    }
  }
}

}  // namespace
}  // namespace kolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kolvex::fuzz;
  FuzzedDataProvider in(data, size);
  bool utf8 = true;
  const kolvex::JsonValue value = build(in, 0, utf8);
  const std::string text = kolvex::to_compact_text(value);
  const std::optional<kolvex::JsonValue> parsed = parse_compact_json(text);
  require(parsed.has_value(), "the text is compact JSON", text);
  // Whatever it is given: bytes that are not UTF-8 are replaced.
  require(decode_utf8(text).has_value(), "the text is UTF-8", text);
  // Equal values whose texts are equal too: doubles bit for bit, 0.0 and -0.0 included.
  if (utf8) {
    require(*parsed == value && kolvex::to_compact_text(*parsed) == text, "it reads back", text);
  }
  return 0;
}
