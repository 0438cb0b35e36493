#include "export/spectra.hpp"

#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>

#include "export/document.hpp"
#include "export/mgf.hpp"
#include "export/mzml.hpp"
#include "export/sha1.hpp"
#include "export/xml_text.hpp"
#include "os_text.hpp"

#ifndef TAVRIK_VERSION
#error "TAVRIK_VERSION must name the project's version"
#endif

namespace exporter {
namespace {

// A batch is handed to the encoders once it holds this many points or records.
constexpr std::size_t batch_points = std::size_t{1} << 19;
constexpr std::size_t batch_records = 2048;
// Index entries decoded between two looks at the batch being filled.
constexpr std::size_t entries_per_step = 16;

// A batch on its way through an encoder, and its outcome.
struct Slot {
    Batch batch;
    Pending<std::exception_ptr> encoded;
};

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

std::string absolute_directory(const std::string& path) {
    std::string directory = ".";
    if (const std::size_t slash = path.rfind('/'); slash != std::string::npos)
        directory = slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved)) return resolved;
    return directory;
}

std::string file_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

bool wanted(const core::SpectrumRecord& r, const ExportOptions& options) {
    if (!options.levels.contains(r.ms_level)) return false;
    return options.format == Format::Mzml || r.ms_level >= 2;
}

}  // namespace

std::string_view software_version() noexcept { return TAVRIK_VERSION; }

