// Full lower-casing against ICU's root locale (ICU 72 and our tables are both Unicode 15.0),
// Final_Sigma in every context the fuzzer builds; bytes that are not UTF-8 must not crash it.
#include <unicode/ustring.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tracking/unicode_lower.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string ours = kolvex::to_lower_full(input);
  if (!kolvex::fuzz::decode_utf8(input)) return 0;
  UErrorCode status = U_ZERO_ERROR;
  std::vector<UChar> in(size + 1);
  std::int32_t in_length = 0;
  u_strFromUTF8(in.data(), static_cast<std::int32_t>(in.size()), &in_length, input.data(),
                static_cast<std::int32_t>(size), &status);
  std::vector<UChar> lower(3 * in.size());
  const std::int32_t lower_length = u_strToLower(
      lower.data(), static_cast<std::int32_t>(lower.size()), in.data(), in_length, "", &status);
  std::string icu(4 * lower.size(), '\0');
  std::int32_t icu_length = 0;
  u_strToUTF8(icu.data(), static_cast<std::int32_t>(icu.size()), &icu_length, lower.data(),
              lower_length, &status);
  kolvex::fuzz::require(U_SUCCESS(status), "ICU converts", input);
  icu.resize(static_cast<std::size_t>(icu_length));
  kolvex::fuzz::require(ours == icu, "lower-cased as ICU does", input);
  return 0;
}
