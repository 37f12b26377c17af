#pragma once

// ICU's root-locale full lower-casing of UTF-8: the oracle for to_lower_full (ICU 72 and our
// tables are both Unicode 15.0).
#include <unicode/ustring.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex {

// On an ICU failure, "ICU error: " and its name: no lower-cased text starts so.
inline std::string icu_lower(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  std::vector<UChar> in(utf8.size() + 1);
  std::int32_t in_length = 0;
  u_strFromUTF8(in.data(), static_cast<std::int32_t>(in.size()), &in_length, utf8.data(),
                static_cast<std::int32_t>(utf8.size()), &status);
  std::vector<UChar> lower(3 * in.size());
  const std::int32_t lower_length = u_strToLower(
      lower.data(), static_cast<std::int32_t>(lower.size()), in.data(), in_length, "", &status);
  std::string out(4 * lower.size(), '\0');
  std::int32_t out_length = 0;
  u_strToUTF8(out.data(), static_cast<std::int32_t>(out.size()), &out_length, lower.data(),
              lower_length, &status);
  if (U_FAILURE(status)) return "ICU error: " + std::string(u_errorName(status));
  out.resize(static_cast<std::size_t>(out_length));
  return out;
}

}  // namespace kolvex
