// Times decoding a crafted 1 MiB TTFL scan, in which every word is a run header whose chain
// reaches the end and fails on the last word, against a plain 1 MiB scan of ordinary runs.
// A decoder that tried each candidate afresh would visit about n^2 / 6 words on the first.
#include <chrono>
#include <cstdio>
#include <vector>

#include "raw/ttfl.hpp"

namespace {

std::vector<std::byte> scan_of(const std::vector<std::uint16_t>& words) {
    std::vector<std::byte> bytes(64, std::byte{0});
    for (std::uint16_t w : words) {
        bytes.push_back(std::byte(w & 0xFF));
        bytes.push_back(std::byte(w >> 8));
    }
    return bytes;
}

double best_seconds(const std::vector<std::byte>& scan, std::size_t& points, bool& decoded) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const auto result = raw::ttfl::decode_scan(scan);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        decoded = result.has_value();
        points = result ? result->channels.size() : 0;
    }
    return best;
}

}  // namespace

int main() {
    const std::size_t words = (1 << 20) / 2 - 32;  // 1 MiB with the header
    std::vector<std::uint16_t> crafted(words, 0x8001);
    crafted.back() = 0x0000;
    std::vector<std::uint16_t> runs;  // runs of 64 values after a gap of 3, then the terminator
    while (runs.size() + 66 + 1 < words) {
        runs.push_back(0x8040);
        runs.push_back(3);
        for (int v = 0; v < 64; ++v) runs.push_back(static_cast<std::uint16_t>(v * 97));
    }
    runs.push_back(0x8000);
    std::vector<std::uint16_t> plain(words - runs.size(), 0);  // uninterpreted words first
    plain.insert(plain.end(), runs.begin(), runs.end());

    std::size_t points = 0;
    bool decoded = false;
    const double t_plain = best_seconds(scan_of(plain), points, decoded);
    std::printf("plain 1 MiB scan:   %8.3f ms, decoded=%d, %zu points\n", t_plain * 1e3, decoded, points);
    const double t_crafted = best_seconds(scan_of(crafted), points, decoded);
    std::printf("crafted 1 MiB scan: %8.3f ms, decoded=%d, %zu points\n", t_crafted * 1e3, decoded, points);
    std::printf("crafted / plain:    %8.2f\n", t_crafted / t_plain);
    return 0;
}
