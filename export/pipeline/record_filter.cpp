#include "export/pipeline/record_filter.hpp"

#include "export/processing/centroid.hpp"

namespace exporter {
namespace {

// Notes the kind of spectrum (or chromatogram) the record is written as.
void note_kind(SpectrumKinds& kinds, const core::SpectrumRecord& r, Route route) {
    if (r.acquisition_kind == core::acquisition::mrm_transition) {
        (route == Route::measurement ? kinds.srm_chromatograms : kinds.srm) = true;
    } else {
        (r.ms_level == 1 ? kinds.ms1 : kinds.msn) = true;
    }
}

// Keeps the points of `r` whose m/z lie in `window`, in their order.
void keep_points_within(core::SpectrumRecord& r, const Window& window) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < r.mz.size(); ++k) {
        if (!window.contains(r.mz[k])) continue;
        r.mz[kept] = r.mz[k];
        r.intensity[kept] = r.intensity[k];
        ++kept;
    }
    r.mz.resize(kept);
    r.intensity.resize(kept);
}

bool wanted(const core::SpectrumRecord& r, const Selection& selection) {
    if (!selection.levels.contains(r.ms_level)) return false;
    return !selection.retention_time || selection.retention_time->contains(r.retention_time_sec);
}

}  // namespace

Route RecordFilter::settle(core::SpectrumRecord& r) {
    const Route route = format_.route(r);
    note_kind(seen_kinds, r, route);
    const bool kept = route != Route::left_out && wanted(r, selection_);
    if (r.ms_level == 1) latest_ms1_kept_ = kept ? std::optional(r.native_id) : std::nullopt;
    if (!kept) return Route::left_out;
    if (selection_.mz) keep_points_within(r, *selection_.mz);
    // A precursor scan left out of the document cannot be referred to in it.
    if (r.precursor && r.precursor->spectrum_ref && r.precursor->spectrum_ref != latest_ms1_kept_)
        r.precursor->spectrum_ref.reset();
    // A transition whose point the m/z window left out is no measurement.
    if (route == Route::measurement && r.mz.empty()) return Route::left_out;
    note_kind(written_kinds, r, route);
    return route;
}

void centroid_points(core::SpectrumRecord& r, const Processing& processing, const Selection& selection) {
    if (centroid_profile(r, processing.centroid_min_intensity) && selection.mz) keep_points_within(r, *selection.mz);
}

}  // namespace exporter
