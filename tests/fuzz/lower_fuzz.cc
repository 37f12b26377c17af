// Full lower-casing against ICU's root locale (ICU 72 and our tables are both Unicode 15.0),
// Final_Sigma in every context the fuzzer builds; bytes that are not UTF-8 must not crash it.
#include <cstdint>
#include <string>

#include "../tracking/icu_lower.h"
#include "fuzz_support.h"
#include "tracking/unicode_lower.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string ours = kolvex::to_lower_full(input);
  if (!kolvex::fuzz::decode_utf8(input)) return 0;
  const std::string icu = kolvex::icu_lower(input);
  kolvex::fuzz::require(!icu.starts_with("ICU error: "), "ICU converts", input);
  kolvex::fuzz::require(ours == icu, "lower-cased as ICU does", input);
  return 0;
}
