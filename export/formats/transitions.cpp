#include "export/formats/transitions.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace exporter {
namespace {

// The bits of an m/z as a key: equal values give equal keys (+0 and -0, and every NaN, alike),
// and distinct values distinct ones, so that no two pairs print alike.
std::uint64_t key_bits(double mz) noexcept {
    if (std::isnan(mz)) mz = std::numeric_limits<double>::quiet_NaN();
    if (mz == 0.0) mz = 0.0;
    return std::bit_cast<std::uint64_t>(mz);
}

}  // namespace

std::size_t TransitionChromatograms::KeyHash::operator()(
    const std::pair<std::uint64_t, std::uint64_t>& key) const noexcept {
    std::uint64_t x = key.first * 0x9E3779B97F4A7C15ull ^ key.second;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<std::size_t>(x);
}

void TransitionChromatograms::add(const core::SpectrumRecord& transition) {
    const double precursor = transition.precursor && transition.precursor->selected_mz
                                 ? *transition.precursor->selected_mz
                                 : std::numeric_limits<double>::quiet_NaN();
    const double product = transition.mz.empty() ? std::numeric_limits<double>::quiet_NaN() : transition.mz[0];
    const float intensity = transition.intensity.empty() ? 0.0f : transition.intensity[0];
    if (measurements_.size() >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("more MRM transitions than one conversion can group");
    const auto [at, fresh] =
        pair_of_.try_emplace({key_bits(precursor), key_bits(product)}, static_cast<std::uint32_t>(pairs_.size()));
    if (fresh) pairs_.push_back(Pair{precursor, product});
    ++pairs_[at->second].count;
    measurements_.push_back(Measurement{transition.retention_time_sec, intensity, at->second});
}

std::vector<std::uint32_t> TransitionChromatograms::by_pair() const {
    // A counting sort by pair.
    std::vector<std::uint64_t> next(pairs_.size());
    for (std::size_t p = 0, at = 0; p < pairs_.size(); at += pairs_[p++].count) next[p] = at;
    std::vector<std::uint32_t> grouped(measurements_.size());
    for (std::uint32_t m = 0; m < measurements_.size(); ++m) grouped[next[measurements_[m].pair]++] = m;
    return grouped;
}

TransitionChromatograms::Chromatogram TransitionChromatograms::chromatogram(
    const Pair& pair, std::span<const std::uint32_t> positions) const {
    std::vector<std::uint32_t> order(positions.begin(), positions.end());
    auto earlier = [&](std::uint32_t a, std::uint32_t b) { return measurements_[a].time_sec < measurements_[b].time_sec; };
    if (!std::is_sorted(order.begin(), order.end(), earlier)) std::stable_sort(order.begin(), order.end(), earlier);
    Chromatogram out{pair.precursor_mz, pair.product_mz, {}, {}};
    out.times_sec.reserve(order.size());
    out.intensities.reserve(order.size());
    for (const std::uint32_t m : order) {
        out.times_sec.push_back(measurements_[m].time_sec);
        out.intensities.push_back(measurements_[m].intensity);
    }
    return out;
}

}  // namespace exporter
