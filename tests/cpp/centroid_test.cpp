#include "export/processing/centroid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Gaussian {
    double centre, height, sigma;
};

struct Sampled {
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<Gaussian> peaks;
};

// Isolated Gaussian peaks on the sampling `mz_at(k)`, k = 0, 1, ...: each spans 5 to 15 samples
// over four standard deviations, its centre at a random offset between samples, and the sum is
// rounded to whole counts as the raw files store it.
Sampled gaussian_profile(std::mt19937_64& random, const std::function<double(double)>& mz_at, double lowest_height,
                         std::size_t start, std::size_t peaks) {
    std::uniform_real_distribution<double> unit(0, 1);
    Sampled s;
    double k = static_cast<double>(start);
    for (std::size_t p = 0; p < peaks; ++p) {
        // Twelve standard deviations on each side: the profile is zero between peaks.
        const double samples = 5 + 10 * unit(random);
        k += 3 * samples;
        const double at = k + unit(random);
        const double step = mz_at(at + 0.5) - mz_at(at - 0.5);
        s.peaks.push_back({mz_at(at), lowest_height * (1 + 9 * unit(random)), samples * step / 4});
        k += 3 * samples;
    }
    for (std::size_t i = start; i < static_cast<std::size_t>(k); ++i) {
        const double mz = mz_at(static_cast<double>(i));
        double sum = 0;
        for (const Gaussian& g : s.peaks) sum += g.height * std::exp(-0.5 * std::pow((mz - g.centre) / g.sigma, 2));
        s.mz.push_back(mz);
        s.intensity.push_back(static_cast<float>(std::round(sum)));
    }
    return s;
}

