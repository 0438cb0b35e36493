#include "export/encoding/base64.hpp"

#include <array>
#include <cstdint>

namespace exporter {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value: half the lookups of one table entry per character.
constexpr std::array<char, 2 * 4096> pairs = [] {
    std::array<char, 2 * 4096> table{};
    for (std::size_t i = 0; i < 4096; ++i) {
        table[2 * i] = alphabet[i >> 6];
        table[2 * i + 1] = alphabet[i & 63];
    }
    return table;
}();

}  // namespace

std::size_t encode_base64(char* out, std::span<const std::byte> bytes) noexcept {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = bytes.size() / 3 * 3;
    char* at = out;
    for (std::size_t i = 0; i < whole; i += 3, at += 4) {
        const std::uint32_t group = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
        const char* high = &pairs[2 * (group >> 12)];
        const char* low = &pairs[2 * (group & 4095)];
        at[0] = high[0];
        at[1] = high[1];
        at[2] = low[0];
        at[3] = low[1];
    }
    const std::size_t rest = bytes.size() - whole;
    if (rest > 0) {
        const std::uint32_t group = std::uint32_t{in[whole]} << 16 | (rest == 2 ? std::uint32_t{in[whole + 1]} << 8 : 0);
        at[0] = alphabet[group >> 18];
        at[1] = alphabet[(group >> 12) & 63];
        at[2] = rest == 2 ? alphabet[(group >> 6) & 63] : '=';
        at[3] = '=';
        at += 4;
    }
    return static_cast<std::size_t>(at - out);
}

std::size_t append_base64(std::string& out, std::span<const std::byte> bytes) {
    const std::size_t at = out.size(), size = base64_size(bytes.size());
    out.resize_and_overwrite(at + size, [&](char* data, std::size_t) { return at + encode_base64(data + at, bytes); });
    return size;
}

}  // namespace exporter
