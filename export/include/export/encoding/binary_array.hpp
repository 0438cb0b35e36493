// The binary arrays of mzML: raw little-endian values, zlib-compressed or not, as base64 text.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace exporter {

// The compression level of every zlib stream written: level 1 of the compressor used here makes
// streams within 2 % of the size that the slowest levels make, at three times their speed.
inline constexpr int zlib_level = 1;

// Appends the base64 text of `bytes`, compressed first into a zlib stream when `compress` is
// set; returns the number of characters appended.
std::size_t append_binary(std::string& out, std::span<const std::byte> bytes, bool compress);

}  // namespace exporter
