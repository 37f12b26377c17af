#include "tracking/unicode_lower.h"

namespace kolvex {

// Placeholder until the generated tables land: ASCII only.
std::string to_lower_full(std::string_view utf8) {
  std::string out(utf8);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace kolvex
