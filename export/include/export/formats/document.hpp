// The pieces of one output document: the text of each spectrum, and what the document's
// header, index and chromatograms need to know about all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/spectrum.hpp"

namespace exporter {

// The summary figures of a spectrum with points, as every format writes them: the sum of the
// intensities in stored order, the first point of the highest intensity, the m/z range.
struct SpectrumFigures {
    double total_ion_current = 0.0;
    std::size_t base_peak = 0;  // position of the base peak
    double lowest_mz = 0.0;
    double highest_mz = 0.0;
};

// The figures of the points (mz[k], intensity[k]), of which there must be at least one.
inline SpectrumFigures figures_of(std::span<const double> mz, std::span<const float> intensity) {
    SpectrumFigures f{0.0, 0, mz[0], mz[0]};
    for (std::size_t k = 0; k < mz.size(); ++k) {
        f.total_ion_current += intensity[k];
        if (intensity[k] > intensity[f.base_peak]) f.base_peak = k;
        if (mz[k] < f.lowest_mz) f.lowest_mz = mz[k];
        if (mz[k] > f.highest_mz) f.highest_mz = mz[k];
    }
    return f;
}

// The figures of `r`, which must have at least one point.
inline SpectrumFigures figures_of(const core::SpectrumRecord& r) {
    return figures_of(std::span<const double>(r.mz.data(), r.mz.size()),
                      std::span<const float>(r.intensity.data(), r.mz.size()));
}

// Whether --strip-zeros keeps the point at `k` of a profile spectrum: its intensity is not
// zero, or a neighbour's is not.
inline bool kept_by_strip_zeros(std::span<const float> intensity, std::size_t k) {
    return intensity[k] != 0 || (k > 0 && intensity[k - 1] != 0) || (k + 1 < intensity.size() && intensity[k + 1] != 0);
}

// The figures of one spectrum that the chromatograms are drawn from.
struct ChromatogramPoint {
    double retention_time_sec = 0.0;
    double total_ion_current = 0.0;
    double base_peak_intensity = 0.0;
};

// One spectrum as written: its identifier as it stands in the document, where its text starts
// within its batch, and the figures of the chromatograms.
struct WrittenSpectrum {
    std::string id;
    std::uint64_t offset = 0;
    ChromatogramPoint point;
    bool ms1 = false;
};

// Consecutive records and, once encoded, their text.
struct Batch {
    std::vector<core::SpectrumRecord> records;
    std::uint64_t first_index = 0;  // position of the first record among those written
    std::string text;
    std::vector<WrittenSpectrum> spectra;
};

// Which kinds of spectrum and chromatogram a document holds.
struct SpectrumKinds {
    bool ms1 = false;
    bool msn = false;
    bool srm = false;
    bool srm_chromatograms = false;
    bool any() const noexcept { return ms1 || msn || srm || srm_chromatograms; }
    bool operator==(const SpectrumKinds&) const = default;
};

// What the header says about the run and its source.
struct DocumentInfo {
    std::string run_id;
    std::string source_name;      // the raw file's name
    std::string source_location;  // a file:// URI of its directory
    std::string source_sha1;
    std::optional<std::string> start_time;
    bool scan_number_ids = false;  // identifiers are "scan=N"
    SpectrumKinds kinds;
    std::uint64_t spectrum_count = 0;
    std::vector<std::string> warnings;
    bool centroided = false;  // profile spectra were turned into centroids before writing
};

}  // namespace exporter
