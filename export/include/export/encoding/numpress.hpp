// MS-Numpress encodings of numeric arrays (Teleman et al., Mol. Cell. Proteomics 2014): linear
// prediction for smooth arrays (m/z, time), short logged float for intensities. Both are lossy,
// with a bound set by the fixed point each array is given; they are usually followed by zlib.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace exporter::numpress {

// Linear prediction, with the largest fixed point that keeps every value and every prediction
// residual, scaled, within a signed 32-bit integer: each decoded value is within 0.5 / fixed
// point of the original, which is at most (largest value) / 2^31 and about (largest value) /
// 2^32 for a smooth array (5e-7 at m/z 2000), whose residuals are small beside its values. The
// bound is absolute, the same for every value of the array: a value far below the largest keeps
// fewer of its digits. The encoding: the fixed point (8 bytes, big-endian), the first two values
// as scaled integers (4 bytes each, little-endian), then each residual from the linear
// prediction of the two before, in the half-byte integer code. Nothing when the array cannot be
// carried within that bound (a value above 2^31 - 1, or a residual of nearly twice the largest
// value, as in 5, 0, 5) or at all (a negative or non-finite value), or has a single value, which
// some decoders cannot read back.
std::optional<std::vector<std::byte>> encode_linear(std::span<const double> values);

// Short logged float, with the largest fixed point that keeps log(value + 1), scaled, within an
// unsigned 16-bit integer: each decoded value + 1 is within a factor exp(0.5 / fixed point) of
// the original + 1, which is at most 1 + log(largest + 1) / 130000 (1 + 1.7e-4 for values up to
// 2^32): a bound relative to value + 1. The encoding: the fixed point (8 bytes, big-endian),
// then each value as a 2-byte little-endian unsigned integer. Nothing when the array has a
// negative or non-finite value, or values so large (beyond 10^173) that it misses the bound.
template <typename Number>
std::optional<std::vector<std::byte>> encode_slof(std::span<const Number> values);

}  // namespace exporter::numpress
