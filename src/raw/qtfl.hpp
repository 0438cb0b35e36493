// QTOF layouts: the centroid index (24-byte records), the retention times (12-byte records) and
// the centroid scans (a 64-byte header, then a block of m/z values and a block of intensities).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "core/point_lists.hpp"
#include "error.hpp"
#include "raw/point_sink.hpp"

namespace raw::qtfl {

struct CentroidIndexRecord {
    std::uint32_t data_offset = 0;
    std::uint32_t aux_value = 0;
    std::uint32_t ms_level_code = 0;  // 2 or more: an MS2 scan
};

struct CentroidScan {
    std::optional<double> header_value;
    core::Values<double> mz;
    core::Values<float> intensity;
};

std::expected<std::vector<CentroidIndexRecord>, reader::Error> parse_centroid_index(std::span<const std::byte> bytes);
std::expected<std::vector<std::uint32_t>, reader::Error> parse_retention_time(std::span<const std::byte> bytes);
std::expected<CentroidScan, reader::Error> decode_scan(std::span<const std::byte> bytes);
// The same, with the points written to `points` (the scan's lists left empty; a scan without
// points asks for no room).
std::expected<CentroidScan, reader::Error> decode_scan(std::span<const std::byte> bytes, PointSink& points);

}  // namespace raw::qtfl
