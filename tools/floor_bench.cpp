// The physical floor of opening a raw file: reading its bytes (from the page cache) into a
// fresh buffer, plus filling freshly allocated arrays of the decoded size (an 8-byte m/z and a
// 4-byte intensity per point).   floor_bench FILE POINTS [ROUNDS]   prints the best time in s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "whole_file.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: floor_bench FILE POINTS [ROUNDS]\n");
        return 2;
    }
    const std::size_t points = std::strtoull(argv[2], nullptr, 10);
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    double best = 1e9;
    volatile double sink = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const WholeFile file = read_whole_file(argv[1]);
        if (!file.complete) return 1;
        auto mz = std::make_unique_for_overwrite<double[]>(points);
        auto intensity = std::make_unique_for_overwrite<float[]>(points);
        for (std::size_t i = 0; i < points; ++i) {
            mz[i] = static_cast<double>(i);
            intensity[i] = static_cast<float>(i & 0xFFFF);
        }
        sink = sink + mz[points / 2] + intensity[points / 3] + static_cast<double>(file.bytes[file.size / 2]);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%.6f\n", best);
    return 0;
}
