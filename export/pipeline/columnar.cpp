#include "export/pipeline/columnar.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>

#include "export/encoding/json_text.hpp"
#include "export/encoding/sha1.hpp"
#include "export/encoding/xml_text.hpp"
#include "export/formats/document.hpp"
#include "export/formats/metadata.hpp"
#include "export/formats/table_schema.hpp"
#include "export/formats/version.hpp"
#include "export/output/paths.hpp"
#include "export/parquet/parquet_writer.hpp"
#include "export/pipeline/record_filter.hpp"
#include "os_text.hpp"
#include "platform.hpp"

namespace exporter {
namespace {

// A row group of the points table holds the points of whole spectra: records are gathered until
// they hold this many points (or this many records), so that a group is about a million points
// unless one spectrum alone is larger.
constexpr std::size_t group_points = std::size_t{1} << 20;
constexpr std::size_t group_records = std::size_t{1} << 13;
// Row groups of the points table handed to the encoders and not yet written, per thread.
constexpr std::size_t groups_in_flight_per_thread = 2;
// Rows of the spectra table gathered before they are written as a row group.
constexpr std::size_t spectra_group_rows = std::size_t{1} << 16;

constexpr std::uint8_t ms1_type = 0, msn_type = 1, srm_type = 2;

// One row of the spectra table, as an encoder works it out from a record.
struct SpectrumRow {
    std::string native_id;
    std::uint8_t ms_level = 0;
    double retention_time_sec = 0.0;
    bool centroid = false;
    std::uint8_t spectrum_type = ms1_type;
    std::uint32_t point_count = 0;
    double total_ion_current = 0.0;
    double base_peak_mz = 0.0;
    float base_peak_intensity = 0.0f;
    double lowest_mz = 0.0, highest_mz = 0.0;
    std::optional<std::string> precursor_ref;
    std::optional<double> selected_ion_mz, isolation_target_mz;
};

SpectrumRow spectrum_row(core::SpectrumRecord& r) {
    SpectrumRow row;
    row.native_id = to_native_id(r.native_id);  // the record's identifier, as in mzML and MGF
    row.ms_level = static_cast<std::uint8_t>(std::min<std::uint32_t>(r.ms_level, 255));
    row.retention_time_sec = r.retention_time_sec;
    row.centroid = r.representation == core::representation::centroid;
    row.spectrum_type = r.acquisition_kind == core::acquisition::mrm_transition ? srm_type
                        : r.ms_level == 1                                     ? ms1_type
                                                                              : msn_type;
    const std::size_t n = r.mz.size();
    row.point_count = static_cast<std::uint32_t>(n);
    if (n > 0) {  // as the mzML writer works them out
        const SpectrumFigures f = figures_of(r);
        row.total_ion_current = f.total_ion_current;
        row.base_peak_mz = r.mz[f.base_peak];
        row.base_peak_intensity = r.intensity[f.base_peak];
        row.lowest_mz = f.lowest_mz;
        row.highest_mz = f.highest_mz;
    }
    if (r.precursor) {
        if (r.precursor->spectrum_ref) row.precursor_ref = to_native_id(*r.precursor->spectrum_ref);
        row.selected_ion_mz = r.precursor->selected_mz;
        row.isolation_target_mz = r.precursor->isolation_target_mz;
    }
    return row;
}

// The writer's options for a table of `columns` (table_schema.hpp), each column laid out with
// its encoding.
template <std::size_t N>
parquet::WriterOptions table_options(const std::array<TableColumn, N>& columns,
                                     const std::array<parquet::Encoding, N>& encodings) {
    parquet::WriterOptions options;
    for (std::size_t c = 0; c < N; ++c)
        options.columns.push_back({std::string(columns[c].name), columns[c].type, columns[c].nullable, encodings[c]});
    return options;
}

// The encodings measured best (README, "Columnar output"): zstd alone folds the runs of
// spectrum_index as well as a dictionary would, and byte stream split makes both floats
// smaller, the m/z values of all but the most regular profile data too.
parquet::WriterOptions points_options() {
    using enum parquet::Encoding;
    return table_options(points_table_columns, {Plain, ByteStreamSplit, ByteStreamSplit});
}

// Plain but for the two columns of a few distinct texts, representation and spectrum_type.
parquet::WriterOptions spectra_options() {
    using enum parquet::Encoding;
    return table_options(spectra_table_columns, {Plain, Plain, Plain, Plain, Dictionary, Dictionary, Plain, Plain,
                                                 Plain, Plain, Plain, Plain, Plain, Plain, Plain});
}

// The rows of the spectra table not yet written, column by column.
class SpectraRows {
public:
    void add(std::uint32_t index, SpectrumRow& row, std::optional<std::uint32_t> precursor) {
        const bool has_points = row.point_count > 0;
        index_.push_back(index);
        ids_.push_back(std::move(row.native_id));
        ms_level_.push_back(row.ms_level);
        time_.push_back(row.retention_time_sec);
        representation_.push_back(row.centroid ? centroid_representation : profile_representation);
        type_.push_back(row.spectrum_type == srm_type   ? srm_spectrum_type
                        : row.spectrum_type == ms1_type ? ms1_spectrum_type
                                                        : msn_spectrum_type);
        points_.push_back(row.point_count);
        tic_.push_back(row.total_ion_current);
        has_points_.push_back(has_points);
        base_mz_.push_back(row.base_peak_mz);
        base_intensity_.push_back(row.base_peak_intensity);
        lowest_.push_back(row.lowest_mz);
        highest_.push_back(row.highest_mz);
        precursor_.push_back(precursor.value_or(0));
        has_precursor_.push_back(precursor.has_value());
        selected_.push_back(row.selected_ion_mz.value_or(0.0));
        has_selected_.push_back(row.selected_ion_mz.has_value());
        isolation_.push_back(row.isolation_target_mz.value_or(0.0));
        has_isolation_.push_back(row.isolation_target_mz.has_value());
    }
    std::size_t size() const noexcept { return index_.size(); }

