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
#include "raw/point_sink.hpp"
#include "raw/qtfl.hpp"
#include "raw/ttfl.hpp"

namespace reader {

using raw::FileVariant;
using raw::layout_name;

struct GcmsData {
    core::ByteBuffer ms_raw_data;
    std::vector<std::uint64_t> scan_offsets;
};

struct TtflData {
    std::optional<raw::ttfl::Calibration> calibration;
    core::ByteBuffer ms_raw_data;
    std::vector<raw::ttfl::DataIndexSubset> subsets;
    std::vector<raw::ttfl::ScanBounds> bounds;
    std::vector<std::uint32_t> retention_times_ms;
};

struct QtflData {
    core::ByteBuffer centroid_data;
    std::vector<raw::qtfl::CentroidIndexRecord> centroid_index;
    std::vector<std::uint32_t> retention_times_ms;
};

using ReaderData = std::variant<GcmsData, TtflData, QtflData>;

// Opening refuses a file whose index entries' byte ranges together cover more than this many
// times its data stream, plus the slack: entries that name the same bytes again and again.
// Legitimate files cover their data stream at most once.
inline constexpr std::uint64_t max_range_coverage = 4;
inline constexpr std::uint64_t range_coverage_slack = 1 << 16;
// What follows for the records of a file of S bytes, counted as a RawReader keeps them (64 bytes
// a record, and each point list with its 16-byte header): at most 96 S + 2 MiB. The densest
// layout, MRM transitions of 6 bytes that each become a record of 112 bytes, gives under 19
// bytes per byte of ranges.
inline constexpr std::uint64_t held_bytes_per_file_byte = 96;
inline constexpr std::uint64_t held_bytes_slack = 2 << 20;

// An opened raw file, held in memory; no file stays open. Immutable once opened.
class Reader final : public core::SpectrumSource {
public:
    static std::expected<Reader, Error> open(std::string_view path);
    // The same for a file already opened read-only from `path` (which still gives the source's
    // name and extension); it is closed before this returns.
    static std::expected<Reader, Error> open(std::string_view path, cfb::File file);

    const ReaderData& data() const noexcept { return data_; }
    const std::string& source_name() const noexcept { return source_name_; }
    const std::optional<std::string>& acquired_at() const noexcept { return acquired_at_; }
    FileVariant variant() const noexcept { return variant_; }
    // The size of the stream the scans are cut from.
    std::size_t data_stream_size() const noexcept {
        if (const auto* g = std::get_if<GcmsData>(&data_)) return g->ms_raw_data.size();
        if (const auto* t = std::get_if<TtflData>(&data_)) return t->ms_raw_data.size();
        return std::get<QtflData>(data_).centroid_data.size();
    }
    // True for a TTFL file with no usable mass calibration: its m/z values are channel indices.
    bool mz_are_channel_indices() const noexcept {
        const auto* t = std::get_if<TtflData>(&data_);
        return t && !t->calibration;
    }

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

// Decodes an opened file's index entries in order, a few at a time, into the same records that
// decode_all builds: a consumer can start on the first records before the last are decoded. It
// borrows the reader, which must outlive it. Point lists come from the calling thread's
// PointArena, if it holds one.
class ScanDecoder {
public:
    explicit ScanDecoder(const Reader& reader) noexcept;

    // How many records to make room for before decoding: one per index entry, but never more
    // than the data stream can hold scans of their smallest size, so that an index count alone
    // never decides a large allocation. MRM scans can make more.
    std::size_t records_to_reserve() const noexcept;

    // Appends the records of the next `entries` index entries (fewer at the end) to `out`;
    // returns how many entries it took, 0 once every entry is done.
    std::size_t decode(std::vector<core::SpectrumRecord>& out, std::size_t entries);
    // The same, with every record's points written to `points` instead of its lists (which stay
    // empty): room is asked for exactly once per record, in the records' order, and filled
    // before the next request.
    std::size_t decode(std::vector<core::SpectrumRecord>& out, std::size_t entries, raw::PointSink& points);

    std::size_t index_entries() const noexcept { return entries_; }
    bool done() const noexcept { return next_entry_ == entries_; }
    std::size_t done_entries() const noexcept { return next_entry_; }
    // Entries so far whose scan could not be cut out or decoded, and so yielded no record.
    std::size_t undecoded_entries() const noexcept { return undecoded_; }

private:
    // With no `points`, the records' points go into their lists.
    std::size_t decode_entries(std::vector<core::SpectrumRecord>& out, std::size_t entries, raw::PointSink* points);
    core::SpectrumRecord& add(std::vector<core::SpectrumRecord>& out, std::string native_id);
    bool decode_gcms(const GcmsData& d, std::size_t i, std::vector<core::SpectrumRecord>& out, raw::PointSink* points);
    bool decode_ttfl(const TtflData& d, std::size_t i, std::vector<core::SpectrumRecord>& out, raw::PointSink* points);
    bool decode_qtfl(const QtflData& d, std::size_t i, std::vector<core::SpectrumRecord>& out, raw::PointSink* points);

    const Reader& reader_;
    std::size_t entries_;
    std::size_t next_entry_ = 0;
    std::size_t undecoded_ = 0;
    std::uint64_t records_ = 0;
    std::optional<std::string> last_ms1_;  // native id of the latest MS1 record (QTOF)
};

}  // namespace reader
