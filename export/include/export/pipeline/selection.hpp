// Which records of a raw file a conversion keeps, whatever the format: the MS levels, the
// retention-time window and the m/z window of the points.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "export/formats/conversion.hpp"

namespace exporter {

// The MS levels kept, lowest to highest, both included.
struct LevelRange {
    std::uint32_t lowest = 1;
    std::uint32_t highest = std::numeric_limits<std::uint32_t>::max();
    bool contains(std::uint32_t level) const noexcept { return level >= lowest && level <= highest; }
};

struct Selection {
    LevelRange levels;
    std::optional<Window> retention_time;  // seconds: the spectra kept
    std::optional<Window> mz;              // the points kept, of every spectrum
};

// What is done to the points of the spectra kept before they are written.
struct Processing {
    // Profile spectra written as their centroids (centroid.hpp), leaving out peaks lower than
    // centroid_min_intensity; the TIC and BPC chromatograms stay those of the profile.
    bool centroid = false;
    double centroid_min_intensity = 0;
};

}  // namespace exporter
