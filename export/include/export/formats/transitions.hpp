// MRM transition records gathered into one chromatogram per (precursor m/z, product m/z) pair,
// as MRM tools read them: each pair's intensities over retention time.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/spectrum.hpp"

namespace exporter {

class TransitionChromatograms {
public:
    // One pair's chromatogram, in retention-time order (stable for equal times).
    struct Chromatogram {
        double precursor_mz = 0.0;
        double product_mz = 0.0;
        std::vector<double> times_sec;
        std::vector<float> intensities;
    };

    // Takes the measurement of a transition record: its precursor's selected m/z, its one m/z
    // (the product) and its intensity, at its retention time.
    void add(const core::SpectrumRecord& transition);

    std::size_t size() const noexcept { return pairs_.size(); }
    std::uint64_t measurements() const noexcept { return measurements_.size(); }

    // Calls `visit(chromatogram)` for every pair, in order of first appearance, one at a time.
    template <typename Visit>
    void for_each(Visit visit) const {
        const std::vector<std::uint32_t> grouped = by_pair();
        std::span<const std::uint32_t> rest(grouped);
        for (const Pair& pair : pairs_) {
            visit(chromatogram(pair, rest.first(pair.count)));
            rest = rest.subspan(pair.count);
        }
    }

private:
    struct Measurement {
        double time_sec;
        float intensity;
        std::uint32_t pair;
    };
    struct Pair {
        double precursor_mz;
        double product_mz;
        std::uint32_t count = 0;
    };
    struct KeyHash {
        std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& key) const noexcept;
    };

    // The positions of the measurements, grouped by pair; each pair's in file order.
    std::vector<std::uint32_t> by_pair() const;
    // The pair's measurements at `positions` (file order), in retention-time order.
    Chromatogram chromatogram(const Pair& pair, std::span<const std::uint32_t> positions) const;

    std::vector<Pair> pairs_;
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t, KeyHash> pair_of_;
    std::vector<Measurement> measurements_;  // in file order
};

}  // namespace exporter
