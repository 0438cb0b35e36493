#include "export/pipeline/pipeline.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "export/formats/document.hpp"
#include "export/pipeline/record_filter.hpp"

namespace exporter {
namespace {

// A batch on its way through an encoder, and its outcome.
struct Slot {
    RecordBatch batch;
    std::unique_ptr<FormatWriter::Encoded> encoded;
    Pending<std::exception_ptr> done;
    WrittenSummary written_points;  // with centroiding: the points' figures of the batch as written
};

// Waits for every slot still queued, so that no task outlives the slots it works on.
class Slots {
public:
    ~Slots() {
        for (auto& slot : list_)
            if (slot) slot->done.wait();
    }
    std::vector<std::unique_ptr<Slot>>& list() noexcept { return list_; }

private:
    std::vector<std::unique_ptr<Slot>> list_;
};

// With centroiding, on an encoder's thread before the batch is encoded: every record's points
// become those written, and their figures go into the slot's summary; the chromatograms'
// figures of each record, those of its profile, go into the batch.
void centroid_batch(Slot& slot, const Processing& processing, const Selection& selection, const FormatWriter& format) {
    std::vector<ChromatogramPoint>& profile = slot.batch.profile;
    profile.resize(slot.batch.records.size());
    for (std::size_t i = 0; i < profile.size(); ++i) {
        core::SpectrumRecord& r = slot.batch.records[i];
        profile[i].retention_time_sec = r.retention_time_sec;
        if (!r.mz.empty()) {
            const SpectrumFigures f = figures_of(r);
            profile[i].total_ion_current = f.total_ion_current;
            profile[i].base_peak_intensity = r.intensity[f.base_peak];
        }
        centroid_points(r, processing, selection);
        format.count_points(slot.written_points, r);
    }
}

}  // namespace

std::string undecoded_warning(std::size_t undecoded, std::size_t entries) {
    return std::to_string(undecoded) + " of " + std::to_string(entries) + " index entries could not be decoded";
}

Census take_census(const reader::Reader& reader, const Selection& selection, const FormatWriter& format) {
    // Point lists from the heap, each freed with its entry's records: an arena would keep them all.
    reader::ScanDecoder decoder(reader);
    RecordFilter filter(selection, format);
    Census census;
    std::vector<core::SpectrumRecord> records;
    while (!decoder.done()) {
        records.clear();
        decoder.decode(records, 1);
        for (core::SpectrumRecord& r : records) {
            const Route route = filter.settle(r);
            census.spectra += route == Route::spectrum;
            census.measurements += route == Route::measurement;
        }
    }
    census.written_kinds = filter.written_kinds;
    census.seen_kinds = filter.seen_kinds;
    census.undecoded_entries = decoder.undecoded_entries();
    census.index_entries = decoder.index_entries();
    return census;
}

std::expected<ExportResult, std::string> run_pipeline(reader::Reader reader, const std::string& input_path,
                                                      const Selection& selection, const Processing& processing,
                                                      FormatWriter& format, const RunContext& context) {
    ExportResult result;
    if (reader.mz_are_channel_indices())
        result.warnings.emplace_back("no usable mass calibration, so m/z values are detector channel indices");
    std::optional<Census> census;  // taken first when the format needs it
    if (format.needs_census()) census = take_census(reader, selection, format);
    if (auto begun = format.begin(census ? &*census : nullptr, result.warnings); !begun)
        return std::unexpected(begun.error());

    const BatchLimits limits = format.batch_limits();
    // The first failure ends the conversion: nothing more is decoded, encoded or appended.
    std::optional<std::string> failure;
    RecordFilter filter(selection, format);
    std::uint64_t measurements = 0;
    std::size_t next_to_append = 0;
    Slots slots;
    // Appends the next batch, if it is encoded or `wait` is set; false when there is none.
    auto append_next = [&](bool wait) -> bool {
        if (next_to_append == slots.list().size()) return false;
        Slot& slot = *slots.list()[next_to_append];
        if (!wait && !slot.done.ready()) return false;
        if (const std::exception_ptr thrown = slot.done.wait()) std::rethrow_exception(thrown);
        if (!failure) {
            if (auto appended = format.append(*slot.encoded); !appended) failure = appended.error();
            else if (processing.centroid) result.summary.add_points_of(slot.written_points);
        }
        slots.list()[next_to_append++].reset();
        return true;
    };
    const std::size_t max_in_flight = limits.in_flight_per_thread * (context.pool ? context.pool->size() : 1);
    // Hands the records [first, last) to an encoder as one batch.
    auto dispatch = [&](std::vector<core::SpectrumRecord>::iterator first,
                        std::vector<core::SpectrumRecord>::iterator last) {
        if (first == last || failure) return;
        auto& slot = *slots.list().emplace_back(std::make_unique<Slot>());
        slot.batch.records.assign(std::make_move_iterator(first), std::make_move_iterator(last));
        slot.batch.first_index = result.spectra;
        result.spectra += slot.batch.records.size();
        auto encode = [&slot, &processing, &selection, &format, &context] {
            std::exception_ptr thrown;
            try {
                const std::size_t n = slot.batch.records.size();
                if (processing.centroid) centroid_batch(slot, processing, selection, format);
                slot.encoded = format.encode(std::move(slot.batch));
                if (context.spectra_done) *context.spectra_done += n;
            } catch (...) {
                thrown = std::current_exception();
            }
            slot.done.set(thrown);
        };
        if (context.pool) context.pool->submit(encode);
        else encode();
        while (append_next(slots.list().size() - next_to_append > max_in_flight)) {}
    };

    {
        // Decoding: records are kept or left out, gathered into batches and sent to the encoders.
        std::optional<reader::Reader> held(std::move(reader));
        core::PointArena point_lists;
        reader::ScanDecoder decoder(*held);
        const std::uint64_t input_size = held->data_stream_size();
        std::uint64_t reported_bytes = 0;
        // Records kept and not yet handed over: the batch being filled, [batch_start, kept).
        std::vector<core::SpectrumRecord> records;
        std::size_t points = 0;
        while (!decoder.done() && !failure) {
            const std::size_t first = records.size();
            decoder.decode(records, 1);
            std::size_t kept = first, batch_start = 0;
            for (std::size_t i = first; i < records.size(); ++i) {
                core::SpectrumRecord& r = records[i];
                const Route route = filter.settle(r);
                if (route == Route::left_out) continue;
                result.summary.add_record(r, route == Route::measurement);
                // With centroiding a spectrum's points are counted once centroided, as written.
                if (route == Route::measurement || !processing.centroid) format.count_points(result.summary, r);
                if (route == Route::measurement) {
                    ++measurements;
                    format.add_measurement(r);
                    continue;
                }
                points += r.mz.size();
                if (kept != i) records[kept] = std::move(r);
                ++kept;
                if (points >= limits.points || kept - batch_start >= limits.records) {
                    dispatch(records.begin() + batch_start, records.begin() + kept);
                    batch_start = kept;
                    points = 0;
                }
            }
            records.resize(kept);
            records.erase(records.begin(), records.begin() + batch_start);
            if (context.input_bytes_done && decoder.index_entries() > 0) {
                const std::uint64_t done = input_size * decoder.done_entries() / decoder.index_entries();
                *context.input_bytes_done += done - reported_bytes;
                reported_bytes = done;
            }
        }
        dispatch(records.begin(), records.end());
        if (context.input_bytes_done) *context.input_bytes_done += input_size - reported_bytes;
        if (decoder.undecoded_entries() > 0)
            result.warnings.push_back(undecoded_warning(decoder.undecoded_entries(), decoder.index_entries()));
        result.summary.index_entries = decoder.index_entries();
        result.summary.undecoded_index_entries = decoder.undecoded_entries();
    }  // the raw file's streams are freed here
    if (failure) return std::unexpected(*failure);

    const Census real{result.spectra, measurements, filter.written_kinds, filter.seen_kinds,
                      result.summary.index_entries, result.summary.undecoded_index_entries};
    if (census && *census != real) return std::unexpected("internal error: " + input_path + " decoded differently twice");
    if (auto done = format.decoded(real, result); !done) return std::unexpected(done.error());
    while (append_next(true)) {}
    if (failure) return std::unexpected(*failure);
    if (auto finished = format.finish(result); !finished) return std::unexpected(finished.error());
    return result;
}

}  // namespace exporter
