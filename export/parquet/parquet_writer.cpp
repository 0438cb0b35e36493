#include "export/parquet/parquet_writer.hpp"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>

#include "export/parquet/thrift_compact.hpp"

namespace parquet {
namespace {

// The format's enumerations, as numbers in its metadata.
namespace physical {
constexpr std::int32_t int32 = 1, float32 = 4, float64 = 5, byte_array = 6;
}
namespace encoding {
constexpr std::int32_t plain = 0, rle = 3, rle_dictionary = 8, byte_stream_split = 9;
}
namespace page_type {
constexpr std::int32_t data = 0, dictionary = 2;
}
namespace converted {
constexpr std::int32_t utf8 = 0, uint8 = 11, uint32 = 13;
}
constexpr std::int32_t required = 0, optional = 1;
constexpr std::int32_t zstd_codec = 6;
constexpr std::string_view magic = "PAR1";

std::int32_t physical_type(ColumnType type) {
    switch (type) {
    case ColumnType::UInt8:
    case ColumnType::UInt32: return physical::int32;
    case ColumnType::Float32: return physical::float32;
    case ColumnType::Float64: return physical::float64;
    case ColumnType::String: return physical::byte_array;
    }
    return physical::byte_array;
}

// Plain encoding of one value: little-endian, integers as 32 bits, strings as their bytes (a
// data page puts their length before them; statistics do not).
void append_plain(std::string& out, std::uint8_t v) {
    const std::uint32_t wide = v;
    out.append(reinterpret_cast<const char*>(&wide), 4);
}
template <typename T>
    requires std::is_arithmetic_v<T>
void append_plain(std::string& out, T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}
void append_plain(std::string& out, std::string_view v) { out.append(v); }

template <typename T>
void append_value(std::string& out, const T& v) {
    if constexpr (std::is_same_v<T, std::string_view>) {
        const auto length = static_cast<std::uint32_t>(v.size());
        out.append(reinterpret_cast<const char*>(&length), 4);
    }
    append_plain(out, v);
}

template <typename T>
std::string plain_text(const T& v) {
    std::string out;
    append_plain(out, v);
    return out;
}

// Running minimum and maximum of the values seen; NaN is left out, and a zero bound is written
// as -0.0 (minimum) or +0.0 (maximum), as readers expect of floats.
template <typename T>
struct Bounds {
    bool any = false;
    T min{}, max{};

    void add(const T& v) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(v)) return;
        }
        if (!any) {
            min = max = v;
            any = true;
        } else if (v < min) {
            min = v;
        } else if (max < v) {
            max = v;
        }
    }
    void merge(const Bounds& other) {
        if (!other.any) return;
        add(other.min);
        add(other.max);
    }
    std::string min_text() const {
        if constexpr (std::is_floating_point_v<T>) {
            if (min == 0) return plain_text(-T{0});
        }
        return plain_text(min);
    }
    std::string max_text() const {
        if constexpr (std::is_floating_point_v<T>) {
            if (max == 0) return plain_text(T{0});
        }
        return plain_text(max);
    }
};

// The RLE / bit-packing hybrid encoding of values below 2^bit_width: runs of eight or more
// equal values as one count and value, everything else bit-packed in groups of eight.
class HybridEncoder {
public:
    HybridEncoder(std::string& out, int bit_width) : out_(out), bit_width_(bit_width) {}

    void encode(std::span<const std::uint32_t> values) {
        std::size_t i = 0;
        while (i < values.size()) {
            std::size_t run = 1;
            while (i + run < values.size() && values[i + run] == values[i]) ++run;
            // Pending literals must fill whole groups of eight before a run can follow them.
            const std::size_t fill = (8 - literals_.size() % 8) % 8;
            if (run >= fill + 8) {
                literals_.insert(literals_.end(), values.begin() + i, values.begin() + i + fill);
                flush_literals();
                repeated(values[i], run - fill);
            } else {
                literals_.insert(literals_.end(), values.begin() + i, values.begin() + i + run);
            }
            i += run;
        }
        flush_literals();  // the last group is padded with zeros, which readers never reach
    }

private:
    void varint(std::uint64_t v) { thrift::append_varint(out_, v); }
    void repeated(std::uint32_t value, std::size_t count) {
        varint(std::uint64_t{count} << 1);
        for (int b = 0; b < (bit_width_ + 7) / 8; ++b) out_ += static_cast<char>(value >> (8 * b));
    }
    void flush_literals() {
        if (literals_.empty()) return;
        literals_.resize((literals_.size() + 7) / 8 * 8, 0);
        varint(((std::uint64_t{literals_.size()} / 8) << 1) | 1);
        std::uint64_t buffer = 0;
        int bits = 0;
        for (const std::uint32_t v : literals_) {
            buffer |= std::uint64_t{v} << bits;
            bits += bit_width_;
            while (bits >= 8) {
                out_ += static_cast<char>(buffer);
                buffer >>= 8;
                bits -= 8;
            }
        }
        literals_.clear();
    }

