// The raw file's container: which data layout it holds, and reading its streams.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "cfb/cfb.hpp"
#include "core/point_lists.hpp"
#include "error.hpp"

namespace raw {

enum class FileVariant : std::uint8_t { Gcms = 0, Ttfl = 1, Qtfl = 2 };

// The layout's name, as the metadata and the tables' facts give it.
constexpr std::string_view layout_name(FileVariant variant) noexcept {
    switch (variant) {
    case FileVariant::Gcms: return "GC-MS";
    case FileVariant::Ttfl: return "TTFL";
    case FileVariant::Qtfl: return "QTOF";
    }
    return "unknown";
}

// Each layout's storage and the streams read from it, by their paths in the container. The
// paths also appear, as they are, in the messages of a missing stream.
inline constexpr std::string_view gcms_storage = "GCMS Raw Data";
inline constexpr std::string_view gcms_spectrum_index = "GCMS Raw Data/Spectrum Index";
inline constexpr std::string_view gcms_ms_raw_data = "GCMS Raw Data/MS Raw Data";

inline constexpr std::string_view ttfl_storage = "TTFL Raw Data";
inline constexpr std::string_view ttfl_data_index = "TTFL Raw Data/Data Index";
inline constexpr std::string_view ttfl_ms_raw_data = "TTFL Raw Data/MS Raw Data";
inline constexpr std::string_view ttfl_retention_time = "TTFL Raw Data/Retention Time";
// The tuning results, in a storage of their own; the first one present gives the calibration.
inline constexpr std::string_view ttfl_tuning_result_00 = "TTFL Tuning/Tuning Result 00";
inline constexpr std::string_view ttfl_tuning_result_01 = "TTFL Tuning/Tuning Result 01";
inline constexpr std::string_view ttfl_tuning_result_02 = "TTFL Tuning/Tuning Result 02";
inline constexpr std::array<std::string_view, 3> ttfl_tuning_results = {ttfl_tuning_result_00, ttfl_tuning_result_01,
                                                                        ttfl_tuning_result_02};

inline constexpr std::string_view qtfl_storage = "QTFL RawData";
inline constexpr std::string_view qtfl_centroid_index = "QTFL RawData/Centroid Index";
inline constexpr std::string_view qtfl_centroid_data = "QTFL RawData/Centroid Data";
inline constexpr std::string_view qtfl_retention_time = "QTFL RawData/Retention Time";

// The layout, from the lower-cased extension and the storages present.
std::expected<FileVariant, reader::Error> detect_variant(std::string_view extension, const cfb::Container& container);

// The whole stream at `path`.
std::expected<cfb::Bytes, reader::Error> read_stream(const cfb::Container& container, std::string_view path);

// The whole stream at `path`, read into memory from the blocks that point lists come from (a
// block kept from an earlier file when one fits): for the large data streams.
std::expected<core::ByteBuffer, reader::Error> read_data_stream(const cfb::Container& container, std::string_view path);

// The whole stream at `path`, or nothing; never an error.
std::optional<cfb::Bytes> read_stream_opt(const cfb::Container& container, std::string_view path);

}  // namespace raw
