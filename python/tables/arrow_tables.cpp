#include "arrow_tables.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "export/formats/document.hpp"
#include "export/formats/table_schema.hpp"

namespace tavrik_tables {
namespace {

// A column of a table as the Arrow interface describes it.
struct ColumnSchema {
    const char* name;    // static text
    const char* format;  // static text
    bool nullable;
};

const char* arrow_format(parquet::ColumnType type) noexcept {
    switch (type) {
    case parquet::ColumnType::UInt8: return "C";
    case parquet::ColumnType::UInt32: return "I";
    case parquet::ColumnType::Float32: return "f";
    case parquet::ColumnType::Float64: return "g";
    case parquet::ColumnType::String: return "u";
    }
    return "n";
}

// The names of table_schema.hpp are literals, so their text ends in a null character.
template <std::size_t N>
std::vector<ColumnSchema> columns_of(const std::array<exporter::TableColumn, N>& columns) {
    std::vector<ColumnSchema> out;
    for (const exporter::TableColumn& c : columns) out.push_back({c.name.data(), arrow_format(c.type), c.nullable});
    return out;
}

// One row per measurement of an SRM chromatogram, chromatogram by chromatogram, each in
// retention-time order.
const std::vector<ColumnSchema>& chromatogram_columns() {
    static const std::vector<ColumnSchema> columns = {
        {"chromatogram_index", "I", false}, {"precursor_mz", "g", false}, {"product_mz", "g", false},
        {"retention_time_sec", "g", false}, {"intensity", "f", false}};
    return columns;
}

const std::vector<ColumnSchema>& columns_of(Table table) {
    static const std::vector<ColumnSchema> spectra = columns_of(exporter::spectra_table_columns);
    static const std::vector<ColumnSchema> points = columns_of(exporter::points_table_columns);
    switch (table) {
    case Table::spectra: return spectra;
    case Table::points: return points;
    case Table::chromatograms: break;
    }
    return chromatogram_columns();
}

// --- Schemas ---------------------------------------------------------------------------------

// A column's schema owns nothing (its texts are static), so that a consumer may move it out of
// its parent; the parent owns the array of pointers to its children and the children's structs.
void release_column_schema(ArrowSchema* schema) { schema->release = nullptr; }

struct StructSchema {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
};

void release_struct_schema(ArrowSchema* schema) {
    for (std::int64_t c = 0; c < schema->n_children; ++c)
        if (ArrowSchema* child = schema->children[c]; child->release) child->release(child);
    delete static_cast<StructSchema*>(schema->private_data);
    schema->release = nullptr;
}

void fill_schema(const std::vector<ColumnSchema>& columns, ArrowSchema* out) {
    auto owned = std::make_unique<StructSchema>();
    owned->children.resize(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        owned->children[c] = ArrowSchema{columns[c].format, columns[c].name, nullptr,
                                         columns[c].nullable ? ARROW_FLAG_NULLABLE : 0, 0, nullptr, nullptr,
                                         release_column_schema, nullptr};
        owned->pointers.push_back(&owned->children[c]);
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(columns.size()), owned->pointers.data(),
                       nullptr, release_struct_schema, owned.get()};
    owned.release();
}

// --- Record batches --------------------------------------------------------------------------

// What the columns of one batch point into: memory it made for itself, and what it borrows
// (the run, or a stream's chromatogram rows), kept alive until the last column is released.
struct BatchMemory {
    std::shared_ptr<const void> borrowed;
    std::vector<std::unique_ptr<std::uint64_t[]>> made;

