#include "targets.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <unistd.h>

#include "cfb/cfb.hpp"
#include "raw/qgd.hpp"
#include "raw/qtfl.hpp"
#include "raw/ttfl.hpp"
#include "reader/reader.hpp"

namespace fuzz {
namespace {

std::span<const std::byte> bytes_of(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const std::byte*>(data), size};
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// The start search done the plain way: every candidate decoded afresh (quadratic, so only
// used on small inputs), to check the linear search against.
std::optional<std::size_t> naive_start(std::span<const std::byte> scan) {
    for (std::size_t s = 64; s + 2 <= scan.size(); s += 2) {
        const auto lo = std::to_integer<unsigned>(scan[s]), hi = std::to_integer<unsigned>(scan[s + 1]);
        if (hi != 0x80 || lo > 0x40) continue;
        const auto words = raw::ttfl::to_u16_words(scan.subspan(s));
        const auto runs = raw::ttfl::decode_rle(words);
        if (runs && runs->words_consumed == words.size()) return s;
    }
    return std::nullopt;
}

// Writes the bytes to a file the harness owns, under the given extension.
std::string temp_file(const char* extension, std::span<const std::byte> bytes) {
    static const std::string dir = [] {
        char pattern[] = "/tmp/tavrik-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        check(made != nullptr, "mkdtemp");
        return std::string(made);
    }();
    const std::string path = dir + "/input." + extension;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(fd >= 0, "open temp file");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        check(n > 0, "write temp file");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

}  // namespace

void gcms_index(const std::uint8_t* data, std::size_t size) {
    const auto offsets = raw::qgd::parse_spectrum_index(bytes_of(data, size));
    check(offsets.has_value() == (size % 4 == 0 || size % 8 == 2), "index layout by length");
}

void gcms_scan(const std::uint8_t* data, std::size_t size) {
    const auto scan = raw::qgd::parse_scan(bytes_of(data, size));
    if (scan)
        if (const auto* p = std::get_if<raw::qgd::ProfileScan>(&*scan))
            check(p->mz.size() == p->intensity.size() && 32 + 4 * p->mz.size() == size, "profile size");
}

void qtof_index(const std::uint8_t* data, std::size_t size) {
    const auto index = raw::qtfl::parse_centroid_index(bytes_of(data, size));
    check(!index || index->size() == size / 24, "index count");
    const auto times = raw::qtfl::parse_retention_time(bytes_of(data, size));
    check(!times || times->size() == size / 12, "retention time count");
}

void qtof_scan(const std::uint8_t* data, std::size_t size) {
    const auto scan = raw::qtfl::decode_scan(bytes_of(data, size));
    if (scan) check(scan->mz.size() == scan->intensity.size() && 9 * scan->mz.size() <= size, "scan size");
}

void ttfl_index(const std::uint8_t* data, std::size_t size) {
    const auto bytes = bytes_of(data, size);
    const auto subsets = raw::ttfl::parse_data_index(bytes);
    if (!subsets) return;
    const std::size_t data_len = 3 * size + (size > 0 ? data[0] : 0);
    const auto bounds = raw::ttfl::scan_bounds(*subsets, data_len);
    check(bounds.size() == subsets->size(), "one range per subset");
    for (std::size_t i = 0; i < bounds.size(); ++i) check(bounds[i].first == (*subsets)[i].offset, "range start");
}

void ttfl_scan(const std::uint8_t* data, std::size_t size) {
    const auto bytes = bytes_of(data, size);
    const auto scan = raw::ttfl::decode_scan(bytes);
    if (scan) check(scan->channels.size() == scan->intensity.size(), "equal lengths");
    if (size >= 68 && size % 2 == 0 && size <= 4096) {
        const auto start = naive_start(bytes);
        check(scan.has_value() == start.has_value(), "same verdict as the plain search");
        if (start) {
            const auto words = raw::ttfl::to_u16_words(bytes.subspan(*start));
            std::size_t points = 0;
            const auto runs = raw::ttfl::decode_rle(words);
            for (const auto& run : runs->runs) points += run.values.size();
            check(scan->channels.size() == points, "same points as the plain search");
        }
    }
}

void calibration(const std::uint8_t* data, std::size_t size) {
    const auto c = raw::ttfl::parse_calibration(bytes_of(data, size));
    if (c) check(std::isfinite(c->slope) && c->slope > 0 && std::isfinite(c->intercept), "calibration bounds");
}

void container(const std::uint8_t* data, std::size_t size) {
    auto file = cfb::File::open_read_only(temp_file("cfb", bytes_of(data, size)));
    check(file.has_value(), "reopen temp file");
    auto opened = cfb::Container::open(std::move(*file));
    if (!opened) return;
    const auto entries = opened->entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].name;
        const bool plain_name = !name.empty() && name.size() <= 31 &&
            std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7F && c != '/'; });
        if (entries[i].parent == 0 && plain_name) check(opened->exists(name), "a root child is found by its name");
        if (entries[i].kind == cfb::EntryKind::Stream) {
            const auto bytes = opened->read_stream(i);
            check(!bytes || bytes->size() == entries[i].size, "stream size");
        }
    }
}

