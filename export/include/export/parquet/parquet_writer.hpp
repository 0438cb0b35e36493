// A writer of Parquet files of flat columns: unsigned integers, floats and UTF-8 strings, each
// required or nullable. Row groups are encoded (pages, zstd, statistics) apart from the writer,
// on any thread, and then appended to the file in order, so that a large table streams out a
// row group at a time; the page index (column and offset indexes) and the footer follow the
// last. Errors are returned as values, a message each.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace parquet {

// What a column holds, as readers see it.
enum class ColumnType : std::uint8_t { UInt8, UInt32, Float32, Float64, String };

// How its values are laid out in data pages, before compression.
enum class Encoding : std::uint8_t {
    Plain,
    Dictionary,      // a dictionary page of the distinct values, then run-length coded indexes
    ByteStreamSplit  // floats only: the first bytes of every value, then the second bytes, ...
};

struct ColumnSpec {
    std::string name;
    ColumnType type;
    bool nullable = false;
    Encoding encoding = Encoding::Plain;
};

struct WriterOptions {
    std::vector<ColumnSpec> columns;
    int zstd_level = 1;
    std::size_t page_rows = std::size_t{1} << 16;  // values in a data page, at most
};

// One column's values for a row group: a span of the column type's values (uint8_t, uint32_t,
// float, double or std::string_view) and, for a nullable column, whether each row has a value
// (non-zero) or is null; the value of a null row is ignored. An empty `present` means every row
// has one.
struct ColumnValues {
    std::variant<std::span<const std::uint8_t>, std::span<const std::uint32_t>, std::span<const float>,
                 std::span<const double>, std::span<const std::string_view>>
        values;
    std::span<const std::uint8_t> present;
};

// A row group ready to be appended: the bytes of each column chunk and what the footer and the
// page index will say about them.
struct EncodedRowGroup {
    struct Page {
        std::uint64_t offset = 0;  // from the start of the column chunk
        std::uint32_t size = 0;    // header and compressed body
        std::uint64_t first_row = 0;
        std::uint64_t nulls = 0;
        bool has_bounds = false;  // false when the page holds only nulls (or NaN)
        std::string min, max;     // plain-encoded
    };
    struct Chunk {
        std::string bytes;
        std::uint64_t dictionary_page_size = 0;  // 0 without one; it comes first
        std::uint64_t uncompressed_size = 0;
        std::uint64_t nulls = 0;
        bool has_bounds = false;
        std::string min, max;
        std::vector<Page> pages;
        // Whether the pages' bounds rise or fall from page to page (0: neither, 1: rising,
        // 2: falling), and whether a column index can be written (every page with values has
        // bounds).
        std::int32_t boundary_order = 0;
        bool indexable = true;
    };
    std::uint64_t rows = 0;
    std::vector<Chunk> chunks;
};

// Encodes one row group: every column must have the same number of rows, at most 2^31 - 1.
// Pure: may run on any thread, for any row groups at once.
std::expected<EncodedRowGroup, std::string> encode_row_group(const WriterOptions& options,
                                                             std::span<const ColumnValues> columns);

// Where the file's bytes go, in order; false when a write failed.
using Sink = std::function<bool(std::string_view)>;

class Writer {
public:
    // Writes the file's leading magic bytes into `sink`.
    static std::expected<Writer, std::string> create(WriterOptions options, Sink sink);

    Writer(Writer&&) noexcept;
    Writer& operator=(Writer&&) noexcept;
    ~Writer();

    // Appends a row group encoded with the same options.
    std::expected<void, std::string> append(EncodedRowGroup group);
    // Encodes and appends, on the calling thread.
    std::expected<void, std::string> write(std::span<const ColumnValues> columns);
    // Writes the page index and the footer with the key-value metadata `metadata`; the file is
    // complete once this returns without an error.
    std::expected<void, std::string> finish(std::span<const std::pair<std::string, std::string>> metadata);

    const WriterOptions& options() const noexcept;
    std::uint64_t rows() const noexcept;

private:
    struct State;
    explicit Writer(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace parquet
