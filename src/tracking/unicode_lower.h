#pragma once

#include <string>
#include <string_view>

namespace kolvex {

// Full Unicode lower-case mapping (Unicode 15.0, language-neutral), with capital sigma following
// the Final_Sigma rule. Bytes that are not valid UTF-8 are copied unchanged.
std::string to_lower_full(std::string_view utf8);

}  // namespace kolvex
