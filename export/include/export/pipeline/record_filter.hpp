// Which decoded records a conversion writes, and as what: the options' MS levels, retention-time
// and m/z windows applied to the records of a file, in order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/spectrum.hpp"
#include "export/formats/document.hpp"
#include "export/pipeline/spectra.hpp"

namespace exporter {

// What becomes of a decoded record.
enum class Fate : std::uint8_t { left_out, spectrum, transition };

// Applies the options to the records of a file, in order: which are left out, which become
// spectra and which measurements of transition chromatograms; it keeps the points within the
// m/z window and drops a precursor's reference to a spectrum left out. It notes the kinds of
// what is written, and of every record.
class RecordFilter {
public:
    RecordFilter(const ExportOptions& options, bool transitions_as_chromatograms)
        : options_(options), transitions_as_chromatograms_(transitions_as_chromatograms) {}

    Fate settle(core::SpectrumRecord& r);

    SpectrumKinds written_kinds;
    SpectrumKinds seen_kinds;

private:
    const ExportOptions& options_;
    bool transitions_as_chromatograms_;
    std::optional<std::string> latest_ms1_kept_;  // the native id of the latest MS1 record, if kept
};

// With --centroid, the points a spectrum is written with, worked out on an encoder's thread: a
// profile record's centroids, those within the m/z window (a peak cut by the window's edge is
// centroided from the samples within it; its centre, which may lie past the last of them, is
// kept only when it lies within the window too).
void centroid_points(core::SpectrumRecord& r, const ExportOptions& options);

}  // namespace exporter
