// Entry names: UTF-8 <-> UTF-16 conversion and the format's case-insensitive comparison.
#pragma once

#include <string>
#include <string_view>

namespace cfb::names {

// UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8(std::u16string_view text);

// UTF-8 to UTF-16 code units; invalid sequences become U+FFFD.
std::u16string to_utf16(std::string_view text);

// The format's name equality: the same number of UTF-16 code units, equal after upper-casing
// each of them (simple upper-casing of the Latin, Greek and Cyrillic letters).
bool equal(std::u16string_view a, std::u16string_view b) noexcept;

}  // namespace cfb::names