    std::string& out_;
    int bit_width_;
    std::vector<std::uint32_t> literals_;
};

// zstd, with a context kept per thread.
std::expected<void, std::string> compress(std::string& out, std::string_view in, int level) {
    struct Context {
        ZSTD_CCtx* cctx = ZSTD_createCCtx();
        ~Context() { ZSTD_freeCCtx(cctx); }
    };
    thread_local Context context;
    if (!context.cctx) return std::unexpected("zstd: cannot create a compression context");
    const std::size_t at = out.size();
    out.resize(at + ZSTD_compressBound(in.size()));
    const std::size_t n = ZSTD_compressCCtx(context.cctx, out.data() + at, out.size() - at, in.data(), in.size(), level);
    if (ZSTD_isError(n)) return std::unexpected(std::string("zstd: ") + ZSTD_getErrorName(n));
    out.resize(at + n);
    return {};
}

constexpr std::size_t max_page_bytes = std::numeric_limits<std::int32_t>::max();

// Appends a page, its header then its compressed body; returns the bytes it took.
std::expected<std::uint32_t, std::string> append_page(EncodedRowGroup::Chunk& chunk, std::string_view body,
                                                      std::int32_t type, std::size_t values, std::int32_t value_encoding,
                                                      int level) {
    thread_local std::string compressed;
    compressed.clear();
    if (auto done = compress(compressed, body, level); !done) return std::unexpected(done.error());
    if (body.size() > max_page_bytes || compressed.size() > max_page_bytes)
        return std::unexpected("a page of " + std::to_string(body.size()) + " bytes is too large");
    thrift::CompactWriter header;
    header.field_i32(1, type);
    header.field_i32(2, static_cast<std::int32_t>(body.size()));
    header.field_i32(3, static_cast<std::int32_t>(compressed.size()));
    if (type == page_type::data) {
        header.begin_struct(5);
        header.field_i32(1, static_cast<std::int32_t>(values));
        header.field_i32(2, value_encoding);
        header.field_i32(3, encoding::rle);
        header.field_i32(4, encoding::rle);
        header.end_struct();
    } else {
        header.begin_struct(7);
        header.field_i32(1, static_cast<std::int32_t>(values));
        header.field_i32(2, encoding::plain);
        header.end_struct();
    }
    header.end_struct();
    chunk.bytes.append(header.bytes());
    chunk.bytes.append(compressed);
    chunk.uncompressed_size += header.bytes().size() + body.size();
    return static_cast<std::uint32_t>(header.bytes().size() + compressed.size());
}

// The values of a column as the type they are written as.
template <typename T>
struct ValueHash {
    std::size_t operator()(const T& v) const noexcept {
        if constexpr (std::is_floating_point_v<T>) {
            using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
            return std::hash<Bits>{}(std::bit_cast<Bits>(v));
        } else {
            return std::hash<T>{}(v);
        }
    }
};
template <typename T>
struct ValueEqual {
    bool operator()(const T& a, const T& b) const noexcept {
        if constexpr (std::is_floating_point_v<T>) return std::memcmp(&a, &b, sizeof a) == 0;  // NaN payloads too
        else return a == b;
    }
};

int bit_width(std::size_t largest) { return std::max(1, static_cast<int>(std::bit_width(largest))); }

