// What a conversion wrote, as the documents that describe it (the mzML header, the metadata
// JSON) need to know it: the figures of the records written, the warnings, the windows applied.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/spectrum.hpp"

namespace exporter {

// A closed range [low, high] of retention times or m/z; an end left out is infinite.
struct Window {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool contains(double x) const noexcept { return x >= low && x <= high; }
};

// What was written, in figures: of the spectra and the MRM measurements, as the reader holds them
// and as they were written (the points --strip-zeros leaves out are not counted). NaN where
// nothing was written to take a figure from.
struct WrittenSummary {
    std::map<std::uint32_t, std::uint64_t> spectra_per_ms_level;
    std::uint64_t srm_measurements = 0;  // MRM transition records written into chromatograms
    // Of the first and the last record written, in file order, and the least and the greatest.
    double first_retention_time_sec = std::numeric_limits<double>::quiet_NaN();
    double last_retention_time_sec = std::numeric_limits<double>::quiet_NaN();
    double lowest_retention_time_sec = std::numeric_limits<double>::quiet_NaN();
    double highest_retention_time_sec = std::numeric_limits<double>::quiet_NaN();
    double lowest_mz = std::numeric_limits<double>::quiet_NaN();
    double highest_mz = std::numeric_limits<double>::quiet_NaN();
    double ms1_total_ion_current = 0.0;
    std::size_t index_entries = 0;
    std::size_t undecoded_index_entries = 0;

    // Counts a record written as a spectrum, or as a measurement of a chromatogram, the next in
    // file order; with `strip_zeros`, the points of a profile spectrum as --strip-zeros writes them.
    void add(const core::SpectrumRecord& r, bool measurement, bool strip_zeros = false) {
        add_record(r, measurement);
        add_points(r, strip_zeros);
    }
    // add() in two halves: the record (counts and times), in file order, and its points.
    void add_record(const core::SpectrumRecord& r, bool measurement);
    void add_points(const core::SpectrumRecord& r, bool strip_zeros = false);
    // Takes in the points' figures (m/z range, MS1 total ion current) of `other`.
    void add_points_of(const WrittenSummary& other);
};

// What a conversion wrote, and what it could not carry over from the raw file, one sentence each.
struct ExportResult {
    std::uint64_t spectra = 0;
    std::uint64_t transition_chromatograms = 0;
    WrittenSummary summary;
    std::vector<std::string> warnings;
    // The SHA-1 of the document's bytes (mzML; before any gzip), worked out as it was written.
    std::optional<std::string> document_sha1;
};

}  // namespace exporter
