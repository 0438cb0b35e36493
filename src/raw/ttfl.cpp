#include "raw/ttfl.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "le.hpp"

namespace raw::ttfl {
namespace {

constexpr std::size_t subset_record_size = 16;
constexpr std::size_t scan_header_size = 64;
constexpr std::uint16_t terminator = 0x8000;
constexpr std::uint16_t longest_run_header = 0x9000;
constexpr std::uint16_t longest_candidate_header = 0x8040;

bool is_run_header(std::uint16_t word) noexcept { return word > terminator && word <= longest_run_header; }
std::size_t run_length(std::uint16_t header) noexcept { return header & 0x1FFF; }

// The words of a scan after its header, read in place.
struct Words {
    le::ByteView bytes;
    std::size_t count() const noexcept { return bytes.size() / 2; }
    std::uint16_t operator[](std::size_t k) const { return le::u16(bytes, 2 * k); }
};

// Where the run list that starts at word p continues: the next header's position, the verdict
// `ends_here` for a terminator that is the last word, or `fails`.
constexpr std::size_t fails = static_cast<std::size_t>(-1);
constexpr std::size_t ends_here = static_cast<std::size_t>(-2);

std::size_t step(const Words& w, std::size_t p) {
    const std::uint16_t h = w[p];
    if (h == terminator) return p + 1 == w.count() ? ends_here : fails;
    if (!is_run_header(h)) return fails;
    const std::size_t next = p + 2 + run_length(h);
    return next >= w.count() ? fails : next;  // a run must leave a word for what follows
}

// Whether the run list from word p ends exactly at the last word, following the chain.
bool reaches_end(const Words& w, std::size_t p) {
    while (true) {
        p = step(w, p);
        if (p == ends_here) return true;
        if (p == fails) return false;
    }
}

bool is_candidate(std::uint16_t word) noexcept { return word >= terminator && word <= longest_candidate_header; }

// The first candidate position whose run list ends exactly at the last word. A run list
// decoded from a position always goes on the same way, so each position's verdict is worked
// out once, from the end backwards, when the first candidate fails: linear on every input.
std::optional<std::size_t> find_start(const Words& w) {
    const std::size_t n = w.count();
    std::size_t first = 0;
    while (first < n && !is_candidate(w[first])) ++first;
    if (first == n) return std::nullopt;
    if (reaches_end(w, first)) return first;
    std::vector<bool> ok(n, false);
    for (std::size_t p = n; p-- > first + 1;) {
        const std::size_t next = step(w, p);
        ok[p] = next == ends_here || (next != fails && ok[next]);
    }
    for (std::size_t p = first + 1; p < n; ++p)
        if (ok[p] && is_candidate(w[p])) return p;
    return std::nullopt;
}

}  // namespace

std::expected<std::vector<DataIndexSubset>, reader::Error> parse_data_index(std::span<const std::byte> bytes) {
    if (bytes.size() % subset_record_size != 0)
        return std::unexpected(reader::Error::parse("Data Index stream size " + std::to_string(bytes.size()) +
                                                    " is not a whole number of " +
                                                    std::to_string(subset_record_size) + "-byte subsets"));
    std::vector<DataIndexSubset> subsets(bytes.size() / subset_record_size);
    for (std::size_t i = 0; i < subsets.size(); ++i) {
        const std::size_t at = i * subset_record_size;
        subsets[i] = DataIndexSubset{le::u32(bytes, at), le::u32(bytes, at + 8), i % 4};
    }
    return subsets;
}

std::vector<ScanBounds> scan_bounds(std::span<const DataIndexSubset> subsets, std::size_t data_len) {
    std::vector<std::uint32_t> distinct(subsets.size());
    std::transform(subsets.begin(), subsets.end(), distinct.begin(), [](const auto& s) { return s.offset; });
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const auto end_of_data = static_cast<std::uint32_t>(data_len);  // low 32 bits
    std::vector<ScanBounds> bounds(subsets.size());
    for (std::size_t i = 0; i < subsets.size(); ++i) {
        const std::uint32_t start = subsets[i].offset;
        const auto at = std::lower_bound(distinct.begin(), distinct.end(), start);
        bounds[i] = {start, at + 1 != distinct.end() ? *(at + 1) : end_of_data};
    }
    return bounds;
}

std::vector<std::uint16_t> to_u16_words(std::span<const std::byte> bytes) {
    std::vector<std::uint16_t> words(bytes.size() / 2);
    for (std::size_t k = 0; k < words.size(); ++k) words[k] = le::u16(bytes, 2 * k);
    return words;
}

std::optional<DecodedRuns> decode_rle(std::span<const std::uint16_t> words) {
    const std::size_t n = words.size();
    if (n == 0) return std::nullopt;
    DecodedRuns out;
    std::size_t i = 0;
    while (true) {
        if (i >= n) return std::nullopt;
        const std::uint16_t h = words[i];
        if (h == terminator) {
            out.words_consumed = i + 1;
            return out;
        }
        if (!is_run_header(h)) return std::nullopt;
        const std::size_t length = run_length(h);
        const std::size_t next = i + 2 + length;
        if (next > n) return std::nullopt;
        out.runs.push_back(Run{std::vector<std::uint16_t>(words.begin() + static_cast<std::ptrdiff_t>(i + 2),
                                                          words.begin() + static_cast<std::ptrdiff_t>(next)),
                               words[i + 1]});
        if (next >= n) return std::nullopt;
        i = next;
    }
}

std::optional<ProfileScan> decode_scan(std::span<const std::byte> bytes) {
    PointLists lists;
    if (!decode_scan(bytes, lists)) return std::nullopt;
    return ProfileScan{std::move(lists.mz), std::move(lists.intensity)};
}

std::optional<std::size_t> decode_scan(std::span<const std::byte> bytes, PointSink& sink) {
    const std::size_t length = bytes.size();
    if (length < scan_header_size) return std::nullopt;
    if (length == scan_header_size) return 0;
    if (length < scan_header_size + 4 || length % 2 != 0) return std::nullopt;
    const Words w{bytes.subspan(scan_header_size)};
    const auto start = find_start(w);
    if (!start) return std::nullopt;

    std::size_t points = 0;
    for (std::size_t p = *start; w[p] != terminator; p += 2 + run_length(w[p])) points += run_length(w[p]);
    const PointRoom room = sink.room(points);
    std::uint32_t channel = 0;
    std::size_t k = 0;
    for (std::size_t p = *start; w[p] != terminator; p += 2 + run_length(w[p])) {
        channel += w[p + 1];
        const le::Block<2, std::uint16_t> values(w.bytes, 2 * (p + 2), run_length(w[p]));
        for (std::size_t v = 0; v < values.size(); ++v, ++k, ++channel) {
            room.mz[k] = static_cast<double>(channel);
            room.intensity[k] = static_cast<float>(values[v]);
        }
    }
    return points;
}

std::optional<Calibration> parse_calibration(std::span<const std::byte> bytes) {
    constexpr std::size_t masses_at = 3022, positions_at = 3150, max_masses = 9;
    const std::size_t length = bytes.size();
    double roots[max_masses];
    std::size_t n = 0;
    for (; n < max_masses; ++n) {
        const std::size_t p = masses_at + 4 * n;
        if (length < p + 4) break;
        const std::uint32_t v = le::u32(bytes, p);
        if (v == 0) break;
        roots[n] = std::sqrt(static_cast<double>(v) * 0.0001);
    }
    if (n < 3) return std::nullopt;
    if (length < positions_at + 8 * n) return std::nullopt;
    const double count = static_cast<double>(n);
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = roots[k], y = le::f64(bytes, positions_at + 8 * k);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double d = sxx * count - sx * sx;
    if (std::fabs(d) < 1e-9) return std::nullopt;
    const double slope = (sxy * count - sx * sy) / d;
    if (!std::isfinite(slope) || slope <= 0) return std::nullopt;
    const double intercept = (sy - sx * slope) / count;
    if (!std::isfinite(intercept)) return std::nullopt;
    return Calibration{slope, intercept};
}

}  // namespace raw::ttfl
