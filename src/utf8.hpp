// Well-formed UTF-8, judged one sequence at a time: for the names taken from paths and
// containers, and for the text written into documents.
#pragma once

#include <cstddef>
#include <string_view>

namespace utf8 {

// The sequence at the start of a non-empty text: a well-formed character of `length` bytes, or
// (`valid` false) the bytes to replace by one U+FFFD: a maximal prefix of a well-formed
// sequence, or one byte that starts none (a stray continuation byte, an overlong form, a
// surrogate, a value past U+10FFFF).
struct Sequence {
    std::size_t length = 1;
    bool valid = false;
};

inline Sequence next_sequence(std::string_view text) noexcept {
    const auto b0 = static_cast<unsigned char>(text[0]);
    if (b0 < 0x80) return {1, true};
    const std::size_t extra = b0 >= 0xC2 && b0 <= 0xDF ? 1 : b0 >= 0xE0 && b0 <= 0xEF ? 2 : b0 >= 0xF0 && b0 <= 0xF4 ? 3 : 0;
    if (extra == 0) return {1, false};
    std::size_t good = 1;
    for (std::size_t k = 1; k <= extra && k < text.size(); ++k) {
        const auto b = static_cast<unsigned char>(text[k]);
        unsigned lo = 0x80, hi = 0xBF;
        if (k == 1 && b0 == 0xE0) lo = 0xA0;  // overlong
        if (k == 1 && b0 == 0xED) hi = 0x9F;  // surrogates
        if (k == 1 && b0 == 0xF0) lo = 0x90;  // overlong
        if (k == 1 && b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
        if (b < lo || b > hi) break;
        ++good;
    }
    return {good, good == extra + 1};
}

}  // namespace utf8
