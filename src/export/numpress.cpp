#include "export/numpress.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace exporter::numpress {
namespace {

constexpr double int32_limit = 2147483647.0;  // 0x7FFFFFFF
constexpr double uint16_limit = 65535.0;

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
    const std::uint32_t top = 0xF0000000u;
    std::uint32_t skipped = 0;
    if ((bits & top) == 0) {
        while (skipped < 8 && (bits & (top >> (4 * skipped))) == 0) ++skipped;
        out.push_back(static_cast<std::uint8_t>(skipped));
    } else if ((bits & top) == top) {
        while (skipped < 7 && (bits & (top >> (4 * skipped))) == (top >> (4 * skipped))) ++skipped;
        out.push_back(static_cast<std::uint8_t>(8 + skipped));
    } else {
        out.push_back(0);
    }
    for (std::uint32_t k = 0; k < 8 - skipped; ++k) out.push_back(static_cast<std::uint8_t>((bits >> (4 * k)) & 0xF));
}

template <typename Number>
bool all_finite_and_not_negative(std::span<const Number> values) {
    return std::all_of(values.begin(), values.end(), [](Number v) { return std::isfinite(v) && v >= 0; });
}

}  // namespace

std::optional<double> linear_fixed_point(std::span<const double> values) {
    if (values.size() == 1 || !all_finite_and_not_negative(values)) return std::nullopt;
    double largest = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        largest = std::max(largest, values[i]);
        if (i >= 2) {
            const double residual = values[i] - (2 * values[i - 1] - values[i - 2]);
            largest = std::max(largest, std::ceil(std::abs(residual) + 1));
        }
    }
    return largest > 0 ? std::floor(int32_limit / largest) : int32_limit;
}

std::vector<std::byte> encode_linear(std::span<const double> values, double fixed_point) {
    std::vector<std::byte> out;
    out.reserve(8 + 8 + values.size() * 5 / 2 + 1);
    append_fixed_point(out, fixed_point);
    auto scaled = [&](double v) { return static_cast<std::int64_t>(v * fixed_point + 0.5); };
    std::int64_t before = 0, last = 0;
    std::vector<std::uint8_t> half_bytes;
    half_bytes.reserve(values.size() > 2 ? (values.size() - 2) * 3 : 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t now = scaled(values[i]);
        if (i < 2) append_le(out, static_cast<std::uint32_t>(now), 4);
        else append_half_bytes(half_bytes, static_cast<std::int32_t>(now - (2 * last - before)));
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
std::optional<double> slof_fixed_point(std::span<const Number> values) {
    if (!all_finite_and_not_negative(values)) return std::nullopt;
    double largest = 0.0;
    for (const Number v : values) largest = std::max(largest, std::log(static_cast<double>(v) + 1));
    return largest > 0 ? std::floor(uint16_limit / largest) : uint16_limit;
}

template <typename Number>
std::vector<std::byte> encode_slof(std::span<const Number> values, double fixed_point) {
    std::vector<std::byte> out;
    out.reserve(8 + 2 * values.size());
    append_fixed_point(out, fixed_point);
    for (const Number v : values) {
        const double scaled = std::log(static_cast<double>(v) + 1) * fixed_point + 0.5;
        append_le(out, static_cast<std::uint32_t>(std::min(scaled, uint16_limit)), 2);
    }
    return out;
}

template std::optional<double> slof_fixed_point<float>(std::span<const float>);
template std::optional<double> slof_fixed_point<double>(std::span<const double>);
template std::vector<std::byte> encode_slof<float>(std::span<const float>, double);
template std::vector<std::byte> encode_slof<double>(std::span<const double>, double);

}  // namespace exporter::numpress
