// The pieces of one output document: the text of each spectrum, and what the document's
// header, index and chromatograms need to know about all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/spectrum.hpp"

namespace exporter {

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
};

}  // namespace exporter
