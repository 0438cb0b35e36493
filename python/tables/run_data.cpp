#include "run_data.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

#include "core/spectrum.hpp"
#include "export/processing/centroid.hpp"
#include "reader/reader.hpp"
#include "utf8.hpp"

namespace tavrik_tables {
namespace {

// A block has room for this many points (as the converter's row groups of the points table
// hold), or for one record that alone holds more; it holds the points of whole records.
constexpr std::size_t block_points = std::size_t{1} << 20;

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
// into the open block, where the decoders write them (as a point sink) or where they are copied
// from the record's lists.
class RunBuilder final : public raw::PointSink {
public:
    explicit RunBuilder(RunData& run) : run_(run) {}

    // Room for the next record's points, at the end of the open block (a new one where they do
    // not fit).
    raw::PointRoom room(std::size_t points) override {
        PointBlock& block = open_block(points);
        run_.points.push_back(PointSpan{static_cast<std::uint32_t>(open_.index), block.size, points});
        const raw::PointRoom at{block.mz() + block.size, block.intensity() + block.size};
        block.size += points;
        block.end_record = run_.points.size();
        open_.size = block.size;
        return at;
    }

    // A record whose points were written through room().
    void add_decoded(core::SpectrumRecord& r) {
        const PointSpan& span = run_.points[run_.spectra.size()];
        if (r.acquisition_kind == core::acquisition::mrm_transition && span.count > 0) {
            // The chromatograms read a transition's point from its lists.
            const PointBlock& block = run_.blocks[span.block];
            r.mz = {block.mz()[span.offset]};
            r.intensity = {block.intensity()[span.offset]};
        }
        add_facts(r);
        r = core::SpectrumRecord{};
    }

    // A record with its points in its lists: they are copied into the open block.
    void add(core::SpectrumRecord& r) {
        add_facts(r);
        place(r);
        r = core::SpectrumRecord{};  // its points are copied: the lists go back to the arena for the next
    }

    // Closes the last block.
    void finish() { close(); }

private:
    void add_facts(const core::SpectrumRecord& r) {
        const auto index = static_cast<std::uint32_t>(run_.spectra.size());
        SpectrumFacts& f = run_.spectra.emplace_back();
        f.native_id = valid_utf8(r.native_id);
        f.ms_level = static_cast<std::uint8_t>(std::min<std::uint32_t>(r.ms_level, 255));
        f.retention_time_sec = r.retention_time_sec;
        f.centroid = r.representation == core::representation::centroid;
        f.spectrum_type = exporter::spectrum_type_of(r);
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
        if (f.spectrum_type == exporter::SpectrumType::ms1) ms1_rows_.insert_or_assign(f.native_id, index);
        // A transition with its point is a measurement of its pair's chromatogram.
        if (f.spectrum_type == exporter::SpectrumType::srm && !r.mz.empty()) run_.transitions.add(r);
    }

    // Copies the record's points into the open block, just after they were decoded (so that they
    // are read from the cache).
    void place(const core::SpectrumRecord& r) {
        const std::size_t n = r.mz.size();
        const raw::PointRoom at = room(n);
        if (n > 0) {
            std::memcpy(at.mz, r.mz.data(), n * sizeof(double));
            std::memcpy(at.intensity, r.intensity.data(), n * sizeof(float));
        }
    }

    // The open block, once it has room for `n` more points: a new one when it has not.
    PointBlock& open_block(std::size_t n) {
        if (run_.blocks.empty() || open_.size + n > open_.capacity) {
            close();
            PointBlock& block = run_.blocks.emplace_back();
            block.first_record = block.end_record = run_.points.size();
            block.capacity = std::max(n, block_points);
            // From the blocks kept for reuse when one fits, its pages already faulted in.
            block.bytes = core::ByteBuffer(12 * block.capacity);
            open_ = Open{run_.blocks.size() - 1, 0, block.capacity};
        }
        return run_.blocks[open_.index];
    }

    // Ends the open block; one that holds less than 7/8 of its room is copied into a buffer of
    // its size, so that what is held stays within 1/7 of the points (and a small run holds no
    // more than it needs).
    void close() {
        if (run_.blocks.empty()) return;
        PointBlock& block = run_.blocks[open_.index];
        if (block.size >= block.capacity - block.capacity / 8) return;
        core::ByteBuffer exact(12 * block.size);
        if (block.size > 0) {
            std::memcpy(exact.data(), block.mz(), 8 * block.size);
            std::memcpy(exact.data() + 8 * block.size, block.intensity(), 4 * block.size);
        }
        block.bytes = std::move(exact);
        block.capacity = block.size;
        open_.capacity = block.size;
    }

    struct Open {
        std::size_t index = 0;
        std::size_t size = 0;
        std::size_t capacity = 0;
    };

    RunData& run_;
    Open open_;
    std::unordered_map<std::string, std::uint32_t> ms1_rows_;  // the rows a precursor can name
};

}  // namespace

const double* RunData::mz(std::size_t record) const noexcept {
    const PointSpan& s = points[record];
    return blocks[s.block].mz() + s.offset;
}

const float* RunData::intensity(std::size_t record) const noexcept {
    const PointSpan& s = points[record];
    return blocks[s.block].intensity() + s.offset;
}

std::uint64_t RunData::total_points() const noexcept {
    std::uint64_t n = 0;
    for (const PointBlock& b : blocks) n += b.size;
    return n;
}

std::expected<std::shared_ptr<const RunData>, std::string> open_run(std::string_view path,
                                                                    std::optional<double> centroid_min_intensity) {
    auto opened = reader::Reader::open(path);
    if (!opened) return std::unexpected(opened.error().to_string());
    auto run = std::make_shared<RunData>();
    run->source_name = opened->source_name();
    run->layout = reader::layout_name(opened->variant());
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
        // The decoders write the points straight into the blocks, but for centroiding, which
        // works on a record's lists.
        const auto decode = [&] {
            return centroid_min_intensity ? decoder.decode(batch, 1) : decoder.decode(batch, 1, builder);
        };
        while (decode() > 0) {
            // The tables number their spectra with 32 bits, as the converter's do.
            if (run->spectra.size() + batch.size() > std::numeric_limits<std::uint32_t>::max())
                return std::unexpected(std::string(path) + ": more spectra than a table's 32-bit index can number");
            // Each decoded record asked for its room once: the spans and the records pair up.
            if (!centroid_min_intensity && run->points.size() != run->spectra.size() + batch.size())
                return std::unexpected(std::string(path) + ": the decoder's points do not pair with its records");
            for (core::SpectrumRecord& r : batch) {
                if (centroid_min_intensity) {
                    exporter::centroid_profile(r, *centroid_min_intensity);
                    builder.add(r);
                } else {
                    builder.add_decoded(r);
                }
            }
            batch.clear();
        }
        builder.finish();
    }
    if (run->spectra.capacity() > run->spectra.size() + run->spectra.size() / 8) {
        run->spectra.shrink_to_fit();
        run->points.shrink_to_fit();
    }
    return run;
}

}  // namespace tavrik_tables
