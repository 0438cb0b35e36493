#include "export/processing/centroid.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace exporter {
namespace {

// A step in m/z larger than this times the smaller neighbouring step is a gap in the sampling.
constexpr double gap_factor = 1.5;

struct Profile {
    std::span<const double> mz;
    std::span<const float> intensity;

    std::size_t size() const noexcept { return mz.size(); }

    bool usable(std::size_t i) const noexcept {
        return std::isfinite(mz[i]) && std::isfinite(intensity[i]) && intensity[i] > 0;
    }

    // The step from sample i - 1 to i, if m/z is finite and increasing there; otherwise 0.
    double step(std::size_t i) const noexcept {
        if (i == 0 || i >= size()) return 0;
        const double d = mz[i] - mz[i - 1];
        return std::isfinite(d) && d > 0 ? d : 0;
    }

    // Whether samples i - 1 and i (both usable) lie on one stretch of profile.
    bool joined(std::size_t i) const noexcept {
        const double d = step(i);
        if (d == 0) return false;
        double allowed = std::numeric_limits<double>::infinity();
        if (const double before = step(i - 1); before > 0) allowed = before;
        if (const double after = step(i + 1); after > 0) allowed = std::min(allowed, after);
        return !(d > gap_factor * allowed);
    }
};

// Calls apex(first, last, top_first, top_last) for every local maximum: [first, last) is the
// stretch of joined usable samples holding it, [top_first, top_last] its samples of the top value.
template <typename Apex>
void for_each_apex(const Profile& p, Apex&& apex) {
    const std::size_t n = p.size();
    std::size_t i = 0;
    while (i < n) {
        if (!p.usable(i)) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < n && p.usable(end) && p.joined(end)) ++end;
        const std::size_t first = i;
        for (std::size_t k = first; k < end;) {
            const float top = p.intensity[k];
            std::size_t last = k;
            while (last + 1 < end && p.intensity[last + 1] == top) ++last;
            const bool above_left = k == first || p.intensity[k - 1] < top;
            const bool above_right = last + 1 == end || p.intensity[last + 1] < top;
            if (above_left && above_right) apex(first, end, k, last);
            k = last + 1;
        }
        i = end;
    }
}

struct Peak {
    double mz;
    double height;
};

// The samples at or above half the top, walking outward from the top samples while the profile
// does not rise again (so within this peak): [low, high].
struct Span {
    std::size_t low, high;
};

Span upper_half(const Profile& p, std::size_t first, std::size_t end, std::size_t top_first, std::size_t top_last) {
    const double half = static_cast<double>(p.intensity[top_first]) / 2;
    std::size_t low = top_first;
    while (low > first && p.intensity[low - 1] <= p.intensity[low] && p.intensity[low - 1] >= half) --low;
    std::size_t high = top_last;
    while (high + 1 < end && p.intensity[high + 1] <= p.intensity[high] && p.intensity[high + 1] >= half) ++high;
    return {low, high};
}

// The intensity-weighted mean m/z of the samples at or above half the top.
Peak weighted_mean(const Profile& p, std::size_t first, std::size_t end, std::size_t top_first,
                   std::size_t top_last) {
    const Span s = upper_half(p, first, end, top_first, top_last);
    // Offsets from the top's first m/z keep the sum exact enough and finite.
    const double origin = p.mz[top_first];
    double weight = 0, moment = 0;
    for (std::size_t k = s.low; k <= s.high; ++k) {
        weight += p.intensity[k];
        moment += static_cast<double>(p.intensity[k]) * (p.mz[k] - origin);
    }
    const double centre = origin + moment / weight;
    return {std::isfinite(centre) ? centre : origin, p.intensity[top_first]};
}

