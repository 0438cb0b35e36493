// The two Parquet tables through the pipeline: NAME.spectra.parquet, one row per spectrum, and
// NAME.points.parquet, one row per point (spectrum_index, mz, intensity). Each batch's points
// are encoded as a row group on any thread and appended in order; the spectra rows are gathered
// and written in row groups of their own; both files end with the run's facts.
#include <array>
#include <limits>
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
#include "export/pipeline/writers.hpp"
#include "os_text.hpp"

namespace exporter {
namespace {

// Rows of the spectra table gathered before they are written as a row group.
constexpr std::size_t spectra_group_rows = std::size_t{1} << 16;

// One row of the spectra table, as an encoder works it out from a record.
struct SpectrumRow {
    std::string native_id;
    std::uint8_t ms_level = 0;
    double retention_time_sec = 0.0;
    bool centroid = false;
    SpectrumType spectrum_type = SpectrumType::ms1;
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
    row.spectrum_type = spectrum_type_of(r);
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
        type_.push_back(spectrum_type_text(row.spectrum_type));
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
struct PointsBatch : FormatWriter::Encoded {
    std::vector<core::SpectrumRecord> records;
    std::uint64_t first_index = 0;
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
        index.insert(index.end(), r.mz.size(), static_cast<std::uint32_t>(batch.first_index + i));
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

struct RunFacts {
    // The same in both tables: the first half of the SHA-1 of the facts without it (the raw
    // file's SHA-1, the options, the version, the counts). Tables of the same conversion of the
    // same raw file share it, and only those, while the output stays the same for every run.
    std::string run_id;
    std::string source_name;
    std::string source_sha1;
};

// The file-level facts, as JSON, for the key-value metadata of `table`.
std::string facts_json(const RunFacts& facts, std::string_view table, const TablesRun& run,
                       const ExportResult& result, std::uint64_t points) {
    const Selection& selection = run.selection;
    std::string out = "{\"table\": ";
    append_json_string(out, table);
    out += ", \"run_id\": ";
    append_json_string(out, facts.run_id);
    out += ", \"source\": {\"name\": ";
    append_json_string(out, facts.source_name);
    out += ", \"sha1\": ";
    append_json_string(out, facts.source_sha1);
    out += "}, \"layout\": ";
    append_json_string(out, run.layout);
    out += ", \"acquired_at\": ";
    if (run.acquired_at) append_json_string(out, *run.acquired_at);
    else out += "null";
    out += ", \"software\": {\"name\": \"tavrik\", \"version\": ";
    append_json_string(out, software_version());
    out += "}, \"options\": {\"ms_level\": [" + std::to_string(selection.levels.lowest) + ", ";
    out += selection.levels.highest == std::numeric_limits<std::uint32_t>::max()
               ? std::string("null")
               : std::to_string(selection.levels.highest);
    out += "], \"srm_as_spectra\": ";
    out += run.srm_as_spectra ? "true" : "false";
    out += ", \"rt\": " + json_window(selection.retention_time) + ", \"mz\": " + json_window(selection.mz);
    out += ", \"centroid\": ";
    out += run.processing.centroid ? "true" : "false";
    out += ", \"centroid_min_intensity\": " + (run.processing.centroid ? json_number(run.processing.centroid_min_intensity) : "null");
    out += "}, \"spectra\": " + std::to_string(result.spectra) + ", \"points\": " + std::to_string(points);
    out += ", \"warnings\": [";
    for (std::size_t i = 0; i < result.warnings.size(); ++i) {
        if (i > 0) out += ", ";
        append_json_string(out, result.warnings[i]);
    }
    out += "]}";
    return out;
}

class TablesWriter final : public FormatWriter {
public:
    TablesWriter(OutputFile& spectra, OutputFile& points, TablesRun run, SourceFile source)
        : spectra_out_(spectra), points_out_(points), run_(std::move(run)), source_(std::move(source)) {}

    // A row group of the points table holds the points of whole spectra: records are gathered
    // until they hold this many points (or this many records), so that a group is about a
    // million points unless one spectrum alone is larger.
    BatchLimits batch_limits() const override { return {std::size_t{1} << 20, std::size_t{1} << 13, 2}; }

    // MRM transitions are rows like any other.
    Route route(const core::SpectrumRecord&) const override { return Route::spectrum; }