    // Zeroed memory for `bytes` bytes, aligned to 8.
    void* make(std::size_t bytes) {
        made.push_back(std::make_unique<std::uint64_t[]>(bytes / 8 + 1));
        return made.back().get();
    }
    template <typename T>
    T* make_array(std::size_t n) {
        return static_cast<T*>(make(n * sizeof(T)));
    }
};

// One column of a batch, as it is handed out.
struct Column {
    std::int64_t null_count = 0;
    std::int64_t n_buffers = 2;
    const void* buffers[3] = {nullptr, nullptr, nullptr};
};

// What a column's array owns: its buffer pointers and a share of the batch's memory. Each
// column owns its own, so that a consumer may move one out and release the rest.
struct ColumnArray {
    std::shared_ptr<BatchMemory> memory;
    const void* buffers[3];
};

void release_column_array(ArrowArray* array) {
    delete static_cast<ColumnArray*>(array->private_data);
    array->release = nullptr;
}

struct StructArray {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    const void* buffers[1] = {nullptr};
};

void release_struct_array(ArrowArray* array) {
    for (std::int64_t c = 0; c < array->n_children; ++c)
        if (ArrowArray* child = array->children[c]; child->release) child->release(child);
    delete static_cast<StructArray*>(array->private_data);
    array->release = nullptr;
}

void fill_batch(std::int64_t rows, std::span<const Column> columns, const std::shared_ptr<BatchMemory>& memory,
                ArrowArray* out) {
    auto owned = std::make_unique<StructArray>();
    owned->children.resize(columns.size());
    // Each child is given its owner as it is made, so that a failure part way leaks nothing.
    auto release_made = [&](std::size_t made) {
        for (std::size_t c = 0; c < made; ++c) release_column_array(&owned->children[c]);
    };
    for (std::size_t c = 0; c < columns.size(); ++c) {
        ColumnArray* column;
        try {
            column = new ColumnArray{memory, {columns[c].buffers[0], columns[c].buffers[1], columns[c].buffers[2]}};
        } catch (...) {
            release_made(c);
            throw;
        }
        owned->children[c] = ArrowArray{rows, columns[c].null_count, 0, columns[c].n_buffers, 0, column->buffers,
                                        nullptr, nullptr, release_column_array, column};
    }
    try {
        for (ArrowArray& child : owned->children) owned->pointers.push_back(&child);
    } catch (...) {
        release_made(columns.size());
        throw;
    }
    *out = ArrowArray{rows, 0, 0, 1, static_cast<std::int64_t>(columns.size()), owned->buffers,
                      owned->pointers.data(), nullptr, release_struct_array, owned.get()};
    owned.release();
}

// A column of values that are all present.
template <typename T>
Column values_column(const T* values) {
    static const std::uint64_t none = 0;  // a valid address for the values of an empty column
    return Column{0, 2, {nullptr, values ? static_cast<const void*>(values) : &none, nullptr}};
}

// A column of values, each present where `present` says so.
template <typename T>
Column nullable_column(BatchMemory& memory, const T* values, const std::vector<bool>& present) {
    Column column = values_column(values);
    std::int64_t nulls = 0;
    for (const bool p : present) nulls += !p;
    if (nulls == 0) return column;
    auto* bits = memory.make_array<std::uint8_t>(present.size() / 8 + 1);
    for (std::size_t i = 0; i < present.size(); ++i)
        if (present[i]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    column.null_count = nulls;
    column.buffers[0] = bits;
    return column;
}

// A column of texts.
class TextColumn {
public:
    explicit TextColumn(std::size_t rows) { offsets_.reserve(rows + 1); offsets_.push_back(0); }
    void add(std::string_view text) {
        chars_.append(text);
        offsets_.push_back(static_cast<std::int32_t>(chars_.size()));
    }
    std::size_t chars() const noexcept { return chars_.size(); }
    Column column(BatchMemory& memory) const {
        auto* offsets = memory.make_array<std::int32_t>(offsets_.size());
        std::memcpy(offsets, offsets_.data(), offsets_.size() * sizeof(std::int32_t));
        auto* chars = memory.make_array<char>(chars_.size());
        std::memcpy(chars, chars_.data(), chars_.size());
        return Column{0, 3, {nullptr, offsets, chars}};
    }

private:
    std::vector<std::int32_t> offsets_;
    std::string chars_;
};

// Rows of the spectra table in one batch, at most; a batch also ends before its texts could
// outgrow their 32-bit offsets.
constexpr std::size_t spectra_batch_rows = std::size_t{1} << 16;
constexpr std::size_t batch_text_bytes = std::size_t{1} << 30;
// Rows of the chromatograms table in one batch, at most.
constexpr std::size_t chromatogram_batch_rows = std::size_t{1} << 20;

// The spectra table's rows from `first` on, as many as one batch takes; returns the end.
std::size_t spectra_batch(const std::shared_ptr<const RunData>& run, std::size_t first, ArrowArray* out) {
    const RunData& r = *run;
    const std::size_t end_limit = std::min(r.size(), first + spectra_batch_rows);
    const std::size_t capacity = end_limit - first;
    auto memory = std::make_shared<BatchMemory>();
    memory->borrowed = run;
    BatchMemory& m = *memory;
    auto* index = m.make_array<std::uint32_t>(capacity);
    auto* ms_level = m.make_array<std::uint8_t>(capacity);
    auto* time = m.make_array<double>(capacity);
    auto* point_count = m.make_array<std::uint32_t>(capacity);
    auto* tic = m.make_array<double>(capacity);
    auto* base_mz = m.make_array<double>(capacity);
    auto* base_intensity = m.make_array<float>(capacity);
    auto* lowest = m.make_array<double>(capacity);
    auto* highest = m.make_array<double>(capacity);
    auto* precursor = m.make_array<std::uint32_t>(capacity);
    auto* selected = m.make_array<double>(capacity);
    auto* isolation = m.make_array<double>(capacity);
    TextColumn ids(capacity), representation(capacity), type(capacity);
    std::vector<bool> has_points, has_precursor, has_selected, has_isolation;
    std::size_t end = first;
    for (; end < end_limit; ++end) {
        const SpectrumFacts& f = r.spectra[end];
        if (end > first && ids.chars() + f.native_id.size() > batch_text_bytes) break;
        const std::size_t k = end - first;
        const std::uint64_t points = r.points[end].count;
        index[k] = static_cast<std::uint32_t>(end);
        ids.add(f.native_id);
        ms_level[k] = f.ms_level;
        time[k] = f.retention_time_sec;
        representation.add(f.centroid ? exporter::centroid_representation : exporter::profile_representation);
        type.add(exporter::spectrum_type_text(f.spectrum_type));
        point_count[k] = static_cast<std::uint32_t>(points);
        if (points > 0) {
            // As every format of the converter works them out.
            const exporter::SpectrumFigures figures =
                exporter::figures_of(std::span<const double>(r.mz(end), points), std::span<const float>(r.intensity(end), points));
            tic[k] = figures.total_ion_current;
            base_mz[k] = r.mz(end)[figures.base_peak];
            base_intensity[k] = r.intensity(end)[figures.base_peak];
            lowest[k] = figures.lowest_mz;
            highest[k] = figures.highest_mz;
        }
        has_points.push_back(points > 0);
        precursor[k] = f.precursor_index;
        has_precursor.push_back(f.has_precursor_index);
        selected[k] = f.selected_ion_mz;
        has_selected.push_back(f.has_selected_ion_mz);
        isolation[k] = f.isolation_target_mz;
        has_isolation.push_back(f.has_isolation_target_mz);
    }
    const Column columns[] = {
        values_column(index),
        ids.column(m),
        values_column(ms_level),
        values_column(time),
        representation.column(m),
        type.column(m),
        values_column(point_count),
        values_column(tic),
        nullable_column(m, base_mz, has_points),
        nullable_column(m, base_intensity, has_points),
        nullable_column(m, lowest, has_points),
        nullable_column(m, highest, has_points),
        nullable_column(m, precursor, has_precursor),
        nullable_column(m, selected, has_selected),
        nullable_column(m, isolation, has_isolation),
    };
    static_assert(std::size(columns) == exporter::spectra_table_columns.size());
    fill_batch(static_cast<std::int64_t>(end - first), columns, memory, out);
    return end;
}

// The points of block `b` as one batch: its m/z and intensity columns are the block itself.
void points_batch(const std::shared_ptr<const RunData>& run, std::size_t b, ArrowArray* out) {
    const PointBlock& block = run->blocks[b];
    auto memory = std::make_shared<BatchMemory>();
    memory->borrowed = run;
    auto* index = memory->make_array<std::uint32_t>(block.size);
    for (std::size_t record = block.first_record; record < block.end_record; ++record) {
        const PointSpan& s = run->points[record];
        std::fill_n(index + s.offset, s.count, static_cast<std::uint32_t>(record));
    }
    const Column columns[] = {values_column(index), values_column(block.mz()), values_column(block.intensity())};
    static_assert(std::size(columns) == exporter::points_table_columns.size());
    fill_batch(static_cast<std::int64_t>(block.size), columns, memory, out);
}

// The chromatograms table, made once per stream.
struct ChromatogramRows {
    std::vector<std::uint32_t> index;
    std::vector<double> precursor_mz, product_mz, time_sec;
    std::vector<float> intensity;
};

std::shared_ptr<const ChromatogramRows> chromatogram_rows(const RunData& run) {
    auto rows = std::make_shared<ChromatogramRows>();
    const std::size_t n = run.transitions.measurements();
    rows->index.reserve(n);
    rows->precursor_mz.reserve(n);
    rows->product_mz.reserve(n);
    rows->time_sec.reserve(n);
    rows->intensity.reserve(n);
    std::uint32_t chromatogram = 0;
    run.transitions.for_each([&](const exporter::TransitionChromatograms::Chromatogram& c) {
        rows->index.insert(rows->index.end(), c.times_sec.size(), chromatogram++);
        rows->precursor_mz.insert(rows->precursor_mz.end(), c.times_sec.size(), c.precursor_mz);
        rows->product_mz.insert(rows->product_mz.end(), c.times_sec.size(), c.product_mz);
        rows->time_sec.insert(rows->time_sec.end(), c.times_sec.begin(), c.times_sec.end());
        rows->intensity.insert(rows->intensity.end(), c.intensities.begin(), c.intensities.end());
    });
    return rows;
}

void chromatograms_batch(const std::shared_ptr<const ChromatogramRows>& rows, std::size_t first, std::size_t end,
                         ArrowArray* out) {
    auto memory = std::make_shared<BatchMemory>();
    memory->borrowed = rows;
    const ChromatogramRows& r = *rows;
    const Column columns[] = {values_column(r.index.data() + first), values_column(r.precursor_mz.data() + first),
                              values_column(r.product_mz.data() + first), values_column(r.time_sec.data() + first),
                              values_column(r.intensity.data() + first)};
    fill_batch(static_cast<std::int64_t>(end - first), columns, memory, out);
}

// --- Streams ---------------------------------------------------------------------------------

struct StreamState {
    std::shared_ptr<const RunData> run;
    Table table;
    std::size_t next = 0;  // the next block (points) or row (the others)
    std::shared_ptr<const ChromatogramRows> chromatograms;
    std::string error;
};

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

// Runs `body`, turning an exception into an error number and the stream's last error.
template <typename Body>
int reporting(ArrowArrayStream* stream, Body body) noexcept {
    try {
        body();
        return 0;
    } catch (const std::bad_alloc&) {
        try { state_of(stream).error = "out of memory"; } catch (...) {}
        return ENOMEM;
    } catch (const std::exception& e) {
        try { state_of(stream).error = e.what(); } catch (...) {}
        return EIO;
    } catch (...) {
        return EIO;
    }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    return reporting(stream, [&] { export_schema(state_of(stream).table, out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    return reporting(stream, [&] {
        StreamState& s = state_of(stream);
        const RunData& run = *s.run;
        out->release = nullptr;  // the end of the stream, unless a batch follows
        switch (s.table) {
        case Table::spectra:
            if (s.next < run.size()) s.next = spectra_batch(s.run, s.next, out);
            break;
        case Table::points:
            if (s.next < run.blocks.size()) points_batch(s.run, s.next++, out);
            break;
        case Table::chromatograms:
            if (!s.chromatograms) s.chromatograms = chromatogram_rows(run);
            if (const std::size_t rows = s.chromatograms->index.size(); s.next < rows) {
                const std::size_t end = std::min(rows, s.next + chromatogram_batch_rows);
                chromatograms_batch(s.chromatograms, s.next, end, out);
                s.next = end;
            }
            break;
        }
    });
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    const std::string& error = state_of(stream).error;
    return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

const char* table_name(Table table) noexcept {
    switch (table) {
    case Table::spectra: return "spectra";
    case Table::points: return "points";
    case Table::chromatograms: break;
    }
    return "chromatograms";
}

std::uint64_t table_rows(const RunData& run, Table table) noexcept {
    switch (table) {
    case Table::spectra: return run.size();
    case Table::points: return run.total_points();
    case Table::chromatograms: break;
    }
    return run.transitions.measurements();
}

void export_schema(Table table, ArrowSchema* out) { fill_schema(columns_of(table), out); }

void export_stream(std::shared_ptr<const RunData> run, Table table, ArrowArrayStream* out) {
    auto state = std::make_unique<StreamState>(StreamState{std::move(run), table, 0, nullptr, {}});
    *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, stream_release, state.get()};
    state.release();
}

}  // namespace tavrik_tables
