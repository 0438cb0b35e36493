// GC-MS layouts: the spectrum index (where each scan starts) and the scan records, each either
// a profile scan or a list of MRM transitions.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <variant>
#include <vector>

#include "core/point_lists.hpp"
#include "error.hpp"
#include "raw/point_sink.hpp"

namespace raw::qgd {

struct MrmTransition {
    double precursor_mz = 0.0;
    double product_mz = 0.0;
    float intensity = 0.0f;
};

struct ProfileScan {
    core::Values<double> mz;
    core::Values<float> intensity;
    std::uint32_t retention_time_ms = 0;
};

struct MrmScan {
    std::vector<MrmTransition> transitions;
    std::uint32_t retention_time_ms = 0;
    std::uint16_t event_id = 0;
};

using GcmsScan = std::variant<ProfileScan, MrmScan>;

// The scan start offsets: u32[N] (a length divisible by 4), or a 2-byte header then u64[N].
std::expected<std::vector<std::uint64_t>, reader::Error> parse_spectrum_index(std::span<const std::byte> bytes);

// One scan record: a 32-byte header, then profile points or MRM transitions.
std::expected<GcmsScan, reader::Error> parse_scan(std::span<const std::byte> bytes);
// The same, with a profile scan's points written to `points` (its lists left empty).
std::expected<GcmsScan, reader::Error> parse_scan(std::span<const std::byte> bytes, PointSink& points);

}  // namespace raw::qgd
