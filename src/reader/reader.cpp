#include "reader/reader.hpp"

#include "le.hpp"
#include "platform.hpp"
#include "raw/qgd.hpp"
#include "raw/timestamp.hpp"
#include "utf8.hpp"

namespace reader {
namespace {

// Replaces every invalid UTF-8 sequence with U+FFFD.
std::string to_valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Sequence next = utf8::next_sequence(text.substr(i));
        if (next.valid) out.append(text.substr(i, next.length));
        else out += "\xEF\xBF\xBD";
        i += next.length;
    }
    return out;
}

std::string ascii_lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool is_valid_utf8(std::string_view text) { return to_valid_utf8(text) == text; }

// Nothing when `fd` is a regular file; otherwise the error that refuses it. A directory cannot
// be read, and a device or a FIFO could be read forever or wait on another process.
std::optional<Error> refuse_unless_regular(int fd) {
    const auto found = platform::kind_of(fd);
    if (!found) return Error::io_os(found.error());
    using platform::FileKind;
    const char* kind = *found == FileKind::Regular           ? nullptr
                       : *found == FileKind::Directory       ? "a directory"
                       : *found == FileKind::Fifo            ? "a FIFO"
                       : *found == FileKind::CharacterDevice ? "a character device"
                       : *found == FileKind::BlockDevice     ? "a block device"
                       : *found == FileKind::Socket          ? "a socket"
                                                             : "not a file";
    if (!kind) return std::nullopt;
    return Error::io(std::string("not a regular file but ") + kind);
}

// Index entries that name the same bytes again make the decode of a small file large: each
// range is decoded on its own. Legitimate layouts cover their data stream at most once (TTFL
// subsets that share an offset share a range), so ranges covering it more than a few times
// are refused before anything is decoded.
class RangeCoverage {
public:
    explicit RangeCoverage(std::uint64_t data_len)
        : data_len_(data_len), limit_(max_range_coverage * data_len + range_coverage_slack) {}

    // Counts [start, end) when it is a range that would be decoded; each is at most the data
    // stream's length, and counting stops past the limit, so the sum cannot overflow.
    void add(std::uint64_t start, std::uint64_t end) {
        if (start <= end && end <= data_len_ && covered_ <= limit_) covered_ += end - start;
    }

    std::optional<Error> refusal() const {
        if (covered_ <= limit_) return std::nullopt;
        return Error::parse("scan ranges cover more than " + std::to_string(limit_) + " bytes, over " +
                            std::to_string(max_range_coverage) + " times the " + std::to_string(data_len_) +
                            "-byte data stream; overlapping index entries?");
    }

private:
    std::uint64_t data_len_;
    std::uint64_t limit_;
    std::uint64_t covered_ = 0;
};

// Each layout's opener reads all of the layout's streams before it parses any.

std::expected<ReaderData, Error> open_gcms(const cfb::Container& container) {
    auto index = raw::read_stream(container, raw::gcms_spectrum_index);
    if (!index) return std::unexpected(index.error());
    auto data = raw::read_data_stream(container, raw::gcms_ms_raw_data);
    if (!data) return std::unexpected(data.error());
    auto offsets = raw::qgd::parse_spectrum_index(*index);
    if (!offsets) return std::unexpected(offsets.error());
    RangeCoverage coverage(data->size());
    for (std::size_t i = 0; i < offsets->size(); ++i)
        coverage.add((*offsets)[i], i + 1 < offsets->size() ? (*offsets)[i + 1] : data->size());
    if (auto refused = coverage.refusal()) return std::unexpected(*refused);
    return ReaderData(GcmsData{std::move(*data), std::move(*offsets)});
}

std::expected<ReaderData, Error> open_ttfl(const cfb::Container& container) {
    auto index = raw::read_stream(container, raw::ttfl_data_index);
    if (!index) return std::unexpected(index.error());
    auto data = raw::read_data_stream(container, raw::ttfl_ms_raw_data);
    if (!data) return std::unexpected(data.error());
    auto times = raw::read_stream(container, raw::ttfl_retention_time);
    if (!times) return std::unexpected(times.error());
    auto subsets = raw::ttfl::parse_data_index(*index);
    if (!subsets) return std::unexpected(subsets.error());
    TtflData ttfl;
    ttfl.bounds = raw::ttfl::scan_bounds(*subsets, data->size());
    RangeCoverage coverage(data->size());
    for (const auto& [start, end] : ttfl.bounds) coverage.add(start, end);
    if (auto refused = coverage.refusal()) return std::unexpected(*refused);
    ttfl.subsets = std::move(*subsets);
    ttfl.ms_raw_data = std::move(*data);
    ttfl.retention_times_ms = parse_u32_array(*times);
    for (const std::string_view tuning : raw::ttfl_tuning_results) {
        if (auto bytes = raw::read_stream_opt(container, tuning)) {
            ttfl.calibration = raw::ttfl::parse_calibration(*bytes);
            break;
        }
    }
    return ReaderData(std::move(ttfl));
}