    std::expected<void, std::string> begin(const Census*, const std::vector<std::string>&) override {
        if (!source_.digest) return std::unexpected("internal error: no digest of " + source_.path);
        auto spectra = parquet::Writer::create(spectra_options(), [this](std::string_view b) { return spectra_out_.write(b); });
        if (!spectra) return std::unexpected(write_error(spectra_out_));
        spectra_table_.emplace(std::move(*spectra));
        auto points = parquet::Writer::create(points_options(), [this](std::string_view b) { return points_out_.write(b); });
        if (!points) return std::unexpected(write_error(points_out_));
        points_table_.emplace(std::move(*points));
        return {};
    }

    std::unique_ptr<Encoded> encode(RecordBatch records) const override {
        auto batch = std::make_unique<PointsBatch>();
        batch->records = std::move(records.records);
        batch->first_index = records.first_index;
        encode_points(*batch, points_table_->options());
        return batch;
    }

    std::expected<void, std::string> append(Encoded& encoded) override {
        PointsBatch& batch = static_cast<PointsBatch&>(encoded);
        if (batch.first_index + batch.rows.size() > std::numeric_limits<std::uint32_t>::max())
            return std::unexpected(source_.path + ": more spectra than a table's 32-bit index can number");
        if (!batch.group) return std::unexpected("cannot encode the points of " + source_.path + ": " + batch.group.error());
        for (std::size_t i = 0; i < batch.rows.size(); ++i) {
            SpectrumRow& row = batch.rows[i];
            const auto index = static_cast<std::uint32_t>(batch.first_index + i);
            std::optional<std::uint32_t> precursor;
            if (row.precursor_ref)
                if (const auto found = ms1_rows_.find(*row.precursor_ref); found != ms1_rows_.end())
                    precursor = found->second;
            if (row.spectrum_type == SpectrumType::ms1) ms1_rows_.insert_or_assign(row.native_id, index);
            points_ += row.point_count;
            rows_.add(index, row, precursor);
            if (rows_.size() < spectra_group_rows) continue;
            if (auto done = rows_.write(*spectra_table_); !done) return std::unexpected(write_error(spectra_out_, done.error()));
        }
        if (auto done = points_table_->append(std::move(*batch.group)); !done)
            return std::unexpected(write_error(points_out_, done.error()));
        return {};
    }

    std::expected<void, std::string> decoded(const Census&, ExportResult& result) override {
        if (result.spectra == 0) result.warnings.emplace_back("no spectra to write");
        return {};
    }

    std::expected<void, std::string> finish(ExportResult& result) override {
        if (auto done = rows_.write(*spectra_table_); !done) return std::unexpected(write_error(spectra_out_, done.error()));
        const FileDigest& source = source_.digest->wait();
        if (source.os_error != 0)
            return std::unexpected("cannot read " + source_.path + ": " + os_text::error_text(source.os_error));
        RunFacts facts{{}, file_name_of(source_.path), source.hex};
        Sha1 identity;
        identity.update(facts_json(facts, "", run_, result, points_));
        facts.run_id = identity.hex_digest().substr(0, 32);
        const std::pair<std::string, std::string> spectra_facts[] = {
            {"tavrik", facts_json(facts, "spectra", run_, result, points_)}};
        const std::pair<std::string, std::string> points_facts[] = {
            {"tavrik", facts_json(facts, "points", run_, result, points_)}};
        if (auto done = spectra_table_->finish(spectra_facts); !done)
            return std::unexpected(write_error(spectra_out_, done.error()));
        if (auto done = points_table_->finish(points_facts); !done)
            return std::unexpected(write_error(points_out_, done.error()));
        return {};
    }

private:
    OutputFile& spectra_out_;
    OutputFile& points_out_;
    const TablesRun run_;
    const SourceFile source_;
    std::optional<parquet::Writer> spectra_table_, points_table_;
    SpectraRows rows_;
    std::unordered_map<std::string, std::uint32_t> ms1_rows_;  // the rows a precursor can name
    std::uint64_t points_ = 0;
};

}  // namespace

std::unique_ptr<FormatWriter> tables_writer(OutputFile& spectra, OutputFile& points, TablesRun run, SourceFile source) {
    return std::make_unique<TablesWriter>(spectra, points, std::move(run), std::move(source));
}

}  // namespace exporter