template <typename T>
std::expected<EncodedRowGroup::Chunk, std::string> encode_chunk(const ColumnSpec& column_spec, std::span<const T> values,
                                                                std::span<const std::uint8_t> present,
                                                                const WriterOptions& options) {
    EncodedRowGroup::Chunk chunk;
    const std::size_t rows = values.size();
    const bool nullable = column_spec.nullable;
    auto has = [&](std::size_t i) { return present.empty() || present[i] != 0; };

    // A dictionary of the distinct values, in order of first appearance, and each row's entry.
    std::vector<std::uint32_t> entries;
    if (column_spec.encoding == Encoding::Dictionary) {
        std::unordered_map<T, std::uint32_t, ValueHash<T>, ValueEqual<T>> position;
        std::string dictionary;
        entries.reserve(rows);
        std::size_t distinct = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            if (!has(i)) continue;
            const auto [at, fresh] = position.try_emplace(values[i], static_cast<std::uint32_t>(distinct));
            if (fresh) {
                append_value(dictionary, values[i]);
                ++distinct;
            }
            entries.push_back(at->second);
        }
        auto size = append_page(chunk, dictionary, page_type::dictionary, distinct, encoding::plain, options.zstd_level);
        if (!size) return std::unexpected(size.error());
        chunk.dictionary_page_size = *size;
    }
    const int entry_width = column_spec.encoding == Encoding::Dictionary
                                ? bit_width(entries.empty() ? 0 : *std::max_element(entries.begin(), entries.end()))
                                : 0;

    Bounds<T> chunk_bounds;
    std::vector<Bounds<T>> page_bounds;
    thread_local std::string body;  // kept by each thread, as are the buffers below
    thread_local std::vector<std::uint32_t> levels;
    // Room for every page, compressed or not (pages never written to are never taken from the
    // system), so that the chunk is not copied as it grows.
    chunk.bytes.reserve(chunk.bytes.size() + ZSTD_compressBound(rows * std::max<std::size_t>(sizeof(T), 8)) +
                        64 * (rows / options.page_rows + 2));
    std::size_t entry_at = 0;  // the dictionary entry of the next value
    for (std::size_t first = 0; first < rows || (rows == 0 && first == 0); first += options.page_rows) {
        const std::size_t count = std::min(options.page_rows, rows - first);
        body.clear();
        Bounds<T> bounds;
        std::uint64_t nulls = 0;
        if (nullable) {
            levels.resize(count);
            for (std::size_t k = 0; k < count; ++k) {
                levels[k] = has(first + k) ? 1 : 0;
                nulls += levels[k] == 0;
            }
            body.resize(4);
            HybridEncoder(body, 1).encode(levels);
            const auto length = static_cast<std::uint32_t>(body.size() - 4);
            std::memcpy(body.data(), &length, 4);
        }
        for (std::size_t k = 0; k < count; ++k)
            if (has(first + k)) bounds.add(values[first + k]);
        std::int32_t value_encoding = encoding::plain;
        if (column_spec.encoding == Encoding::Dictionary) {
            value_encoding = encoding::rle_dictionary;
            const std::size_t present_count = count - nulls;
            body += static_cast<char>(entry_width);
            HybridEncoder(body, entry_width)
                .encode(std::span<const std::uint32_t>(entries).subspan(entry_at, present_count));
            entry_at += present_count;
        } else if (column_spec.encoding == Encoding::ByteStreamSplit && std::is_floating_point_v<T>) {
            value_encoding = encoding::byte_stream_split;
            const std::size_t present_count = count - nulls;
            const std::size_t at = body.size();
            body.resize(at + present_count * sizeof(T));
            char* streams = body.data() + at;
            std::size_t j = 0;
            for (std::size_t k = 0; k < count; ++k) {
                if (nulls != 0 && !has(first + k)) continue;
                unsigned char bytes[sizeof(T)];
                std::memcpy(bytes, &values[first + k], sizeof(T));
                for (std::size_t b = 0; b < sizeof(T); ++b) streams[b * present_count + j] = static_cast<char>(bytes[b]);
                ++j;
            }
        } else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, float> || std::is_same_v<T, std::uint32_t>) {
            if (nulls == 0) {
                body.append(reinterpret_cast<const char*>(values.data() + first), count * sizeof(T));
            } else {
                for (std::size_t k = 0; k < count; ++k)
                    if (has(first + k)) append_value(body, values[first + k]);
            }
        } else {
            for (std::size_t k = 0; k < count; ++k)
                if (has(first + k)) append_value(body, values[first + k]);
        }
        EncodedRowGroup::Page page;
        page.offset = chunk.bytes.size();
        page.first_row = first;
        page.nulls = nulls;
        auto size = append_page(chunk, body, page_type::data, count, value_encoding, options.zstd_level);
        if (!size) return std::unexpected(size.error());
        page.size = *size;
        if (bounds.any) {
            page.has_bounds = true;
            page.min = bounds.min_text();
            page.max = bounds.max_text();
        } else if (nulls < count) {
            chunk.indexable = false;  // values, but none that can be bounded (NaN only)
        }
        chunk.nulls += nulls;
        chunk_bounds.merge(bounds);
        page_bounds.push_back(bounds);
        chunk.pages.push_back(std::move(page));
        if (rows == 0) break;
    }
    if (chunk_bounds.any) {
        chunk.has_bounds = true;
        chunk.min = chunk_bounds.min_text();
        chunk.max = chunk_bounds.max_text();
    }
    // Rising or falling bounds let a reader search the pages instead of reading each.
    bool rising = true, falling = true;
    const Bounds<T>* last = nullptr;
    for (const Bounds<T>& b : page_bounds) {
        if (!b.any) continue;
        if (last) {
            rising = rising && !(b.min < last->min) && !(b.max < last->max);
            falling = falling && !(last->min < b.min) && !(last->max < b.max);
        }
        last = &b;
    }
    chunk.boundary_order = rising ? 1 : falling ? 2 : 0;
    return chunk;
}

