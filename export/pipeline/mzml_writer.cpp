// Indexed mzML through the pipeline: the header's room left first and the header written last
// (or, for an output that cannot seek, the header worked out from a census and written first),
// the spectra as they are encoded, then the chromatograms, the index and the checksum.
#include <algorithm>
#include <limits>

#include "export/formats/mzml.hpp"
#include "export/formats/transitions.hpp"
#include "export/pipeline/writers.hpp"
#include "os_text.hpp"

namespace exporter {
namespace {

constexpr std::string_view nothing_written = "no spectra to write";

// The figures a transition record would have given the chromatograms as a spectrum.
ChromatogramPoint transition_point(const core::SpectrumRecord& r) {
    ChromatogramPoint point{r.retention_time_sec, 0.0, 0.0};
    if (!r.intensity.empty()) point.total_ion_current = point.base_peak_intensity = r.intensity[0];
    return point;
}

struct EncodedText : FormatWriter::Encoded {
    Batch batch;
};

class MzmlWriter final : public FormatWriter {
public:
    MzmlWriter(OutputFile& out, MzmlRun run, const mzml::Options& options, SourceFile source)
        : out_(out), run_(std::move(run)), options_(options), source_(std::move(source)) {}

    BatchLimits batch_limits() const override { return {std::size_t{1} << 19, 2048, 2}; }

    Route route(const core::SpectrumRecord& r) const override {
        const bool transition = r.acquisition_kind == core::acquisition::mrm_transition;
        return transition && !options_.srm_as_spectra ? Route::measurement : Route::spectrum;
    }

    void count_points(WrittenSummary& summary, const core::SpectrumRecord& r) const override {
        summary.add_points(r, options_.arrays.strip_zeros);
    }

    bool needs_census() const override { return !out_.seekable(); }

    std::expected<void, std::string> begin(const Census* census, const std::vector<std::string>& warnings) override {
        if (!source_.digest) return std::unexpected("internal error: no digest of " + source_.path);
        // The header says how many spectra follow, which is known only once the last scan is
        // decoded; its room is left at the start of the file, as much as the longest header it
        // can be, and the spectra are written after it as soon as they are encoded.
        DocumentInfo longest = run_.info;
        longest.kinds = {true, true, true, !options_.srm_as_spectra && run_.may_hold_transitions};
        longest.spectrum_count = std::numeric_limits<std::uint64_t>::max();
        longest.warnings = warnings;
        longest.warnings.push_back(undecoded_warning(std::numeric_limits<std::size_t>::max(),
                                                     std::numeric_limits<std::size_t>::max()));
        longest.warnings.emplace_back(nothing_written);
        header_room_ = mzml::header(longest).size();
        if (!census) {
            if (!out_.skip(header_room_)) return std::unexpected(write_error(out_));
            return {};
        }
        std::vector<std::string> known = warnings;
        if (census->undecoded_entries > 0) known.push_back(undecoded_warning(census->undecoded_entries, census->index_entries));
        if (census->spectra == 0 && census->measurements == 0) known.emplace_back(nothing_written);
        auto header = final_header(*census, std::move(known));
        if (!header) return std::unexpected(header.error());
        out_.write(*header);
        checksum_.update(*header);
        hashing_ = true;
        if (out_.error() != 0) return std::unexpected(write_error(out_));
        return {};
    }

    std::unique_ptr<Encoded> encode(RecordBatch batch) const override {
        auto encoded = std::make_unique<EncodedText>();
        encoded->batch.records = std::move(batch.records);
        encoded->batch.first_index = batch.first_index;
        mzml::encode_batch(encoded->batch, options_.arrays);
        // Centroided spectra keep the chromatograms' figures of their profile.
        for (std::size_t i = 0; i < batch.profile.size(); ++i) encoded->batch.spectra[i].point = batch.profile[i];
        return encoded;
    }

    std::expected<void, std::string> append(Encoded& encoded) override {
        const Batch& batch = static_cast<EncodedText&>(encoded).batch;
        const std::uint64_t at = out_.size();
        for (const WrittenSpectrum& s : batch.spectra) {
            spectrum_index_.add(s.id, at + s.offset);
            (s.ms1 ? ms1_points_ : other_points_).push_back(s.point);
        }
        if (hashing_) checksum_.update(batch.text);
        out_.write(batch.text);
        if (out_.error() != 0) return std::unexpected(write_error(out_));
        return {};
    }

