#include "export/pipeline/record_filter.hpp"

#include "export/processing/centroid.hpp"

namespace exporter {
namespace {

// Notes the kind of spectrum (or chromatogram) the record is written as.
void note_kind(SpectrumKinds& kinds, const core::SpectrumRecord& r, bool transitions_as_chromatograms) {
    if (r.acquisition_kind == core::acquisition::mrm_transition) {
        (transitions_as_chromatograms ? kinds.srm_chromatograms : kinds.srm) = true;
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

bool wanted(const core::SpectrumRecord& r, const ExportOptions& options) {
    if (!options.levels.contains(r.ms_level)) return false;
    if (options.retention_time && !options.retention_time->contains(r.retention_time_sec)) return false;
    return options.format != Format::Mgf || r.ms_level >= 2;  // MGF holds product-ion spectra
}

}  // namespace

Fate RecordFilter::settle(core::SpectrumRecord& r) {
    note_kind(seen_kinds, r, transitions_as_chromatograms_);
    const bool kept = wanted(r, options_);
    if (r.ms_level == 1) latest_ms1_kept_ = kept ? std::optional(r.native_id) : std::nullopt;
    if (!kept) return Fate::left_out;
    if (options_.mz) keep_points_within(r, *options_.mz);
    // A precursor scan left out of the document cannot be referred to in it.
    if (r.precursor && r.precursor->spectrum_ref && r.precursor->spectrum_ref != latest_ms1_kept_)
        r.precursor->spectrum_ref.reset();
    const bool transition =
        r.acquisition_kind == core::acquisition::mrm_transition && transitions_as_chromatograms_;
    // A transition whose point the m/z window left out is no measurement.
    if (transition && r.mz.empty()) return Fate::left_out;
    note_kind(written_kinds, r, transitions_as_chromatograms_);
    return transition ? Fate::transition : Fate::spectrum;
}

void centroid_points(core::SpectrumRecord& r, const ExportOptions& options) {
    if (centroid_profile(r, options.centroid_min_intensity) && options.mz) keep_points_within(r, *options.mz);
}

}  // namespace exporter