void write_statistics(thrift::CompactWriter& w, std::int16_t id, std::uint64_t nulls, bool has_bounds,
                      const std::string& min, const std::string& max) {
    w.begin_struct(id);
    w.field_i64(3, static_cast<std::int64_t>(nulls));
    if (has_bounds) {
        w.field_binary(5, max);
        w.field_binary(6, min);
    }
    w.end_struct();
}

}  // namespace

std::expected<EncodedRowGroup, std::string> encode_row_group(const WriterOptions& options,
                                                             std::span<const ColumnValues> columns) {
    if (columns.size() != options.columns.size())
        return std::unexpected("expected " + std::to_string(options.columns.size()) + " columns, got " +
                               std::to_string(columns.size()));
    if (options.page_rows == 0) return std::unexpected("pages must hold at least one row");
    EncodedRowGroup group;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const ColumnSpec& column_spec = options.columns[c];
        const ColumnValues& column = columns[c];
        auto encoded = std::visit(
            [&](auto values) -> std::expected<EncodedRowGroup::Chunk, std::string> {
                using T = std::remove_cv_t<typename decltype(values)::element_type>;
                constexpr ColumnType expected = std::is_same_v<T, std::uint8_t>    ? ColumnType::UInt8
                                                : std::is_same_v<T, std::uint32_t> ? ColumnType::UInt32
                                                : std::is_same_v<T, float>         ? ColumnType::Float32
                                                : std::is_same_v<T, double>        ? ColumnType::Float64
                                                                                   : ColumnType::String;
                if (column_spec.type != expected) return std::unexpected("column " + column_spec.name + ": values of another type");
                if (c == 0) group.rows = values.size();
                if (values.size() != group.rows)
                    return std::unexpected("column " + column_spec.name + ": " + std::to_string(values.size()) +
                                           " rows, not " + std::to_string(group.rows));
                if (values.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
                    return std::unexpected("a row group of " + std::to_string(values.size()) + " rows is too large");
                if (!column.present.empty() && (!column_spec.nullable || column.present.size() != values.size()))
                    return std::unexpected("column " + column_spec.name + ": presence flags that do not fit");
                if (column_spec.encoding == Encoding::ByteStreamSplit && !std::is_floating_point_v<T>)
                    return std::unexpected("column " + column_spec.name + ": byte stream split is for floats");
                return encode_chunk<T>(column_spec, values, column.present, options);
            },
            column.values);
        if (!encoded) return std::unexpected(encoded.error());
        group.chunks.push_back(std::move(*encoded));
    }
    return group;
}

struct Writer::State {
    struct Chunk {
        std::uint64_t start = 0;
        std::uint64_t data_start = 0;
        bool has_dictionary = false;
        std::uint64_t compressed = 0, uncompressed = 0, nulls = 0;
        bool has_bounds = false;
        std::string min, max;
        std::vector<EncodedRowGroup::Page> pages;  // offsets from the start of the file
        std::int32_t boundary_order = 0;
        bool indexable = true;
        std::uint64_t column_index_at = 0, offset_index_at = 0;
        std::uint32_t column_index_size = 0, offset_index_size = 0;
    };
    struct Group {
        std::uint64_t rows = 0, start = 0, compressed = 0, uncompressed = 0;
        std::vector<Chunk> chunks;
    };

    WriterOptions options;
    Sink sink;
    std::uint64_t position = 0;
    std::uint64_t rows = 0;
    std::vector<Group> groups;
    bool failed = false;

    std::expected<void, std::string> put(std::string_view bytes) {
        if (failed || !sink(bytes)) {
            failed = true;
            return std::unexpected("write failed");
        }
        position += bytes.size();
        return {};
    }
};

