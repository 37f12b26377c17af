#pragma once

#include <string>
#include <string_view>

#include "output/json_value.h"

namespace kolvex {

// The compact text of a value: no white space outside strings, object members in key order.
std::string to_compact_text(const JsonValue& value);
void append_compact_text(std::string& out, const JsonValue& value);

// Bytes that are not UTF-8 are written as U+FFFD, one for each maximal subpart.
void append_json_string(std::string& out, std::string_view utf8);

// Shortest text that reads back as the same double; plain form for decimal exponents -5 to 15,
// exponent form ("1e+16", "5e-324") outside them; zeros keep their sign and a ".0".
void append_json_double(std::string& out, double value);

}  // namespace kolvex
