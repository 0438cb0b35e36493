#include "run_data.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "core/spectrum.hpp"
#include "export/document.hpp"
#include "reader/reader.hpp"
#include "utf8.hpp"

namespace tavrik_tables {
namespace {

// A block holds the points of whole records, gathered until they hold this many points (as the
// converter's row groups of the points table do), unless one record alone holds more.
constexpr std::size_t block_points = std::size_t{1} << 20;

std::string_view layout_name(reader::FileVariant variant) {
    switch (variant) {
    case reader::FileVariant::Gcms: return "GC-MS";
    case reader::FileVariant::Ttfl: return "TTFL";
    case reader::FileVariant::Qtfl: return "QTOF";
    }
    return "unknown";
}

// Text as valid UTF-8: every byte that is not part of a well-formed sequence becomes U+FFFD, as
// the tables of tavrik-convert have it.
std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const utf8::Sequence s = utf8::next_sequence(text);
        if (s.valid) out.append(text.substr(0, s.length));
        else out.append("\xEF\xBF\xBD");
        text.remove_prefix(s.length);
    }
    return out;
}

// Builds the run's records into `run`: the facts of each as it is decoded, its points packed
// into the block being gathered.
class RunBuilder {
public:
    explicit RunBuilder(RunData& run) : run_(run) {}

    void add(core::SpectrumRecord& r) {
        const auto index = static_cast<std::uint32_t>(run_.spectra.size());
        SpectrumFacts& f = run_.spectra.emplace_back();
        f.native_id = valid_utf8(r.native_id);
        f.ms_level = static_cast<std::uint8_t>(std::min<std::uint32_t>(r.ms_level, 255));
        f.retention_time_sec = r.retention_time_sec;
        f.centroid = r.representation == core::representation::centroid;
        f.spectrum_type = r.acquisition_kind == core::acquisition::mrm_transition ? spectrum_type_srm
                          : r.ms_level == 1                                     ? spectrum_type_ms1
                                                                                : spectrum_type_msn;
        if (!r.mz.empty()) {  // as the mzML writer works them out
            const exporter::SpectrumFigures figures = exporter::figures_of(r);
            f.total_ion_current = figures.total_ion_current;
            f.base_peak_mz = r.mz[figures.base_peak];
            f.base_peak_intensity = r.intensity[figures.base_peak];
            f.lowest_mz = figures.lowest_mz;
            f.highest_mz = figures.highest_mz;
        }
        if (r.precursor) {
            if (r.precursor->spectrum_ref)
                if (const auto found = ms1_rows_.find(*r.precursor->spectrum_ref); found != ms1_rows_.end()) {
                    f.precursor_index = found->second;
                    f.has_precursor_index = true;
                }
            f.has_selected_ion_mz = r.precursor->selected_mz.has_value();
            f.selected_ion_mz = r.precursor->selected_mz.value_or(0.0);
            f.has_isolation_target_mz = r.precursor->isolation_target_mz.has_value();
            f.isolation_target_mz = r.precursor->isolation_target_mz.value_or(0.0);
        }
        if (f.spectrum_type == spectrum_type_ms1) ms1_rows_.insert_or_assign(f.native_id, index);
        // A transition with its point is a measurement of its pair's chromatogram.
        if (f.spectrum_type == spectrum_type_srm && !r.mz.empty()) run_.transitions.add(r);

        pending_points_ += r.mz.size();
        pending_.push_back(std::move(r));
        if (pending_points_ >= block_points) flush();
    }

    // Packs the records gathered into a block of their own, exactly sized, and frees their lists.
    void flush() {
        if (pending_.empty()) return;
        PointBlock& block = run_.blocks.emplace_back();
        const auto block_index = static_cast<std::uint32_t>(run_.blocks.size() - 1);
        block.first_record = run_.points.size();
        block.mz.reserve(pending_points_);
        block.intensity.reserve(pending_points_);
        for (core::SpectrumRecord& r : pending_) {
            run_.points.push_back(PointSpan{block_index, block.mz.size(), r.mz.size()});
            block.mz.insert(block.mz.end(), r.mz.begin(), r.mz.end());
            block.intensity.insert(block.intensity.end(), r.intensity.begin(), r.intensity.end());
        }
        block.end_record = run_.points.size();
        pending_.clear();
        pending_points_ = 0;
    }

private:
    RunData& run_;
    std::vector<core::SpectrumRecord> pending_;
    std::size_t pending_points_ = 0;
    std::unordered_map<std::string, std::uint32_t> ms1_rows_;  // the rows a precursor can name
};

}  // namespace

const double* RunData::mz(std::size_t record) const noexcept {
    const PointSpan& s = points[record];
    return blocks[s.block].mz.data() + s.offset;
}

const float* RunData::intensity(std::size_t record) const noexcept {
    const PointSpan& s = points[record];
    return blocks[s.block].intensity.data() + s.offset;
}

std::uint64_t RunData::total_points() const noexcept {
    std::uint64_t n = 0;
    for (const PointBlock& b : blocks) n += b.mz.size();
    return n;
}

std::expected<std::shared_ptr<const RunData>, std::string> open_run(std::string_view path) {
    auto opened = reader::Reader::open(path);
    if (!opened) return std::unexpected(opened.error().to_string());
    auto run = std::make_shared<RunData>();
    run->source_name = opened->source_name();
    run->layout = layout_name(opened->variant());
    run->acquired_at = opened->acquired_at();
    run->mz_are_channel_indices = opened->mz_are_channel_indices();
    {
        // Records are decoded one index entry at a time and packed a block at a time, so that
        // no more than a block's records exist at once (an MRM scan alone can make 65535).
        core::PointArena point_lists;
        reader::ScanDecoder decoder(*opened);
        const std::size_t expected = decoder.records_to_reserve();
        run->spectra.reserve(expected);
        run->points.reserve(expected);
        RunBuilder builder(*run);
        std::vector<core::SpectrumRecord> batch;
        while (decoder.decode(batch, 1) > 0) {
            for (core::SpectrumRecord& r : batch) builder.add(r);
            batch.clear();
        }
        builder.flush();
    }
    if (run->spectra.capacity() > run->spectra.size() + run->spectra.size() / 8) {
        run->spectra.shrink_to_fit();
        run->points.shrink_to_fit();
    }
    return run;
}

}  // namespace tavrik_tables
