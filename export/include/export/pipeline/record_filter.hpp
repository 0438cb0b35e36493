// Which decoded records a conversion writes, and as what: the selection applied to the records
// of a file, in order, and each kept record routed as its format writes it.
#pragma once

#include <optional>
#include <string>

#include "core/spectrum.hpp"
#include "export/formats/document.hpp"
#include "export/pipeline/format_writer.hpp"
#include "export/pipeline/selection.hpp"

namespace exporter {

// Applies the selection to the records of a file, in order, and asks the format for the route
// of each record kept; it keeps the points within the m/z window and drops a precursor's
// reference to a spectrum left out. It notes the kinds of what is written, and of every record.
class RecordFilter {
public:
    RecordFilter(const Selection& selection, const FormatWriter& format) : selection_(selection), format_(format) {}

    Route settle(core::SpectrumRecord& r);

    SpectrumKinds written_kinds;
    SpectrumKinds seen_kinds;

private:
    const Selection& selection_;
    const FormatWriter& format_;
    std::optional<std::string> latest_ms1_kept_;  // the native id of the latest MS1 record, if kept
};

// With centroiding, the points a spectrum is written with, worked out on an encoder's thread:
// a profile record's centroids, those within the m/z window (a peak cut by the window's edge is
// centroided from the samples within it; its centre, which may lie past the last of them, is
// kept only when it lies within the window too).
void centroid_points(core::SpectrumRecord& r, const Processing& processing, const Selection& selection);

}  // namespace exporter