std::expected<ReaderData, Error> open_qtfl(const cfb::Container& container) {
    auto index = raw::read_stream(container, raw::qtfl_centroid_index);
    if (!index) return std::unexpected(index.error());
    auto data = raw::read_data_stream(container, raw::qtfl_centroid_data);
    if (!data) return std::unexpected(data.error());
    auto times = raw::read_stream(container, raw::qtfl_retention_time);
    if (!times) return std::unexpected(times.error());
    auto records = raw::qtfl::parse_centroid_index(*index);
    if (!records) return std::unexpected(records.error());
    RangeCoverage coverage(data->size());
    for (std::size_t i = 0; i < records->size(); ++i)
        coverage.add((*records)[i].data_offset, i + 1 < records->size() ? (*records)[i + 1].data_offset : data->size());
    if (auto refused = coverage.refusal()) return std::unexpected(*refused);
    auto retention = raw::qtfl::parse_retention_time(*times);
    if (!retention) return std::unexpected(retention.error());
    return ReaderData(QtflData{std::move(*data), std::move(*records), std::move(*retention)});
}

std::expected<ReaderData, Error> open_layout(FileVariant variant, const cfb::Container& container) {
    switch (variant) {
        case FileVariant::Gcms: return open_gcms(container);
        case FileVariant::Ttfl: return open_ttfl(container);
        case FileVariant::Qtfl: return open_qtfl(container);
    }
    return std::unexpected(Error::parse("unknown file variant"));
}

}  // namespace

FileNameParts split_file_name(std::string_view path) {
    // The last normal component: trailing separators and "." components do not count; a
    // path ending in ".." (or naming only the root) has no file name.
    auto separator = [](char c) { return platform::path_separators.find(c) != std::string_view::npos; };
    while (true) {
        while (!path.empty() && separator(path.back())) path.remove_suffix(1);
        if (path == ".") return {};
        if (path.size() >= 2 && path.back() == '.' && separator(path[path.size() - 2])) {
            path.remove_suffix(2);
            continue;
        }
        break;
    }
    const std::size_t slash = path.find_last_of(platform::path_separators);
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "..") return {};
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {std::string(name), std::nullopt};
    return {std::string(name.substr(0, dot)), std::string(name.substr(dot + 1))};
}

std::vector<std::uint32_t> parse_u32_array(std::span<const std::byte> bytes) {
    std::vector<std::uint32_t> values(bytes.size() / 4);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = le::u32(bytes, 4 * k);
    return values;
}

std::expected<Reader, Error> Reader::open(std::string_view path) {
    // A path with a NUL byte cannot name a file; opening the part before it would open another.
    if (path.find('\0') != std::string_view::npos)
        return std::unexpected(Error::io("file name contained an unexpected NUL byte"));
    auto file = cfb::File::open_read_only(std::string(path));
    if (!file) return std::unexpected(Error::io_os(file.error()));
    return open(path, std::move(*file));
}

std::expected<Reader, Error> Reader::open(std::string_view path, cfb::File file) {
    const FileNameParts parts = split_file_name(path);
    std::string extension;
    if (parts.extension && is_valid_utf8(*parts.extension)) extension = ascii_lower(*parts.extension);
    if (auto refused = refuse_unless_regular(file.fd())) return std::unexpected(*refused);
    auto container = cfb::Container::open(std::move(file));
    if (!container) return std::unexpected(Error::parse("not a valid OLE2/CFBF container: " + container.error()));
    const auto variant = raw::detect_variant(extension, *container);
    if (!variant) return std::unexpected(variant.error());
    std::optional<std::string> acquired_at = raw::timestamp::earliest_created_timestamp(*container);
    std::string source_name = parts.stem ? to_valid_utf8(*parts.stem) : std::string("unknown");

    auto data = open_layout(*variant, *container);
    if (!data) return std::unexpected(data.error());
    return Reader(std::move(*data), std::move(source_name), std::move(acquired_at), *variant);
}

std::unique_ptr<core::SpectrumIterator> Reader::iter_spectra() const {
    return std::make_unique<core::RecordListIterator>(decode_all(*this));
}

}  // namespace reader
