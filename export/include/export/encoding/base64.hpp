// Base64 text (the standard alphabet, '=' padding, no line breaks), as mzML's binary arrays hold.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace exporter {

// The number of characters of the base64 text of `bytes` bytes.
constexpr std::size_t base64_size(std::size_t bytes) { return 4 * ((bytes + 2) / 3); }

// Writes the base64 text of `bytes` at `out`, which has room for base64_size(bytes.size())
// characters; returns that number.
std::size_t encode_base64(char* out, std::span<const std::byte> bytes) noexcept;

// Appends the base64 text of `bytes` to `out`; returns the number of characters appended.
std::size_t append_base64(std::string& out, std::span<const std::byte> bytes);

}  // namespace exporter