TEST(Centroid, GaussianPeaksComeBackAtTheirCentresAndHeights) {
    std::mt19937_64 random(35);
    // Square-root sampling as from a tuning calibration: position = slope * sqrt(m/z) + intercept,
    // steps of about 0.01 at m/z 400, from m/z 100 up; and a fixed 0.1 step from m/z 50 up, as
    // in GC-MS profile scans.
    const double slope = 4000, intercept = -40000;
    const auto square_root = [&](double k) { return std::pow((k - intercept) / slope, 2); };
    const auto fixed = [](double k) { return 50 + 0.1 * k; };
    struct Case {
        const char* name;
        std::function<double(double)> mz_at;
        double lowest_height;
        std::size_t starts;  // the first sample of a spectrum lies below this
    };
    for (const Case& c : {Case{"square-root m/z sampling", square_root, 1000, 100'000},
                          Case{"fixed 0.1 m/z sampling", fixed, 20000, 5000}}) {
        SCOPED_TRACE(c.name);
        double worst_ppm = 0, worst_height = 0;
        for (int spectrum = 0; spectrum < 20; ++spectrum) {
            const std::size_t start = std::uniform_int_distribution<std::size_t>(0, c.starts)(random);
            const Sampled s = gaussian_profile(random, c.mz_at, c.lowest_height, start, 50);
            const exporter::Centroids found = exporter::centroid(s.mz, s.intensity);
            ASSERT_EQ(found.mz.size(), s.peaks.size());
            ASSERT_EQ(found.intensity.size(), s.peaks.size());
            for (std::size_t p = 0; p < s.peaks.size(); ++p) {
                const Gaussian& g = s.peaks[p];
                worst_ppm = std::max(worst_ppm, std::abs(found.mz[p] - g.centre) / g.centre * 1e6);
                worst_height = std::max(worst_height, std::abs(found.intensity[p] - g.height) / g.height);
            }
        }
        std::printf("%s: largest m/z error %.4f ppm, largest height error %.4f %%\n", c.name, worst_ppm,
                    100 * worst_height);
        EXPECT_LE(worst_ppm, 0.1);
        EXPECT_LE(worst_height, 0.005);
    }
}

exporter::Centroids centroid_of(const std::vector<double>& mz, const std::vector<float>& intensity,
                                double min_intensity = 0) {
    return exporter::centroid(mz, intensity, min_intensity);
}

std::vector<double> steps_of(double step, std::size_t n, double first = 100) {
    std::vector<double> mz(n);
    for (std::size_t i = 0; i < n; ++i) mz[i] = first + step * static_cast<double>(i);
    return mz;
}

TEST(Centroid, OverlapsPlateausAndShouldersGiveOnePeakPerLocalMaximum) {
    const std::vector<double> mz = steps_of(0.1, 9);
    // Two overlapping peaks with a minimum between them: two peaks, each at the fitted apex.
    const auto two = centroid_of(mz, {0, 100, 400, 300, 250, 500, 200, 50, 0});
    ASSERT_EQ(two.mz.size(), 2u);
    EXPECT_GT(two.mz[0], mz[1]);
    EXPECT_LT(two.mz[0], mz[3]);
    EXPECT_GT(two.mz[1], mz[4]);
    EXPECT_LT(two.mz[1], mz[6]);
    EXPECT_GE(two.intensity[0], 400);

    // A flat top (even or odd length, as a saturated detector gives): one peak, at its middle,
    // with the top's height.
    for (const std::vector<float>& top : {std::vector<float>{0, 50, 100, 100, 100, 100, 50, 0, 0},
                                          std::vector<float>{0, 50, 100, 100, 100, 50, 0, 0, 0}}) {
        const auto flat = centroid_of(mz, top);
        ASSERT_EQ(flat.mz.size(), 1u);
        const auto first = std::find(top.begin(), top.end(), 100.0f) - top.begin();
        const auto last = top.rend() - std::find(top.rbegin(), top.rend(), 100.0f) - 1;
        EXPECT_NEAR(flat.mz[0], (mz[first] + mz[last]) / 2, 1e-9);
        EXPECT_EQ(flat.intensity[0], 100);
    }

    // A shoulder (a flat stretch on the way down) is no maximum; a minimum plateau parts two.
    EXPECT_EQ(centroid_of(mz, {0, 100, 400, 300, 300, 200, 50, 0, 0}).mz.size(), 1u);
    EXPECT_EQ(centroid_of(mz, {0, 100, 400, 200, 200, 500, 50, 0, 0}).mz.size(), 2u);

    // Noise is not filtered unless asked: every local maximum is a peak, those below the minimum go.
    const std::vector<float> noisy{3, 1, 4, 1, 5, 9, 2, 6, 5};
    EXPECT_EQ(centroid_of(mz, noisy).mz.size(), 4u);
    const auto kept = centroid_of(mz, noisy, 5.5);
    ASSERT_EQ(kept.mz.size(), 2u);
    EXPECT_GT(kept.intensity[0], 9);
    EXPECT_GE(kept.intensity[1], 6);
}

TEST(Centroid, BadInputIsDataAndBreaksPeaks) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    const std::vector<double> mz = steps_of(0.1, 7);

    // 0, 1 and 2 points, and arrays of unequal length (only the common part is read).
    EXPECT_TRUE(centroid_of({}, {}).mz.empty());
    EXPECT_TRUE(centroid_of({100}, {0}).mz.empty());
    const auto one = centroid_of({100}, {7});
    ASSERT_EQ(one.mz.size(), 1u);
    EXPECT_EQ(one.mz[0], 100);
    EXPECT_EQ(one.intensity[0], 7);
    const auto two = centroid_of({100, 100.1}, {10, 10});
    ASSERT_EQ(two.mz.size(), 1u);
    EXPECT_NEAR(two.mz[0], 100.05, 1e-9);
    EXPECT_EQ(centroid_of({100, 100.1, 100.2}, {5, 10}).mz.size(), 1u);

    // A non-finite or negative intensity, or a non-finite m/z, is no sample and breaks the peak
    // around it: each side is a peak of its own, and no NaN or infinity comes out.
    for (const float bad : {nan, inf, -inf, -5.0f}) {
        const auto parted = centroid_of(mz, {0, 50, 200, bad, 200, 50, 0});
        ASSERT_EQ(parted.mz.size(), 2u) << bad;
        EXPECT_EQ(parted.mz[0], mz[2]);
        EXPECT_EQ(parted.mz[1], mz[4]);
        EXPECT_EQ(parted.intensity[0], 200);
    }
    std::vector<double> holed = mz;
    holed[3] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(centroid_of(holed, {0, 100, 200, 300, 200, 100, 0}).mz.size(), 2u);

    // m/z repeated or out of order is a break; a step far wider than its neighbours is a gap.
    // Peaks come in the order of the samples: ascending where the m/z values are.
    for (const std::vector<double>& broken : {std::vector<double>{100, 100.1, 100.2, 100.2, 100.3, 100.4, 100.5},
                                              std::vector<double>{100, 100.1, 100.2, 100.15, 100.25, 100.35, 100.45},
                                              std::vector<double>{100, 100.1, 100.2, 50, 50.1, 50.2, 50.3},
                                              std::vector<double>{100, 100.1, 100.2, 100.8, 100.9, 101.0, 101.1}}) {
        const auto parted = centroid_of(broken, {0, 100, 200, 300, 200, 100, 0});
        ASSERT_EQ(parted.mz.size(), 2u) << broken[3];
        EXPECT_EQ(parted.mz[0] > parted.mz[1], broken[3] < broken[0]);  // only the jump back to 50
    }
    // Steps that grow smoothly (as square-root sampling does) are no gap.
    EXPECT_EQ(centroid_of({100, 100.1, 100.21, 100.33, 100.46}, {0, 100, 300, 100, 0}).mz.size(), 1u);

    // Extreme but finite values: heights beyond float's range are held at its largest value.
    const float top = std::numeric_limits<float>::max();
    const auto huge = centroid_of(steps_of(0.1, 3), {top / 2, top, top / 4});
    ASSERT_EQ(huge.mz.size(), 1u);
    EXPECT_TRUE(std::isfinite(huge.intensity[0]));
    EXPECT_TRUE(std::isfinite(huge.mz[0]));

    // A million points, one peak every ten: linear time, and no more room than the peaks need.
    constexpr std::size_t million = 1'000'000;
    const std::vector<double> many_mz = steps_of(0.01, million);
    std::vector<float> many(million);
    for (std::size_t i = 0; i < million; ++i) many[i] = static_cast<float>(1000 - 100 * ((i % 10) - 5.0) * ((i % 10) - 5.0) / 2.5);
    const auto peaks = centroid_of(many_mz, many);
    EXPECT_EQ(peaks.mz.size(), million / 10);
    EXPECT_EQ(peaks.mz.capacity(), million / 10);
    EXPECT_TRUE(std::is_sorted(peaks.mz.begin(), peaks.mz.end()));
}

}  // namespace
