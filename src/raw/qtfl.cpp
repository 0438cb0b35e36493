#include "raw/qtfl.hpp"

#include <string>

#include "le.hpp"

namespace raw::qtfl {
namespace {

constexpr std::size_t index_record_size = 24;
constexpr std::size_t retention_record_size = 12;
constexpr std::size_t scan_header_size = 64;

reader::Error fail(std::string message) { return reader::Error::parse(std::move(message)); }

template <typename Block>
void fill_intensities(const Block& values, float* out) {
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = static_cast<float>(values[i]);
}

}  // namespace

std::expected<std::vector<CentroidIndexRecord>, reader::Error> parse_centroid_index(std::span<const std::byte> bytes) {
    if (bytes.size() % index_record_size != 0)
        return std::unexpected(fail("Centroid Index stream size " + std::to_string(bytes.size()) +
                                    " is not a multiple of " + std::to_string(index_record_size)));
    std::vector<CentroidIndexRecord> records(bytes.size() / index_record_size);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::size_t at = i * index_record_size;
        records[i] = CentroidIndexRecord{le::u32(bytes, at), le::u32(bytes, at + 8), le::u32(bytes, at + 20)};
    }
    return records;
}

std::expected<std::vector<std::uint32_t>, reader::Error> parse_retention_time(std::span<const std::byte> bytes) {
    if (bytes.size() % retention_record_size != 0)
        return std::unexpected(fail("Retention Time stream size " + std::to_string(bytes.size()) +
                                    " is not a multiple of " + std::to_string(retention_record_size)));
    std::vector<std::uint32_t> times(bytes.size() / retention_record_size);
    for (std::size_t i = 0; i < times.size(); ++i) times[i] = le::u32(bytes, i * retention_record_size);
    return times;
}

std::expected<CentroidScan, reader::Error> decode_scan(std::span<const std::byte> bytes) {
    PointLists lists;
    auto scan = decode_scan(bytes, lists);
    if (scan) {
        scan->mz = std::move(lists.mz);
        scan->intensity = std::move(lists.intensity);
    }
    return scan;
}

std::expected<CentroidScan, reader::Error> decode_scan(std::span<const std::byte> bytes, PointSink& points) {
    const std::size_t length = bytes.size();
    if (length < scan_header_size)
        return std::unexpected(fail("QTOF centroid scan too short for " + std::to_string(scan_header_size) +
                                    "-byte header: " + std::to_string(length) + " bytes"));
    const std::uint32_t header_value = le::u32(bytes, 16);
    const std::uint32_t declared = le::u32(bytes, 24);
    const std::uint32_t width = le::u32(bytes, 36);
    if (declared == 0) return CentroidScan{};
    const std::size_t payload = length - scan_header_size;
    if (payload < declared)
        return std::unexpected(fail("QTOF centroid scan payload shorter than declared size: have " +
                                    std::to_string(payload) + ", want " + std::to_string(declared)));
    if (width != 1 && width != 2 && width != 4)
        return std::unexpected(fail("QTOF centroid scan has unsupported intensity width " + std::to_string(width) +
                                    " (expected 1, 2, or 4 bytes)"));
    const std::size_t point = 8 + width;
    if (declared % point != 0)
        return std::unexpected(fail("QTOF centroid payload size " + std::to_string(declared) + " is not a multiple of " +
                                    std::to_string(point) + " (8-byte mz + " + std::to_string(width) +
                                    "-byte intensity)"));
    const std::size_t n = declared / point;
    const le::ByteView data = bytes.subspan(scan_header_size, declared);
    const PointRoom room = points.room(n);
    const le::Block<8, std::uint64_t> mz(data, 0, n);
    for (std::size_t i = 0; i < n; ++i) room.mz[i] = static_cast<double>(mz[i]) / 1e12;
    const std::size_t base = 8 * n;
    switch (width) {
        case 1: fill_intensities(le::Block<1, std::uint8_t>(data, base, n), room.intensity); break;
        case 2: fill_intensities(le::Block<2, std::uint16_t>(data, base, n), room.intensity); break;
        default: fill_intensities(le::Block<4, std::uint32_t>(data, base, n), room.intensity); break;
    }
    return CentroidScan{static_cast<double>(header_value), {}, {}};
}

}  // namespace raw::qtfl
