#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex {

// Appends the UTF-8 form of a code point (no check that it is a valid scalar value).
void append_utf8(std::string& out, char32_t cp);

// UTF-16 to UTF-8 where an unpaired surrogate makes the whole conversion fail.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view utf16);

// UTF-16 to UTF-8 with every unpaired surrogate replaced by U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view utf16);

// Length of the longest prefix that does not end inside an incomplete UTF-8 sequence, so a
// console writer can hold the tail back until the rest of the character arrives. Invalid bytes
// count as complete: they are the converter's to replace, not ours to hold.
std::size_t utf8_complete_prefix(std::string_view bytes);

// What starts `bytes` (not empty): a well-formed UTF-8 sequence of `length` bytes, or, when
// `valid` is false, the `length` bytes that one replacement character stands for (the
// maximal subpart of a sequence, as Unicode recommends and Python's decoder does).
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence utf8_sequence_at(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);
// The bytes with U+FFFD for each maximal subpart that is not UTF-8.
std::string to_valid_utf8(std::string_view bytes);

// Trailing tab, line feed, vertical tab, form feed, carriage return and blank removed.
std::u16string_view trim_trailing_space(std::u16string_view text);

}  // namespace kolvex
