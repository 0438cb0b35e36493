#include "export/formats/conversion.hpp"

#include <cmath>
#include <span>

#include "export/formats/document.hpp"

namespace exporter {

void WrittenSummary::add_record(const core::SpectrumRecord& r, bool measurement) {
    const bool first = spectra_per_ms_level.empty() && srm_measurements == 0;
    if (measurement) ++srm_measurements;
    else ++spectra_per_ms_level[r.ms_level];
    const double rt = r.retention_time_sec;
    if (first) first_retention_time_sec = rt;
    last_retention_time_sec = rt;
    if (!(lowest_retention_time_sec <= rt)) lowest_retention_time_sec = rt;  // NaN until the first
    if (!(highest_retention_time_sec >= rt)) highest_retention_time_sec = rt;
}

void WrittenSummary::add_points(const core::SpectrumRecord& r, bool strip_zeros) {
    // The points as the mzML writer writes them: with --strip-zeros, a profile spectrum's
    // zero-intensity points that are not next to a non-zero point left out.
    const bool stripped = strip_zeros && r.representation == core::representation::profile;
    const std::size_t n = r.mz.size();
    const std::span<const float> intensity(r.intensity.data(), n);
    for (std::size_t k = 0; k < n; ++k) {
        if (stripped && !kept_by_strip_zeros(intensity, k)) continue;
        if (!(lowest_mz <= r.mz[k])) lowest_mz = r.mz[k];
        if (!(highest_mz >= r.mz[k])) highest_mz = r.mz[k];
    }
    if (r.ms_level == 1)
        for (const float intensity : r.intensity) ms1_total_ion_current += intensity;
}

void WrittenSummary::add_points_of(const WrittenSummary& other) {
    // NaN where there is no point yet
    if (!std::isnan(other.lowest_mz) && !(lowest_mz <= other.lowest_mz)) lowest_mz = other.lowest_mz;
    if (!std::isnan(other.highest_mz) && !(highest_mz >= other.highest_mz)) highest_mz = other.highest_mz;
    ms1_total_ion_current += other.ms1_total_ion_current;
}

}  // namespace exporter