std::expected<ExportResult, std::string> export_spectra(reader::Reader reader, const std::string& input_path,
                                                       const ExportOptions& options, OutputFile& out) {
    const bool mzml = options.format == Format::Mzml;
    // The source file's digest, unless the caller has it worked out already.
    Pending<FileDigest> own_digest;
    if (mzml && !options.source_digest) own_digest.set(sha1_of_file(input_path));
    Pending<FileDigest>& digest = options.source_digest ? *options.source_digest : own_digest;

    DocumentInfo info;
    info.run_id = to_xml_name(reader.source_name());
    info.source_name = file_name(input_path);
    info.source_location = file_uri(absolute_directory(input_path));
    info.source_sha1 = std::string(40, '0');
    info.start_time = reader.acquired_at();
    info.scan_number_ids = reader.variant() == reader::FileVariant::Qtfl;
    ExportResult result;
    if (reader.mz_are_channel_indices())
        result.warnings.emplace_back("no usable mass calibration, so m/z values are detector channel indices");

    // The mzML header says how many spectra follow, which is known only once the last scan is
    // decoded; its room is left at the start of the file, as much as the longest header it can
    // be, and the spectra are written after it as soon as they are encoded.
    std::uint64_t header_room = 0;
    if (mzml) {
        DocumentInfo longest = info;
        longest.kinds = {true, true, true};
        longest.spectrum_count = std::numeric_limits<std::uint64_t>::max();
        longest.warnings = result.warnings;
        longest.warnings.push_back(undecoded_warning(std::numeric_limits<std::size_t>::max(),
                                                     std::numeric_limits<std::size_t>::max()));
        longest.warnings.push_back(nothing_written_warning(options.format));
        header_room = mzml::header(longest).size();
        if (!out.skip(header_room)) return std::unexpected(write_error(out));
    }

    std::vector<mzml::IndexEntry> spectrum_index, chromatogram_index;
    std::vector<WrittenSpectrum> ms1_points, other_points;
    Sha1 checksum;
    bool hashing = false;  // from the moment the header is written, bytes are hashed as they go out
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
            for (WrittenSpectrum& s : slot.batch.spectra) {
                spectrum_index.emplace_back(std::move(s.id), at + s.offset);
                s.id = {};
                (s.ms1 ? ms1_points : other_points).push_back(s);
            }
            if (hashing) checksum.update(slot.batch.text);
        }
        out.write(slot.batch.text);
        slots.list()[next_to_write++].reset();
        return true;
    };
    auto dispatch = [&](std::vector<core::SpectrumRecord>& records) {
        if (records.empty()) return;
        auto& slot = *slots.list().emplace_back(std::make_unique<Slot>());
        slot.batch.records = std::move(records);
        records = {};
        slot.batch.first_index = result.spectra;
        result.spectra += slot.batch.records.size();
        auto encode = [&slot, &options] {
            std::exception_ptr failure;
            try {
                if (options.format == Format::Mzml) mzml::encode_batch(slot.batch, options.compress);
                else mgf::encode_batch(slot.batch);
                if (options.spectra_done) *options.spectra_done += slot.batch.spectra.size();
            } catch (...) {
                failure = std::current_exception();
            }
            slot.encoded.set(failure);
        };
        if (options.pool) options.pool->submit(encode);
        else encode();
        while (write_next(false)) {}
    };

    {
        // Decoding: records are kept or left out, gathered into batches and sent to the encoders.
        std::optional<reader::Reader> held(std::move(reader));
        core::PointArena point_lists;
        reader::ScanDecoder decoder(*held);
        const std::uint64_t input_size = held->data_stream_size();
        std::uint64_t reported_bytes = 0;
        std::vector<core::SpectrumRecord> records;
        std::size_t points = 0;
        while (!decoder.done()) {
            const std::size_t first = records.size();
            decoder.decode(records, entries_per_step);
            std::size_t kept = first;
            for (std::size_t i = first; i < records.size(); ++i) {
                core::SpectrumRecord& r = records[i];
                if (!wanted(r, options)) continue;
                if (r.acquisition_kind == core::acquisition::mrm_transition) info.kinds.srm = true;
                else if (r.ms_level == 1) info.kinds.ms1 = true;
                else info.kinds.msn = true;
                // A precursor scan left out of the document cannot be referred to in it.
                if (r.precursor && r.precursor->spectrum_ref && !options.levels.contains(1))
                    r.precursor->spectrum_ref.reset();
                points += r.mz.size();
                if (kept != i) records[kept] = std::move(r);
                ++kept;
            }
            records.resize(kept);
            if (points >= batch_points || records.size() >= batch_records) {
                dispatch(records);
                points = 0;
            }
            if (options.input_bytes_done && decoder.index_entries() > 0) {
                const std::uint64_t done = input_size * decoder.done_entries() / decoder.index_entries();
                *options.input_bytes_done += done - reported_bytes;
                reported_bytes = done;
            }
        }
        dispatch(records);
        if (options.input_bytes_done) *options.input_bytes_done += input_size - reported_bytes;
        if (decoder.undecoded_entries() > 0)
            result.warnings.push_back(undecoded_warning(decoder.undecoded_entries(), decoder.index_entries()));
    }  // the raw file's streams are freed here
    if (result.spectra == 0) result.warnings.push_back(nothing_written_warning(options.format));

    if (mzml) {
        // The header, then the spectra written so far, read back, go into the checksum first.
        const FileDigest& source = digest.wait();
        if (source.os_error != 0)
            return std::unexpected("cannot read " + input_path + ": " + os_text::error_text(source.os_error));
        info.source_sha1 = source.hex;
        info.spectrum_count = result.spectra;
        info.warnings = result.warnings;
        std::string header = mzml::header(info);
        header.resize(header_room, ' ');  // white space between elements, before the first spectrum
        out.write_at(0, header);
        checksum.update(header);
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
        const std::vector<WrittenSpectrum>& points = ms1_points.empty() ? other_points : ms1_points;
        auto write_hashed = [&](const std::string& text) {
            checksum.update(text);
            out.write(text);
        };
        write_hashed(mzml::chromatograms(points, options.compress, out.size(), chromatogram_index));
        write_hashed(mzml::index_list(spectrum_index, chromatogram_index, out.size()));
        out.write(mzml::closing(checksum.hex_digest()));
    }
    if (!mzml) out.write(mgf::comments(result.warnings));
    if (out.error() != 0) return std::unexpected(write_error(out));
    return result;
}

}  // namespace exporter