// The apex of the parabola through (m/z, log intensity) of the top sample i and the samples about
// it at or above half its height (its two neighbours at least), fitted by least squares weighted
// by intensity squared (the weight of a log of a count rounded to a whole number). Through three
// samples it is the parabola through them; more samples of a wide peak dampen the rounding of
// the counts. Exact for a Gaussian wherever the samples fall. Not finite where the samples give no
// downward parabola.
Peak log_parabola(const Profile& p, std::size_t first, std::size_t end, std::size_t i) {
    const Span s = upper_half(p, first, end, i, i);
    const std::size_t low = std::min(s.low, i - 1), high = std::max(s.high, i + 1);
    const double origin = p.mz[i];
    const double unit = p.mz[i + 1] - p.mz[i];  // offsets in steps: the sums stay well scaled
    const double top = std::log(static_cast<double>(p.intensity[i]));
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, t0 = 0, t1 = 0, t2 = 0;
    for (std::size_t k = low; k <= high; ++k) {
        const double w = static_cast<double>(p.intensity[k]) * p.intensity[k] / (static_cast<double>(p.intensity[i]) * p.intensity[i]);
        const double u = (p.mz[k] - origin) / unit;
        const double y = std::log(static_cast<double>(p.intensity[k])) - top;
        const double u2 = u * u;
        s0 += w, s1 += w * u, s2 += w * u2, s3 += w * u2 * u, s4 += w * u2 * u2;
        t0 += w * y, t1 += w * y * u, t2 += w * y * u2;
    }
    // y = c0 + c1 u + c2 u^2: the normal equations, solved by Cramer's rule.
    const auto det = [](double a, double b, double c, double d, double e, double f, double g, double h, double k) {
        return a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
    };
    const double d = det(s0, s1, s2, s1, s2, s3, s2, s3, s4);
    const double c0 = det(t0, s1, s2, t1, s2, s3, t2, s3, s4) / d;
    const double c1 = det(s0, t0, s2, s1, t1, s3, s2, t2, s4) / d;
    const double c2 = det(s0, s1, t0, s1, s2, t1, s2, s3, t2) / d;
    if (!(c2 < 0)) return {std::numeric_limits<double>::quiet_NaN(), 0};
    const double u = -c1 / (2 * c2);
    if (!(u > static_cast<double>(low) - static_cast<double>(i) - 1 && u < static_cast<double>(high - i) + 1))
        return {std::numeric_limits<double>::quiet_NaN(), 0};
    // A shape other than a Gaussian can fit an apex below the top sample: the peak is never lower.
    return {origin + u * unit, std::max(std::exp(top + c0 - c1 * c1 / (4 * c2)), static_cast<double>(p.intensity[i]))};
}

}  // namespace

Centroids centroid(std::span<const double> mz, std::span<const float> intensity, double min_intensity) {
    const std::size_t n = std::min(mz.size(), intensity.size());
    const Profile p{mz.first(n), intensity.first(n)};

    std::size_t maxima = 0;
    for_each_apex(p, [&](std::size_t, std::size_t, std::size_t, std::size_t) { ++maxima; });

    Centroids out;
    out.mz.reserve(maxima);
    out.intensity.reserve(maxima);
    for_each_apex(p, [&](std::size_t first, std::size_t end, std::size_t top_first, std::size_t top_last) {
        Peak peak;
        if (top_first == top_last && top_first > first && top_last + 1 < end) {
            peak = log_parabola(p, first, end, top_first);
            if (!std::isfinite(peak.mz) || !std::isfinite(peak.height))
                peak = weighted_mean(p, first, end, top_first, top_last);
        } else {
            peak = weighted_mean(p, first, end, top_first, top_last);
        }
        if (peak.height < min_intensity) return;
        constexpr double float_max = std::numeric_limits<float>::max();
        out.mz.push_back(peak.mz);
        out.intensity.push_back(static_cast<float>(std::min(peak.height, float_max)));
    });
    return out;
}

bool centroid_profile(core::SpectrumRecord& r, double min_intensity) {
    if (r.representation != core::representation::profile) return false;
    Centroids c = centroid({r.mz.data(), r.mz.size()}, {r.intensity.data(), r.intensity.size()}, min_intensity);
    r.mz = std::move(c.mz);
    r.intensity = std::move(c.intensity);
    r.representation = core::representation::centroid;
    return true;
}

}  // namespace exporter
