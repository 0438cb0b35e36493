// Opening a raw file: extension, container, layout, timestamp and the layout's streams and
// indexes, all held in memory; and iterating over every scan of it.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cfb/cfb.hpp"
#include "core/spectrum.hpp"
#include "error.hpp"
#include "raw/container.hpp"
#include "raw/qtfl.hpp"
#include "raw/ttfl.hpp"

namespace reader {

using raw::FileVariant;

struct GcmsData {
    cfb::Bytes ms_raw_data;
    std::vector<std::uint64_t> scan_offsets;
};

struct TtflData {
    std::optional<raw::ttfl::Calibration> calibration;
    cfb::Bytes ms_raw_data;
    std::vector<raw::ttfl::DataIndexSubset> subsets;
    std::vector<raw::ttfl::ScanBounds> bounds;
    std::vector<std::uint32_t> retention_times_ms;
};

struct QtflData {
    cfb::Bytes centroid_data;
    std::vector<raw::qtfl::CentroidIndexRecord> centroid_index;
    std::vector<std::uint32_t> retention_times_ms;
};

using ReaderData = std::variant<GcmsData, TtflData, QtflData>;

// An opened raw file, held in memory; no file stays open. Immutable once opened.
class Reader final : public core::SpectrumSource {
public:
    static std::expected<Reader, Error> open(std::string_view path);

    const ReaderData& data() const noexcept { return data_; }
    const std::string& source_name() const noexcept { return source_name_; }
    const std::optional<std::string>& acquired_at() const noexcept { return acquired_at_; }
    FileVariant variant() const noexcept { return variant_; }

    // Decodes every scan into records, in file order; scans that cannot be decoded are dropped.
    std::unique_ptr<core::SpectrumIterator> iter_spectra() const override;

private:
    Reader(ReaderData data, std::string source_name, std::optional<std::string> acquired_at, FileVariant variant)
        : data_(std::move(data)), source_name_(std::move(source_name)), acquired_at_(std::move(acquired_at)),
          variant_(variant) {}

    ReaderData data_;
    std::string source_name_;
    std::optional<std::string> acquired_at_;
    FileVariant variant_;
};

// Consecutive little-endian u32 values; 1 to 3 trailing bytes are ignored.
std::vector<std::uint32_t> parse_u32_array(std::span<const std::byte> bytes);

// The parts of a path's file name: the stem and the extension, as the opener judges them.
struct FileNameParts {
    std::optional<std::string> stem;       // nothing when the path has no file name
    std::optional<std::string> extension;  // nothing when the file name has none
};
FileNameParts split_file_name(std::string_view path);

// Builds the records of every scan of an opened file.
std::vector<core::SpectrumRecord> decode_all(const Reader& reader);

}  // namespace reader
