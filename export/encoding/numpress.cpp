#include "export/encoding/numpress.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace exporter::numpress {
namespace {

constexpr double int32_limit = 2147483647.0;  // 0x7FFFFFFF
constexpr double uint16_limit = 65535.0;
// The bounds stated in numpress.hpp: linear prediction moves a value by at most
// largest / 2^31, which is 0.5 / fixed point for a fixed point of 2^30 / largest; short logged
// floats move log(value + 1) by at most log(1 + log(largest + 1) / 130000).
constexpr double linear_bound_scale = 1073741824.0;  // 2^30
constexpr double slof_bound_divisor = 130000.0;

void append_fixed_point(std::vector<std::byte>& out, double fixed_point) {
    const auto bits = std::bit_cast<std::uint64_t>(fixed_point);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::byte>(bits >> shift));
}

void append_le(std::vector<std::byte>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>(value >> (8 * i)));
}

// The half-byte code of a 32-bit integer, least significant half-byte first after a count:
// 0 to 8 leading zero half-bytes are written as that count (and are not stored), 1 to 7
// leading 0xF half-bytes as 8 + the count, and otherwise 0 before all eight half-bytes.
void append_half_bytes(std::vector<std::uint8_t>& out, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    std::uint32_t skipped;
    if ((bits >> 28) == 0) {
        skipped = static_cast<std::uint32_t>(std::countl_zero(bits)) / 4;  // 8 for zero
        out.push_back(static_cast<std::uint8_t>(skipped));
    } else if ((bits >> 28) == 0xF) {
        skipped = std::min(static_cast<std::uint32_t>(std::countl_one(bits)) / 4, 7u);
        out.push_back(static_cast<std::uint8_t>(8 + skipped));
    } else {
        skipped = 0;
        out.push_back(0);
    }
    for (std::uint32_t k = 0; k < 8 - skipped; ++k) out.push_back(static_cast<std::uint8_t>((bits >> (4 * k)) & 0xF));
}

template <typename Number>
bool all_finite_and_not_negative(std::span<const Number> values) {
    return std::all_of(values.begin(), values.end(), [](Number v) { return std::isfinite(v) && v >= 0; });
}

}  // namespace

std::optional<std::vector<std::byte>> encode_linear(std::span<const double> values) {
    if (values.size() == 1 || !all_finite_and_not_negative(values)) return std::nullopt;
    double largest = 0.0, largest_residual = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        largest = std::max(largest, values[i]);
        if (i >= 2) largest_residual = std::max(largest_residual, std::abs(values[i] - (2 * values[i - 1] - values[i - 2])));
    }
    double fixed_point = int32_limit;  // an array of zeros, which every fixed point keeps exactly
    if (largest > 0) {
        // Every value, scaled, within a signed 32-bit integer, and every residual too, with room
        // for the rounding of the three scaled values it is worked out from.
        fixed_point = int32_limit / largest;
        if (largest_residual > 0) fixed_point = std::min(fixed_point, (int32_limit - 3) / largest_residual);
        fixed_point = std::floor(fixed_point);
        // Within the bound: 0.5 / fixed point, the most a value moves, at most largest / 2^31.
        if (!std::isfinite(fixed_point) || !(fixed_point >= linear_bound_scale / largest)) return std::nullopt;
    }

    std::vector<std::byte> out;
    out.reserve(8 + 8 + values.size() * 5 / 2 + 1);
    append_fixed_point(out, fixed_point);
    thread_local std::vector<std::uint8_t> half_bytes;
    half_bytes.clear();
    std::int64_t before = 0, last = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto now = static_cast<std::int64_t>(values[i] * fixed_point + 0.5);
        const std::int64_t residual = now - (2 * last - before);
        // The choice above keeps both within range; a value that would not fit is never written.
        if (now > INT32_MAX || (i >= 2 && (residual > INT32_MAX || residual < INT32_MIN))) return std::nullopt;
        if (i < 2) append_le(out, static_cast<std::uint32_t>(now), 4);
        else append_half_bytes(half_bytes, static_cast<std::int32_t>(residual));
        before = last;
        last = now;
    }
    for (std::size_t k = 0; k < half_bytes.size(); k += 2) {
        const std::uint8_t low = k + 1 < half_bytes.size() ? half_bytes[k + 1] : 0;
        out.push_back(static_cast<std::byte>(half_bytes[k] << 4 | low));
    }
    return out;
}

template <typename Number>
std::optional<std::vector<std::byte>> encode_slof(std::span<const Number> values) {
    if (!all_finite_and_not_negative(values)) return std::nullopt;
    thread_local std::vector<double> logs;  // each worked out once
    logs.resize(values.size());
    double largest_log = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        logs[i] = std::log1p(static_cast<double>(values[i]));
        largest_log = std::max(largest_log, logs[i]);
    }
    // An array of zeros (or none) is kept exactly by any fixed point. Otherwise the bound must
    // hold: 0.5 / fixed point, the most log(value + 1) moves, at most log(1 + log(largest + 1) /
    // 130000), which only arrays with values above 10^173 can miss.
    const double fixed_point = largest_log > 0 ? std::floor(uint16_limit / largest_log) : uint16_limit;
    if (largest_log > 0 &&
        (!std::isfinite(fixed_point) || !(0.5 / fixed_point <= std::log1p(largest_log / slof_bound_divisor))))
        return std::nullopt;
    std::vector<std::byte> out;
    out.reserve(8 + 2 * values.size());
    append_fixed_point(out, fixed_point);
    out.resize(8 + 2 * values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto scaled = static_cast<std::uint32_t>(std::min(logs[i] * fixed_point + 0.5, uint16_limit));
        out[8 + 2 * i] = static_cast<std::byte>(scaled);
        out[9 + 2 * i] = static_cast<std::byte>(scaled >> 8);
    }
    return out;
}

template std::optional<std::vector<std::byte>> encode_slof<float>(std::span<const float>);
template std::optional<std::vector<std::byte>> encode_slof<double>(std::span<const double>);

}  // namespace exporter::numpress