    void add_measurement(const core::SpectrumRecord& r) override {
        // A measurement of its pair's chromatogram; the total ion current counts it as it would
        // count the spectrum.
        transitions_.add(r);
        other_points_.push_back(transition_point(r));
    }

    std::expected<void, std::string> decoded(const Census& census, ExportResult& result) override {
        result.transition_chromatograms = transitions_.size();
        if (result.spectra == 0 && transitions_.size() == 0) result.warnings.emplace_back(nothing_written);
        if (hashing_) return {};
        // The header, then the spectra written so far, read back, go into the checksum first;
        // the rest is hashed as it is appended.
        auto header = final_header(census, result.warnings);
        if (!header) return std::unexpected(header.error());
        out_.write_at(0, *header);
        checksum_.update(*header);
        std::string chunk;
        for (std::uint64_t at = header_room_; at < out_.size() && out_.error() == 0; at += chunk.size()) {
            if (!out_.read_at(at, static_cast<std::size_t>(std::min<std::uint64_t>(out_.size() - at, 1 << 20)), chunk))
                break;
            checksum_.update(chunk);
        }
        hashing_ = true;
        if (out_.error() != 0) return std::unexpected(write_error(out_));
        return {};
    }

    std::expected<void, std::string> finish(ExportResult& result) override {
        // Over the MS1 spectra, or over all of them when there are none.
        const std::vector<ChromatogramPoint>& points = ms1_points_.empty() ? other_points_ : ms1_points_;
        auto write_hashed = [&](std::string_view text) {
            checksum_.update(text);
            out_.write(text);
        };
        mzml::IndexEntries chromatogram_index;
        mzml::chromatograms(points, transitions_, options_.arrays, out_.size(), chromatogram_index, write_hashed);
        mzml::index_list(spectrum_index_, chromatogram_index, out_.size(), write_hashed);
        // The whole document's SHA-1 goes on from where its checksum ends.
        Sha1 whole = checksum_;
        const std::string closing = mzml::closing(checksum_.hex_digest());
        whole.update(closing);
        result.document_sha1 = whole.hex_digest();
        out_.write(closing);
        if (out_.error() != 0) return std::unexpected(write_error(out_));
        return {};
    }

private:
    // The header as it is written: padded to its room, so that the document is the same bytes
    // whether the header went out first or last.
    std::expected<std::string, std::string> final_header(const Census& census, std::vector<std::string> warnings) const {
        const FileDigest& source = source_.digest->wait();
        if (source.os_error != 0)
            return std::unexpected("cannot read " + source_.path + ": " + os_text::error_text(source.os_error));
        DocumentInfo info = run_.info;
        info.source_sha1 = source.hex;
        info.spectrum_count = census.spectra;
        // A document without spectra or chromatograms still says what it can be expected to
        // hold: the kinds of the run's records, or, when the run had none, the kind every
        // layout's scans are.
        info.kinds = census.written_kinds.any() ? census.written_kinds : census.seen_kinds;
        if (!info.kinds.any()) info.kinds.ms1 = true;
        info.warnings = std::move(warnings);
        std::string header = mzml::header(info);
        header.resize(header_room_, ' ');  // white space between elements, before the first spectrum
        return header;
    }

    OutputFile& out_;
    const MzmlRun run_;
    const mzml::Options options_;
    const SourceFile source_;
    std::uint64_t header_room_ = 0;
    Sha1 checksum_;
    bool hashing_ = false;  // from the moment the header is written, bytes are hashed as they go out
    mzml::IndexEntries spectrum_index_;
    std::vector<ChromatogramPoint> ms1_points_, other_points_;
    TransitionChromatograms transitions_;
};

}  // namespace

std::unique_ptr<FormatWriter> mzml_writer(OutputFile& out, MzmlRun run, const mzml::Options& options, SourceFile source) {
    return std::make_unique<MzmlWriter>(out, std::move(run), options, std::move(source));
}

}  // namespace exporter
