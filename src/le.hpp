// The one little-endian reader every decoder uses: bounds-checked, unaligned, byte-order safe.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "error.hpp"

namespace le {

// Borrowed bytes, read in place: a view into memory that something else owns and keeps alive
// (a stream's buffer, say); never an owner itself.
using ByteView = std::span<const std::byte>;

// Throws InvariantBroken for a read of `count` x `width` bytes at `at` past the end of `size`
// bytes. Kept out of line so that the checked reads stay small enough to inline.
[[noreturn, gnu::cold, gnu::noinline]] void read_past_end(std::size_t width, std::size_t count, std::size_t at,
                                                          std::size_t size);

// The unsigned little-endian integer of `Width` bytes at `from`, zero-extended; unchecked.
template <std::size_t Width, typename T>
inline T load(const std::byte* from) noexcept {
    static_assert(Width >= 1 && Width <= sizeof(T));
    T value = 0;
    std::memcpy(&value, from, Width);  // low bytes first on a little-endian host
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
}

// Reads the unsigned little-endian integer of `Width` bytes (1 to 8) at `at`, zero-extended.
// A read past the end means a decoder skipped a length check: it throws InvariantBroken.
template <std::size_t Width, typename T = std::uint64_t>
inline T uint_at(ByteView bytes, std::size_t at) {
    if (at > bytes.size() || bytes.size() - at < Width) [[unlikely]]
        read_past_end(Width, 1, at, bytes.size());
    return load<Width, T>(bytes.data() + at);
}

inline std::uint8_t u8(ByteView b, std::size_t at) { return uint_at<1, std::uint8_t>(b, at); }
inline std::uint16_t u16(ByteView b, std::size_t at) { return uint_at<2, std::uint16_t>(b, at); }
inline std::uint32_t u32(ByteView b, std::size_t at) { return uint_at<4, std::uint32_t>(b, at); }
inline std::uint64_t u64(ByteView b, std::size_t at) { return uint_at<8, std::uint64_t>(b, at); }
inline double f64(ByteView b, std::size_t at) { return std::bit_cast<double>(u64(b, at)); }

// `count` consecutive values of `Width` bytes starting at `at`, bounds-checked once when made,
// then read without further checks: for a decoder's inner loop over a block it has measured.
template <std::size_t Width, typename T>
class Block {
public:
    Block(ByteView bytes, std::size_t at, std::size_t count) {
        if (at > bytes.size() || count > (bytes.size() - at) / Width) [[unlikely]]
            read_past_end(Width, count, at, bytes.size());
        data_ = bytes.data() + at;
        count_ = count;
    }
    std::size_t size() const noexcept { return count_; }
    T operator[](std::size_t k) const noexcept { return load<Width, T>(data_ + k * Width); }

private:
    const std::byte* data_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace le