Writer::Writer(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;
Writer::~Writer() = default;

const WriterOptions& Writer::options() const noexcept { return state_->options; }
std::uint64_t Writer::rows() const noexcept { return state_->rows; }

std::expected<Writer, std::string> Writer::create(WriterOptions options, Sink sink) {
    if (options.columns.empty()) return std::unexpected("a table needs a column");
    auto state = std::make_unique<State>();
    state->options = std::move(options);
    state->sink = std::move(sink);
    if (auto done = state->put(magic); !done) return std::unexpected(done.error());
    return Writer(std::move(state));
}

std::expected<void, std::string> Writer::append(EncodedRowGroup group) {
    State& s = *state_;
    if (group.chunks.size() != s.options.columns.size()) return std::unexpected("a row group of other columns");
    State::Group meta;
    meta.rows = group.rows;
    meta.start = s.position;
    for (EncodedRowGroup::Chunk& chunk : group.chunks) {
        State::Chunk c;
        c.start = s.position;
        c.has_dictionary = chunk.dictionary_page_size > 0;
        c.data_start = s.position + chunk.dictionary_page_size;
        c.compressed = chunk.bytes.size();
        c.uncompressed = chunk.uncompressed_size;
        c.nulls = chunk.nulls;
        c.has_bounds = chunk.has_bounds;
        c.min = std::move(chunk.min);
        c.max = std::move(chunk.max);
        c.pages = std::move(chunk.pages);
        for (EncodedRowGroup::Page& page : c.pages) page.offset += s.position;
        c.boundary_order = chunk.boundary_order;
        c.indexable = chunk.indexable;
        if (auto done = s.put(chunk.bytes); !done) return done;
        chunk.bytes = std::string();
        meta.compressed += c.compressed;
        meta.uncompressed += c.uncompressed;
        meta.chunks.push_back(std::move(c));
    }
    s.rows += group.rows;
    s.groups.push_back(std::move(meta));
    return {};
}

std::expected<void, std::string> Writer::write(std::span<const ColumnValues> columns) {
    auto group = encode_row_group(state_->options, columns);
    if (!group) return std::unexpected(group.error());
    return append(std::move(*group));
}

std::expected<void, std::string> Writer::finish(std::span<const std::pair<std::string, std::string>> metadata) {
    State& s = *state_;
    const std::vector<ColumnSpec>& columns = s.options.columns;
    // The page index: every column index, then every offset index.
    for (State::Group& group : s.groups) {
        for (State::Chunk& c : group.chunks) {
            if (!c.indexable) continue;
            thrift::CompactWriter w;
            w.begin_list(1, thrift::Type::BoolTrue, c.pages.size());
            for (const auto& page : c.pages) w.element_bool(!page.has_bounds);
            w.begin_list(2, thrift::Type::Binary, c.pages.size());
            for (const auto& page : c.pages) w.element_binary(page.min);
            w.begin_list(3, thrift::Type::Binary, c.pages.size());
            for (const auto& page : c.pages) w.element_binary(page.max);
            w.field_i32(4, c.boundary_order);
            w.begin_list(5, thrift::Type::I64, c.pages.size());
            for (const auto& page : c.pages) w.element_i64(static_cast<std::int64_t>(page.nulls));
            w.end_struct();
            c.column_index_at = s.position;
            c.column_index_size = static_cast<std::uint32_t>(w.bytes().size());
            if (auto done = s.put(w.bytes()); !done) return done;
        }
    }
    for (State::Group& group : s.groups) {
        for (State::Chunk& c : group.chunks) {
            thrift::CompactWriter w;
            w.begin_list(1, thrift::Type::Struct, c.pages.size());
            for (const auto& page : c.pages) {
                w.begin_element_struct();
                w.field_i64(1, static_cast<std::int64_t>(page.offset));
                w.field_i32(2, static_cast<std::int32_t>(page.size));
                w.field_i64(3, static_cast<std::int64_t>(page.first_row));
                w.end_struct();
            }
            w.end_struct();
            c.offset_index_at = s.position;
            c.offset_index_size = static_cast<std::uint32_t>(w.bytes().size());
            if (auto done = s.put(w.bytes()); !done) return done;
        }
    }

    thrift::CompactWriter w;
    w.field_i32(1, 2);
    w.begin_list(2, thrift::Type::Struct, columns.size() + 1);
    w.begin_element_struct();
    w.field_binary(4, "schema");
    w.field_i32(5, static_cast<std::int32_t>(columns.size()));
    w.end_struct();
    for (const ColumnSpec& column : columns) {
        w.begin_element_struct();
        w.field_i32(1, physical_type(column.type));
        w.field_i32(3, column.nullable ? optional : required);
        w.field_binary(4, column.name);
        if (column.type == ColumnType::String || column.type == ColumnType::UInt8 || column.type == ColumnType::UInt32) {
            w.field_i32(6, column.type == ColumnType::String  ? converted::utf8
                           : column.type == ColumnType::UInt8 ? converted::uint8
                                                              : converted::uint32);
            w.begin_struct(10);  // the logical type, a union
            if (column.type == ColumnType::String) {
                w.begin_struct(1);
                w.end_struct();
            } else {
                w.begin_struct(10);
                w.field_i8(1, column.type == ColumnType::UInt8 ? 8 : 32);
                w.field_bool(2, false);
                w.end_struct();
            }
            w.end_struct();
        }
        w.end_struct();
    }
    w.field_i64(3, static_cast<std::int64_t>(s.rows));
    w.begin_list(4, thrift::Type::Struct, s.groups.size());
    for (std::size_t g = 0; g < s.groups.size(); ++g) {
        const State::Group& group = s.groups[g];
        w.begin_element_struct();
        w.begin_list(1, thrift::Type::Struct, group.chunks.size());
        for (std::size_t k = 0; k < group.chunks.size(); ++k) {
            const State::Chunk& c = group.chunks[k];
            const ColumnSpec& column = columns[k];
            w.begin_element_struct();
            w.field_i64(2, static_cast<std::int64_t>(c.start));
            w.begin_struct(3);
            w.field_i32(1, physical_type(column.type));
            const std::int32_t value_encoding = column.encoding == Encoding::Dictionary ? encoding::rle_dictionary
                                                : column.encoding == Encoding::ByteStreamSplit
                                                    ? encoding::byte_stream_split
                                                    : encoding::plain;
            if (value_encoding == encoding::plain) {
                w.begin_list(2, thrift::Type::I32, 2);
                w.element_i32(encoding::plain);
                w.element_i32(encoding::rle);
            } else {
                w.begin_list(2, thrift::Type::I32, 3);
                w.element_i32(encoding::plain);
                w.element_i32(encoding::rle);
                w.element_i32(value_encoding);
            }
            w.begin_list(3, thrift::Type::Binary, 1);
            w.element_binary(column.name);
            w.field_i32(4, zstd_codec);
            w.field_i64(5, static_cast<std::int64_t>(group.rows));
            w.field_i64(6, static_cast<std::int64_t>(c.uncompressed));
            w.field_i64(7, static_cast<std::int64_t>(c.compressed));
            w.field_i64(9, static_cast<std::int64_t>(c.data_start));
            if (c.has_dictionary) w.field_i64(11, static_cast<std::int64_t>(c.start));
            write_statistics(w, 12, c.nulls, c.has_bounds, c.min, c.max);
            w.end_struct();
            w.field_i64(4, static_cast<std::int64_t>(c.offset_index_at));
            w.field_i32(5, static_cast<std::int32_t>(c.offset_index_size));
            if (c.indexable) {
                w.field_i64(6, static_cast<std::int64_t>(c.column_index_at));
                w.field_i32(7, static_cast<std::int32_t>(c.column_index_size));
            }
            w.end_struct();
        }
        w.field_i64(2, static_cast<std::int64_t>(group.uncompressed));
        w.field_i64(3, static_cast<std::int64_t>(group.rows));
        w.field_i64(5, static_cast<std::int64_t>(group.start));
        w.field_i64(6, static_cast<std::int64_t>(group.compressed));
        w.end_struct();
    }
    if (!metadata.empty()) {
        w.begin_list(5, thrift::Type::Struct, metadata.size());
        for (const auto& [key, value] : metadata) {
            w.begin_element_struct();
            w.field_binary(1, key);
            w.field_binary(2, value);
            w.end_struct();
        }
    }
    w.field_binary(6, "tavrik");
    w.begin_list(7, thrift::Type::Struct, columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
        w.begin_element_struct();  // ColumnOrder, a union
        w.begin_struct(1);         // TypeDefinedOrder, empty
        w.end_struct();
        w.end_struct();
    }
    w.end_struct();
    const auto footer_size = static_cast<std::uint32_t>(w.bytes().size());
    if (auto done = s.put(w.bytes()); !done) return done;
    std::string tail(reinterpret_cast<const char*>(&footer_size), 4);
    tail += magic;
    return s.put(tail);
}

}  // namespace parquet
