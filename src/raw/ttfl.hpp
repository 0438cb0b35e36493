// TTFL layouts: the data index (16-byte subset records) and the byte range of each subset's
// scan, the run-length coded profile scans, and the square-root mass calibration taken from a
// tuning result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/point_lists.hpp"
#include "error.hpp"
#include "raw/point_sink.hpp"

namespace raw::ttfl {

struct DataIndexSubset {
    std::uint32_t offset = 0;     // start of the subset's data in the MS Raw Data stream
    std::size_t time_index = 0;   // position in the retention-time list
    std::size_t subset = 0;       // position in its group of four records
};

using ScanBounds = std::pair<std::uint32_t, std::uint32_t>;  // [start, end)

struct Run {
    std::vector<std::uint16_t> values;
    std::uint16_t gap = 0;
};

struct DecodedRuns {
    std::vector<Run> runs;
    std::size_t words_consumed = 0;  // the terminator's index + 1
};

struct ProfileScan {
    core::Values<double> channels;
    core::Values<float> intensity;
};

// m/z = ((channel - intercept) / slope)^2; slope is finite and > 0, intercept finite.
struct Calibration {
    double slope = 1.0;
    double intercept = 0.0;
    double mz(double channel) const noexcept {
        const double q = (channel - intercept) / slope;
        return q * q;
    }
};

std::expected<std::vector<DataIndexSubset>, reader::Error> parse_data_index(std::span<const std::byte> bytes);

// Each subset's range runs from its offset to the next greater distinct offset, the greatest to
// the end of the data (its length cut to 32 bits). O(n log n).
std::vector<ScanBounds> scan_bounds(std::span<const DataIndexSubset> subsets, std::size_t data_len);

std::vector<std::uint16_t> to_u16_words(std::span<const std::byte> bytes);

// Decodes a run list that starts at the first word; nothing when the words do not form one.
// The plain reference decoder, kept simple rather than fast: decode_scan does not call it but
// finds the start and walks the runs its own linear way. The ttfl_scan fuzz target
// (fuzz/targets.cpp) checks that fast path against this one: on small scans it tries every
// candidate start after the header with decode_rle, takes the first whose run list ends exactly
// at the last word, and requires decode_scan to give the same verdict and the same point count.
std::optional<DecodedRuns> decode_rle(std::span<const std::uint16_t> words);

// Decodes one subset range: a 64-byte header, then a run list ending exactly at the last word.
// Linear in the length of the range on every input.
std::optional<ProfileScan> decode_scan(std::span<const std::byte> bytes);
// The same, with the channels and intensities written to `points`; gives how many there are (a
// scan without points asks for no room).
std::optional<std::size_t> decode_scan(std::span<const std::byte> bytes, PointSink& points);

std::optional<Calibration> parse_calibration(std::span<const std::byte> bytes);

}  // namespace raw::ttfl
