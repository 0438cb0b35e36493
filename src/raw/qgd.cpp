#include "raw/qgd.hpp"

#include <string>

#include "le.hpp"

namespace raw::qgd {
namespace {

constexpr std::size_t header_size = 32;
constexpr std::uint16_t profile_format = 2;

reader::Error fail(std::string message) { return reader::Error::parse(std::move(message)); }

// Reads the intensity field of an MRM entry: 2, 3 or 4 bytes, zero-extended.
std::uint32_t mrm_intensity(le::ByteView data, std::size_t at, std::size_t width) {
    switch (width) {
        case 2: return le::uint_at<2, std::uint32_t>(data, at);
        case 3: return le::uint_at<3, std::uint32_t>(data, at);
        default: return le::uint_at<4, std::uint32_t>(data, at);
    }
}

}  // namespace

std::expected<std::vector<std::uint64_t>, reader::Error> parse_spectrum_index(std::span<const std::byte> bytes) {
    const std::size_t length = bytes.size();
    std::vector<std::uint64_t> offsets;
    if (length % 4 == 0) {
        offsets.resize(length / 4);
        for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = le::u32(bytes, 4 * i);
    } else if (length >= 2 && length % 8 == 2) {
        offsets.resize((length - 2) / 8);
        for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = le::u64(bytes, 2 + 8 * i);
    } else {
        return std::unexpected(fail("Spectrum Index stream size " + std::to_string(length) +
                                    " matches neither Variant A (u32[N]) nor Variant B (2-byte header + u64[N])"));
    }
    return offsets;
}

std::expected<GcmsScan, reader::Error> parse_scan(std::span<const std::byte> bytes) {
    PointLists lists;
    auto scan = parse_scan(bytes, lists);
    if (scan)
        if (auto* profile = std::get_if<ProfileScan>(&*scan)) {
            profile->mz = std::move(lists.mz);
            profile->intensity = std::move(lists.intensity);
        }
    return scan;
}

std::expected<GcmsScan, reader::Error> parse_scan(std::span<const std::byte> bytes, PointSink& points) {
    const std::size_t length = bytes.size();
    if (length < header_size)
        return std::unexpected(fail("GC-MS scan too short for " + std::to_string(header_size) +
                                    "-byte header: " + std::to_string(length) + " bytes"));
    const std::uint32_t retention_time_ms = le::u32(bytes, 4);
    const std::uint16_t format = le::u16(bytes, 20);
    const std::uint16_t n_peaks = le::u16(bytes, 22);
    const std::uint16_t event_id = le::u16(bytes, 24);
    const std::uint16_t n_transitions = le::u16(bytes, 26);
    const std::size_t data_bytes = length - header_size;
    const le::ByteView data = bytes.subspan(header_size);

    if (format == profile_format && data_bytes == 4 * std::size_t{n_peaks}) {
        const PointRoom room = points.room(n_peaks);
        const le::Block<2, std::uint16_t> words(data, 0, 2 * std::size_t{n_peaks});
        for (std::size_t i = 0; i < n_peaks; ++i) {
            room.mz[i] = static_cast<double>(words[2 * i]) / 10.0;
            room.intensity[i] = static_cast<float>(words[2 * i + 1]);
        }
        return ProfileScan{{}, {}, retention_time_ms};
    }
    if (n_transitions > 0 && data_bytes % n_transitions == 0) {
        const std::size_t stride = data_bytes / n_transitions;
        if (stride >= 6 && stride <= 8) {
            MrmScan scan{std::vector<MrmTransition>(n_transitions), retention_time_ms, event_id};
            for (std::size_t i = 0; i < n_transitions; ++i) {
                const std::size_t at = i * stride;
                scan.transitions[i] = MrmTransition{static_cast<double>(le::u16(data, at)) / 10.0,
                                                    static_cast<double>(le::u16(data, at + 2)) / 10.0,
                                                    static_cast<float>(mrm_intensity(data, at + 4, stride - 4))};
            }
            return scan;
        }
    }
    return std::unexpected(fail("GC-MS scan did not match Profile or MRM layout: format=" + std::to_string(format) +
                                " n_peaks=" + std::to_string(n_peaks) + " event_id=" + std::to_string(event_id) +
                                " n_transitions=" + std::to_string(n_transitions) +
                                " data_bytes=" + std::to_string(data_bytes)));
}

}  // namespace raw::qgd
