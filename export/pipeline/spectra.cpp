#include "export/pipeline/spectra.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <memory>

#include "export/encoding/sha1.hpp"
#include "export/encoding/xml_text.hpp"
#include "export/formats/document.hpp"
#include "export/formats/mgf.hpp"
#include "export/formats/mzml.hpp"
#include "export/output/paths.hpp"
#include "export/pipeline/record_filter.hpp"
#include "os_text.hpp"
#include "platform.hpp"

namespace exporter {
namespace {

// A batch is handed to the encoders once it holds this many points or records; an index entry
// that yields more (an MRM scan of many transitions) is spread over several batches.
constexpr std::size_t batch_points = std::size_t{1} << 19;
constexpr std::size_t batch_records = 2048;
// Batches handed to the encoders and not yet written, per encoding thread: decoding waits for
// the oldest beyond that, so that only a few batches are held whatever the file.
constexpr std::size_t batches_in_flight_per_thread = 2;

// A batch on its way through an encoder, and its outcome.
struct Slot {
    Batch batch;
    Pending<std::exception_ptr> encoded;
    WrittenSummary written_points;  // with --centroid: the points figures of the batch as written
};

// With --centroid, on an encoder's thread before the batch is encoded: every spectrum's points
// become those written (centroid_points), and their figures go into the slot's summary; the
// chromatograms' figures of each spectrum, those of its profile, are what it returns.
std::vector<ChromatogramPoint> centroid_batch(Slot& slot, const ExportOptions& options) {
    std::vector<ChromatogramPoint> profile(slot.batch.records.size());
    for (std::size_t i = 0; i < profile.size(); ++i) {
        core::SpectrumRecord& r = slot.batch.records[i];
        profile[i].retention_time_sec = r.retention_time_sec;
        if (!r.mz.empty()) {
            const SpectrumFigures f = figures_of(r);
            profile[i].total_ion_current = f.total_ion_current;
            profile[i].base_peak_intensity = r.intensity[f.base_peak];
        }
        centroid_points(r, options);
        slot.written_points.add_points(r);
    }
    return profile;
}

// Waits for every slot still queued, so that no task outlives the slots it works on.
class Slots {
public:
    ~Slots() {
        for (auto& slot : list_)
            if (slot) slot->encoded.wait();
    }
    std::vector<std::unique_ptr<Slot>>& list() noexcept { return list_; }

private:
    std::vector<std::unique_ptr<Slot>> list_;
};

std::string undecoded_warning(std::size_t undecoded, std::size_t entries) {
    return std::to_string(undecoded) + " of " + std::to_string(entries) + " index entries could not be decoded";
}

std::string nothing_written_warning(Format format) {
    return format == Format::Mgf ? "no spectra of MS level 2 or more to write, so the MGF file is empty"
                                 : "no spectra to write";
}

std::string write_error(const OutputFile& out) {
    return "cannot write " + out.final_path() + ": " + os_text::error_text(out.error());
}

// The figures a transition record would have given the chromatograms as a spectrum.
ChromatogramPoint transition_point(const core::SpectrumRecord& r) {
    ChromatogramPoint point{r.retention_time_sec, 0.0, 0.0};
    if (!r.intensity.empty()) point.total_ion_current = point.base_peak_intensity = r.intensity[0];
    return point;
}

// What a conversion will write, worked out by decoding the file once without keeping anything:
// for an output that cannot seek, whose header must go out first.
struct Census {
    std::uint64_t spectra = 0;
    std::uint64_t transitions = 0;
    SpectrumKinds written_kinds, seen_kinds;
    std::size_t undecoded_entries = 0;
    std::size_t entries = 0;
};

Census take_census(const reader::Reader& reader, const ExportOptions& options, bool transitions_as_chromatograms) {
    // Point lists from the heap, each freed with its entry's records: an arena would keep them all.
    reader::ScanDecoder decoder(reader);
    RecordFilter filter(options, transitions_as_chromatograms);
    Census census;
    std::vector<core::SpectrumRecord> records;
    while (!decoder.done()) {
        records.clear();
        decoder.decode(records, 1);
        for (core::SpectrumRecord& r : records) {
            const Fate fate = filter.settle(r);
            census.spectra += fate == Fate::spectrum;
            census.transitions += fate == Fate::transition;
        }
    }
    census.written_kinds = filter.written_kinds;
    census.seen_kinds = filter.seen_kinds;
    census.undecoded_entries = decoder.undecoded_entries();
    census.entries = decoder.index_entries();
    return census;
}

}  // namespace

std::expected<ExportResult, std::string> export_spectra(reader::Reader reader, const std::string& input_path,
                                                       const ExportOptions& options, OutputFile& out) {
    const bool mzml = options.format == Format::Mzml;
    if (mzml && !options.source_digest) return std::unexpected("internal error: no digest of " + input_path);

    DocumentInfo info;
    info.run_id = to_xml_name(reader.source_name());
    info.source_name = file_name_of(input_path);
    info.source_location = file_uri(platform::absolute_directory(directory_of(input_path)));
    info.source_sha1 = std::string(40, '0');
    info.start_time = reader.acquired_at();
    info.scan_number_ids = reader.variant() == reader::FileVariant::Qtfl;
    info.centroided = options.centroid;
    ExportResult result;
    if (reader.mz_are_channel_indices())
        result.warnings.emplace_back("no usable mass calibration, so m/z values are detector channel indices");

    // The mzML header says how many spectra follow, which is known only once the last scan is
    // decoded; its room is left at the start of the file, as much as the longest header it can
    // be, and the spectra are written after it as soon as they are encoded.
    std::uint64_t header_room = 0;
    const bool transitions_as_chromatograms = mzml && !options.srm_as_spectra;
    Sha1 checksum;
    bool hashing = false;  // from the moment the header is written, bytes are hashed as they go out
    if (mzml) {
        DocumentInfo longest = info;
        // Only GC-MS files hold MRM transitions.
        longest.kinds = {true, true, true, !options.srm_as_spectra && reader.variant() == reader::FileVariant::Gcms};
        longest.spectrum_count = std::numeric_limits<std::uint64_t>::max();
        longest.warnings = result.warnings;
        longest.warnings.push_back(undecoded_warning(std::numeric_limits<std::size_t>::max(),
                                                     std::numeric_limits<std::size_t>::max()));
        longest.warnings.push_back(nothing_written_warning(options.format));
        header_room = mzml::header(longest).size();
    }
    // The header as it is written: padded to its room, so that the document is the same bytes
    // whether the header went out first or last.
    auto final_header = [&](std::uint64_t spectra, SpectrumKinds written, const SpectrumKinds& seen,
                            std::vector<std::string> warnings) -> std::expected<std::string, std::string> {
        const FileDigest& source = options.source_digest->wait();
        if (source.os_error != 0)
            return std::unexpected("cannot read " + input_path + ": " + os_text::error_text(source.os_error));
        DocumentInfo final_info = info;
        final_info.source_sha1 = source.hex;
        final_info.spectrum_count = spectra;
        // A document without spectra or chromatograms still says what it can be expected to hold:
        // the kinds of the run's records, or, when the run had none, the kind every layout's
        // scans are.
        final_info.kinds = written.any() ? written : seen;
        if (!final_info.kinds.any()) final_info.kinds.ms1 = true;
        final_info.warnings = std::move(warnings);
        std::string header = mzml::header(final_info);
        header.resize(header_room, ' ');  // white space between elements, before the first spectrum
        return header;
    };
    std::optional<Census> census;  // for an output that cannot seek, whose header goes out first
    if (mzml && out.seekable()) {
        if (!out.skip(header_room)) return std::unexpected(write_error(out));
    } else if (mzml) {
        census = take_census(reader, options, transitions_as_chromatograms);
        std::vector<std::string> warnings = result.warnings;
        if (census->undecoded_entries > 0) warnings.push_back(undecoded_warning(census->undecoded_entries, census->entries));
        if (census->spectra == 0 && census->transitions == 0) warnings.push_back(nothing_written_warning(options.format));
        auto header = final_header(census->spectra, census->written_kinds, census->seen_kinds, std::move(warnings));
        if (!header) return std::unexpected(header.error());
        out.write(*header);
        checksum.update(*header);
        hashing = true;
    }

    mzml::IndexEntries spectrum_index, chromatogram_index;
    std::vector<ChromatogramPoint> ms1_points, other_points;
    TransitionChromatograms transitions;
    RecordFilter filter(options, transitions_as_chromatograms);
    std::size_t next_to_write = 0;
    Slots slots;
    // Writes the next batch, if it is encoded or `wait` is set; false when there is none.
    auto write_next = [&](bool wait) -> bool {
        if (next_to_write == slots.list().size()) return false;
        Slot& slot = *slots.list()[next_to_write];
        if (!wait && !slot.encoded.ready()) return false;
        if (const std::exception_ptr failure = slot.encoded.wait()) std::rethrow_exception(failure);
        const std::uint64_t at = out.size();
        if (mzml) {
            for (const WrittenSpectrum& s : slot.batch.spectra) {
                spectrum_index.add(s.id, at + s.offset);
                (s.ms1 ? ms1_points : other_points).push_back(s.point);
            }
            if (hashing) checksum.update(slot.batch.text);
        }
        out.write(slot.batch.text);
        if (options.centroid) result.summary.add_points_of(slot.written_points);
        slots.list()[next_to_write++].reset();
        return true;
    };
    const std::size_t max_in_flight = batches_in_flight_per_thread * (options.pool ? options.pool->size() : 1);
    // Hands the records [first, last) to an encoder as one batch.
    auto dispatch = [&](std::vector<core::SpectrumRecord>::iterator first,
                        std::vector<core::SpectrumRecord>::iterator last) {
        if (first == last) return;
        auto& slot = *slots.list().emplace_back(std::make_unique<Slot>());
        slot.batch.records.assign(std::make_move_iterator(first), std::make_move_iterator(last));
        slot.batch.first_index = result.spectra;
        result.spectra += slot.batch.records.size();
        auto encode = [&slot, &options] {
            std::exception_ptr failure;
            try {
                std::vector<ChromatogramPoint> profile;
                if (options.centroid) profile = centroid_batch(slot, options);
                if (options.format == Format::Mzml) mzml::encode_batch(slot.batch, {options.compress, options.numpress, options.strip_zeros});
                else mgf::encode_batch(slot.batch);
                for (std::size_t i = 0; i < profile.size(); ++i) slot.batch.spectra[i].point = profile[i];
                if (options.spectra_done) *options.spectra_done += slot.batch.spectra.size();
            } catch (...) {
                failure = std::current_exception();
            }
            slot.encoded.set(failure);
        };
        if (options.pool) options.pool->submit(encode);
        else encode();
        while (write_next(slots.list().size() - next_to_write > max_in_flight)) {}
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
        // A write that failed (a full disk) ends the decoding: nothing more can be written.
        while (!decoder.done() && out.error() == 0) {
            const std::size_t first = records.size();
            decoder.decode(records, 1);
            std::size_t kept = first, batch_start = 0;
            for (std::size_t i = first; i < records.size(); ++i) {
                core::SpectrumRecord& r = records[i];
                const Fate fate = filter.settle(r);
                if (fate == Fate::left_out) continue;
                // With --centroid a spectrum's points are counted once encoded, as written.
                if (options.centroid && fate == Fate::spectrum) result.summary.add_record(r, false);
                else result.summary.add(r, fate == Fate::transition, mzml && options.strip_zeros);
                if (fate == Fate::transition) {
                    // A measurement of its pair's chromatogram; the total ion current counts it as
                    // it would count the spectrum.
                    transitions.add(r);
                    other_points.push_back(transition_point(r));
                    continue;
                }
                points += r.mz.size();
                if (kept != i) records[kept] = std::move(r);
                ++kept;
                if (points >= batch_points || kept - batch_start >= batch_records) {
                    dispatch(records.begin() + batch_start, records.begin() + kept);
                    batch_start = kept;
                    points = 0;
                }
            }
            records.resize(kept);
            records.erase(records.begin(), records.begin() + batch_start);
            if (options.input_bytes_done && decoder.index_entries() > 0) {
                const std::uint64_t done = input_size * decoder.done_entries() / decoder.index_entries();
                *options.input_bytes_done += done - reported_bytes;
                reported_bytes = done;
            }
        }
        dispatch(records.begin(), records.end());
        if (options.input_bytes_done) *options.input_bytes_done += input_size - reported_bytes;
        if (decoder.undecoded_entries() > 0)
            result.warnings.push_back(undecoded_warning(decoder.undecoded_entries(), decoder.index_entries()));
        result.summary.index_entries = decoder.index_entries();
        result.summary.undecoded_index_entries = decoder.undecoded_entries();
    }  // the raw file's streams are freed here
    if (out.error() != 0) return std::unexpected(write_error(out));
    result.transition_chromatograms = transitions.size();
    if (result.spectra == 0 && transitions.size() == 0)
        result.warnings.push_back(nothing_written_warning(options.format));

    if (census && (census->spectra != result.spectra || census->transitions != transitions.measurements()))
        return std::unexpected("internal error: " + input_path + " decoded differently twice");
    if (mzml && !census) {
        // The header, then the spectra written so far, read back, go into the checksum first.
        auto header = final_header(result.spectra, filter.written_kinds, filter.seen_kinds, result.warnings);
        if (!header) return std::unexpected(header.error());
        out.write_at(0, *header);
        checksum.update(*header);
        std::string chunk;
        for (std::uint64_t at = header_room; at < out.size() && out.error() == 0; at += chunk.size()) {
            if (!out.read_at(at, static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - at, 1 << 20)), chunk))
                break;
            checksum.update(chunk);
        }
        hashing = true;
    }
    while (out.error() == 0 && write_next(true)) {}
    if (mzml && out.error() == 0) {
        // Over the MS1 spectra, or over all of them when there are none.
        const std::vector<ChromatogramPoint>& points = ms1_points.empty() ? other_points : ms1_points;
        auto write_hashed = [&](std::string_view text) {
            checksum.update(text);
            out.write(text);
        };
        mzml::chromatograms(points, transitions, {options.compress, options.numpress, options.strip_zeros}, out.size(), chromatogram_index,
                            write_hashed);
        mzml::index_list(spectrum_index, chromatogram_index, out.size(), write_hashed);
        // The whole document's SHA-1 goes on from where its checksum ends.
        Sha1 whole = checksum;
        const std::string closing = mzml::closing(checksum.hex_digest());
        whole.update(closing);
        result.document_sha1 = whole.hex_digest();
        out.write(closing);
    }
    if (!mzml) out.write(mgf::comments(result.warnings));
    if (out.error() != 0) return std::unexpected(write_error(out));
    return result;
}

}  // namespace exporter
