#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "output/json_value.h"

// Independent readers of what the code under fuzzing writes, so that a property is checked
// against a second implementation rather than against itself.

namespace kolvex::fuzz {

// A broken property: says which, with the text it was found in, and aborts so that libFuzzer
// keeps the input.
void require(bool holds, std::string_view property, std::string_view text = {});

// The code points of strictly valid UTF-8: no overlong forms, surrogates or values past
// U+10FFFF, no sequence cut short.
std::optional<std::u32string> decode_utf8(std::string_view bytes);

// The value that compact JSON text stands for, or nothing when the text is not compact JSON as
// the writer promises it: no white space, object keys unique and in ascending byte order,
// numbers without a point or exponent integers, every other number a double. The bytes of
// strings are taken as they are; whether they are UTF-8 is decode_utf8's question.
std::optional<JsonValue> parse_compact_json(std::string_view text);

}  // namespace kolvex::fuzz