template <typename T>
bool same_bits(std::span<const T> a, std::span<const T> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

void open_file(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const char* extension = data[0] % 2 == 0 ? "qgd" : "lcd";
    const auto path = temp_file(extension, bytes_of(data + 1, size - 1));
    auto reader = reader::Reader::open(path);
    if (!reader) return;
    auto records = reader->iter_spectra();
    std::size_t expected = records->remaining(), index = 0;
    std::vector<core::SpectrumRecord> all;
    while (auto r = records->next()) {
        check(r->index == index && r->scan_number == index + 1, "numbering without gaps");
        check(r->mz.size() == r->intensity.size(), "equal lengths");
        check((r->ms_level == 2) == r->precursor.has_value(), "precursor exactly for MS2");
        all.push_back(std::move(*r));
        ++index;
    }
    check(index == expected, "exact size");

    // However the index entries overlap, the records stay within the bound for a file this size.
    auto list_bytes = [](std::size_t bytes) -> std::uint64_t { return bytes == 0 ? 0 : 16 + (bytes + 7) / 8 * 8; };
    std::uint64_t held = 0;
    for (const auto& r : all) held += 64 + list_bytes(8 * r.mz.size()) + list_bytes(4 * r.intensity.size());
    check(held <= reader::held_bytes_per_file_byte * size + reader::held_bytes_slack, "decoded size within the bound");

    // Decoding a few entries at a time yields the same records.
    reader::ScanDecoder decoder(*reader);
    std::vector<core::SpectrumRecord> stepwise;
    const std::size_t step = data[0] / 2 % 5 + 1;
    while (decoder.decode(stepwise, step) > 0) {}
    check(decoder.done() && stepwise.size() == all.size(), "stepwise count");
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& a = all[i];
        const auto& b = stepwise[i];
        check(a.native_id == b.native_id && a.ms_level == b.ms_level &&
                  same_bits(std::span(&a.retention_time_sec, 1), std::span(&b.retention_time_sec, 1)),
              "stepwise header");
        check(same_bits(std::span(a.mz), std::span(b.mz)) && same_bits(std::span(a.intensity), std::span(b.intensity)),
              "stepwise points");
        check((a.precursor && b.precursor && a.precursor->spectrum_ref == b.precursor->spectrum_ref) ||
                  (!a.precursor && !b.precursor),
              "stepwise precursor");
    }
    check(decoder.undecoded_entries() <= decoder.index_entries(), "undecoded within the index");
}

Target target_named(const std::string& name) {
    if (name == "gcms_index") return gcms_index;
    if (name == "gcms_scan") return gcms_scan;
    if (name == "qtof_index") return qtof_index;
    if (name == "qtof_scan") return qtof_scan;
    if (name == "ttfl_index") return ttfl_index;
    if (name == "ttfl_scan") return ttfl_scan;
    if (name == "calibration") return calibration;
    if (name == "container") return container;
    if (name == "open_file") return open_file;
    return nullptr;
}

}  // namespace fuzz