    std::expected<void, std::string> write(parquet::Writer& writer) {
        if (index_.empty()) return {};
        std::vector<std::string_view> ids(ids_.begin(), ids_.end());
        const std::vector<parquet::ColumnValues> columns = {
            {std::span<const std::uint32_t>(index_), {}},
            {std::span<const std::string_view>(ids), {}},
            {std::span<const std::uint8_t>(ms_level_), {}},
            {std::span<const double>(time_), {}},
            {std::span<const std::string_view>(representation_), {}},
            {std::span<const std::string_view>(type_), {}},
            {std::span<const std::uint32_t>(points_), {}},
            {std::span<const double>(tic_), {}},
            {std::span<const double>(base_mz_), has_points_},
            {std::span<const float>(base_intensity_), has_points_},
            {std::span<const double>(lowest_), has_points_},
            {std::span<const double>(highest_), has_points_},
            {std::span<const std::uint32_t>(precursor_), has_precursor_},
            {std::span<const double>(selected_), has_selected_},
            {std::span<const double>(isolation_), has_isolation_},
        };
        auto done = writer.write(columns);
        *this = SpectraRows();
        return done;
    }

private:
    std::vector<std::uint32_t> index_, points_, precursor_;
    std::vector<std::string> ids_;
    std::vector<std::uint8_t> ms_level_, has_points_, has_precursor_, has_selected_, has_isolation_;
    std::vector<double> time_, tic_, base_mz_, lowest_, highest_, selected_, isolation_;
    std::vector<float> base_intensity_;
    std::vector<std::string_view> representation_, type_;
};

// Consecutive records on their way through an encoder: their points become a row group of
// the points table, and each record a row of the spectra table.
struct PointsBatch {
    std::vector<core::SpectrumRecord> records;
    std::uint32_t first_index = 0;
    std::vector<SpectrumRow> rows;
    std::expected<parquet::EncodedRowGroup, std::string> group;
};

void encode_points(PointsBatch& batch, const parquet::WriterOptions& options) {
    std::size_t total = 0;
    for (const core::SpectrumRecord& r : batch.records) total += r.mz.size();
    // The columns, kept by each encoding thread: fresh ones would be faulted in page by page for
    // every row group.
    thread_local std::vector<std::uint32_t> index;
    thread_local std::vector<double> mz;
    thread_local std::vector<float> intensity;
    index.clear();
    mz.clear();
    intensity.clear();
    index.reserve(total);
    mz.reserve(total);
    intensity.reserve(total);
    batch.rows.reserve(batch.records.size());
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
        core::SpectrumRecord& r = batch.records[i];
        batch.rows.push_back(spectrum_row(r));
        index.insert(index.end(), r.mz.size(), batch.first_index + static_cast<std::uint32_t>(i));
        mz.insert(mz.end(), r.mz.begin(), r.mz.end());
        intensity.insert(intensity.end(), r.intensity.begin(), r.intensity.end());
        r = core::SpectrumRecord{};  // its points are copied
    }
    batch.records.clear();
    const parquet::ColumnValues columns[] = {
        {std::span<const std::uint32_t>(index), {}},
        {std::span<const double>(mz), {}},
        {std::span<const float>(intensity), {}},
    };
    batch.group = parquet::encode_row_group(options, columns);
}

struct Slot {
    PointsBatch batch;
    Pending<std::exception_ptr> encoded;
    WrittenSummary written_points;  // with --centroid: the points' figures of the batch as written
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

struct RunFacts {
    // The same in both tables: the first half of the SHA-1 of the facts without it (the raw
    // file's SHA-1, the options, the version, the counts). Tables of the same conversion of the
    // same raw file share it, and only those, while the output stays the same for every run.
    std::string run_id;
    std::string source_name;
    std::string source_sha1;
    std::string_view layout;
    std::optional<std::string> acquired_at;
};

// The file-level facts, as JSON, for the key-value metadata of `table`.
std::string facts_json(const RunFacts& facts, std::string_view table, const ExportOptions& options,
                       const ExportResult& result, std::uint64_t points) {
    std::string out = "{\"table\": ";
    append_json_string(out, table);
    out += ", \"run_id\": ";
    append_json_string(out, facts.run_id);
    out += ", \"source\": {\"name\": ";
    append_json_string(out, facts.source_name);
    out += ", \"sha1\": ";
    append_json_string(out, facts.source_sha1);
    out += "}, \"layout\": ";
    append_json_string(out, facts.layout);
    out += ", \"acquired_at\": ";
    if (facts.acquired_at) append_json_string(out, *facts.acquired_at);
    else out += "null";
    out += ", \"software\": {\"name\": \"tavrik\", \"version\": ";
    append_json_string(out, software_version());
    out += "}, \"options\": {\"ms_level\": [" + std::to_string(options.levels.lowest) + ", ";
    out += options.levels.highest == std::numeric_limits<std::uint32_t>::max()
               ? std::string("null")
               : std::to_string(options.levels.highest);
    out += "], \"srm_as_spectra\": ";
    out += options.srm_as_spectra ? "true" : "false";
    out += ", \"rt\": " + json_window(options.retention_time) + ", \"mz\": " + json_window(options.mz);
    out += ", \"centroid\": ";
    out += options.centroid ? "true" : "false";
    out += ", \"centroid_min_intensity\": " + (options.centroid ? json_number(options.centroid_min_intensity) : "null");
    out += "}, \"spectra\": " + std::to_string(result.spectra) + ", \"points\": " + std::to_string(points);
    out += ", \"warnings\": [";
    for (std::size_t i = 0; i < result.warnings.size(); ++i) {
        if (i > 0) out += ", ";
        append_json_string(out, result.warnings[i]);
    }
    out += "]}";
    return out;
}

}  // namespace

std::string points_table_path(const std::string& spectra_table_path) {
    std::string path = spectra_table_path;
    if (path.ends_with(spectra_table_suffix)) path.resize(path.size() - spectra_table_suffix.size());
    return path + std::string(points_table_suffix);
}

std::expected<ExportResult, std::string> export_columnar(reader::Reader reader, const std::string& input_path,
                                                         const ExportOptions& options, OutputFile& spectra_out,
                                                         OutputFile& points_out) {
    if (!options.source_digest) return std::unexpected("internal error: no digest of " + input_path);
    RunFacts facts{{}, file_name_of(input_path), {}, reader::layout_name(reader.variant()), reader.acquired_at()};
    ExportResult result;
    if (reader.mz_are_channel_indices())
        result.warnings.emplace_back("no usable mass calibration, so m/z values are detector channel indices");

    // A table that could not be written: the output's error, or the writer's own (an encoder's).
    auto write_error = [](const OutputFile& out, const std::string& why = "write failed") {
        return "cannot write " + out.final_path() + ": " + (out.error() != 0 ? os_text::error_text(out.error()) : why);
    };
    auto spectra_table = parquet::Writer::create(spectra_options(), [&](std::string_view b) { return spectra_out.write(b); });
    auto points_table = parquet::Writer::create(points_options(), [&](std::string_view b) { return points_out.write(b); });
    if (!spectra_table) return std::unexpected(write_error(spectra_out));
    if (!points_table) return std::unexpected(write_error(points_out));
    const parquet::WriterOptions& encoding = points_table->options();

    // The first failure ends the conversion: a table that cannot be written, or an encoder's error.
    std::optional<std::string> failure;
    auto fail = [&](const std::string& why) {
        if (!failure) failure = why;
    };
    SpectraRows rows;
    std::unordered_map<std::string, std::uint32_t> ms1_rows;  // the rows a precursor can name
    std::uint64_t points = 0;
    std::size_t next_to_write = 0;
    Slots slots;
    // Writes the next batch, if it is encoded or `wait` is set; false when there is none.
    auto write_next = [&](bool wait) -> bool {
        if (next_to_write == slots.list().size()) return false;
        Slot& slot = *slots.list()[next_to_write];
        if (!wait && !slot.encoded.ready()) return false;
        if (const std::exception_ptr thrown = slot.encoded.wait()) std::rethrow_exception(thrown);
        PointsBatch& batch = slot.batch;
        if (!failure && !batch.group) fail("cannot encode the points of " + input_path + ": " + batch.group.error());
        if (!failure) {
            for (std::size_t i = 0; i < batch.rows.size(); ++i) {
                SpectrumRow& row = batch.rows[i];
                const auto index = static_cast<std::uint32_t>(batch.first_index + i);
                std::optional<std::uint32_t> precursor;
                if (row.precursor_ref)
                    if (const auto found = ms1_rows.find(*row.precursor_ref); found != ms1_rows.end())
                        precursor = found->second;
                if (row.spectrum_type == ms1_type) ms1_rows.insert_or_assign(row.native_id, index);
                points += row.point_count;
                rows.add(index, row, precursor);
                if (rows.size() < spectra_group_rows || failure) continue;
                if (auto done = rows.write(*spectra_table); !done) fail(write_error(spectra_out, done.error()));
            }
            if (failure) {
            } else if (auto done = points_table->append(std::move(*batch.group)); !done) {
                fail(write_error(points_out, done.error()));
            }
            if (options.centroid) result.summary.add_points_of(slot.written_points);
        }
        slots.list()[next_to_write++].reset();
        return true;
    };
    const std::size_t max_in_flight = groups_in_flight_per_thread * (options.pool ? options.pool->size() : 1);
    // Hands the records [first, last) to an encoder as one batch.
    auto dispatch = [&](std::vector<core::SpectrumRecord>::iterator first,
                        std::vector<core::SpectrumRecord>::iterator last) {
        if (first == last || failure) return;
        if (result.spectra + static_cast<std::uint64_t>(last - first) > std::numeric_limits<std::uint32_t>::max()) {
            fail(input_path + ": more spectra than a table's 32-bit index can number");
            return;
        }
        auto& slot = *slots.list().emplace_back(std::make_unique<Slot>());
        slot.batch.records.assign(std::make_move_iterator(first), std::make_move_iterator(last));
        slot.batch.first_index = static_cast<std::uint32_t>(result.spectra);
        result.spectra += slot.batch.records.size();
        auto encode = [&slot, &options, &encoding] {
            std::exception_ptr thrown;
            try {
                if (options.centroid)
                    for (core::SpectrumRecord& r : slot.batch.records) {
                        centroid_points(r, options);
                        slot.written_points.add_points(r);
                    }
                encode_points(slot.batch, encoding);
                if (options.spectra_done) *options.spectra_done += slot.batch.rows.size();
            } catch (...) {
                thrown = std::current_exception();
            }
            slot.encoded.set(thrown);
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
        // Records kept and not yet handed over: the batch being filled, [batch_start, kept). An
        // index entry that yields many records (an MRM scan) is spread over several batches.
        std::vector<core::SpectrumRecord> records;
        std::size_t batch_points = 0;
        RecordFilter filter(options, false);  // MRM transitions are rows like any other
        while (!decoder.done() && !failure) {
            const std::size_t first = records.size();
            decoder.decode(records, 1);
            std::size_t kept = first, batch_start = 0;
            for (std::size_t i = first; i < records.size(); ++i) {
                if (filter.settle(records[i]) == Fate::left_out) continue;
                // The tables keep every point; with --centroid they are counted once centroided.
                if (options.centroid) result.summary.add_record(records[i], false);
                else result.summary.add(records[i], false);
                batch_points += records[i].mz.size();
                if (kept != i) records[kept] = std::move(records[i]);
                ++kept;
                if (batch_points >= group_points || kept - batch_start >= group_records) {
                    dispatch(records.begin() + batch_start, records.begin() + kept);
                    batch_start = kept;
                    batch_points = 0;
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
            result.warnings.push_back(std::to_string(decoder.undecoded_entries()) + " of " +
                                      std::to_string(decoder.index_entries()) + " index entries could not be decoded");
        result.summary.index_entries = decoder.index_entries();
        result.summary.undecoded_index_entries = decoder.undecoded_entries();
    }  // the raw file's streams are freed here
    while (write_next(true)) {}
    if (failure) return std::unexpected(*failure);
    if (result.spectra == 0) result.warnings.emplace_back("no spectra to write");
    if (auto done = rows.write(*spectra_table); !done) return std::unexpected(write_error(spectra_out, done.error()));

    const FileDigest& source = options.source_digest->wait();
    if (source.os_error != 0) return std::unexpected("cannot read " + input_path + ": " + os_text::error_text(source.os_error));
    facts.source_sha1 = source.hex;
    Sha1 identity;
    identity.update(facts_json(facts, "", options, result, points));
    facts.run_id = identity.hex_digest().substr(0, 32);
    const std::pair<std::string, std::string> spectra_facts[] = {
        {"tavrik", facts_json(facts, "spectra", options, result, points)}};
    const std::pair<std::string, std::string> points_facts[] = {
        {"tavrik", facts_json(facts, "points", options, result, points)}};
    if (auto done = spectra_table->finish(spectra_facts); !done)
        return std::unexpected(write_error(spectra_out, done.error()));
    if (auto done = points_table->finish(points_facts); !done)
        return std::unexpected(write_error(points_out, done.error()));
    return result;
}

}  // namespace exporter
