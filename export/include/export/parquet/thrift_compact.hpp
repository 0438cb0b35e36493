// The Thrift compact protocol, write side only: the encoding of the metadata structures of a
// Parquet file (page headers, the footer, the page index). A struct is written field by field,
// in increasing field id order, and ended with end_struct().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace thrift {

// The compact protocol's type codes, as they stand in field headers and list headers.
enum class Type : std::uint8_t {
    BoolTrue = 1,
    BoolFalse = 2,
    Byte = 3,
    I16 = 4,
    I32 = 5,
    I64 = 6,
    Double = 7,
    Binary = 8,
    List = 9,
    Set = 10,
    Map = 11,
    Struct = 12,
};

// An unsigned integer as a varint (7 bits a byte, least significant first, the high bit set on
// every byte but the last): the compact protocol's integers and lengths, and the run headers of
// Parquet's RLE/bit-packed hybrid encoding.
inline void append_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

class CompactWriter {
public:
    // Fields of the struct being written.
    void field_i32(std::int16_t id, std::int32_t value);
    void field_i64(std::int16_t id, std::int64_t value);
    void field_i8(std::int16_t id, std::int8_t value);
    void field_bool(std::int16_t id, bool value);
    void field_binary(std::int16_t id, std::string_view value);
    // A struct field (or union member): its fields follow, then end_struct().
    void begin_struct(std::int16_t id);
    // A list field of `size` elements of `element`; the elements follow, each with one of the
    // element_* calls (or begin_element_struct() ... end_struct() for structs).
    void begin_list(std::int16_t id, Type element, std::size_t size);

    void element_i32(std::int32_t value);
    void element_i64(std::int64_t value);
    void element_bool(bool value);
    void element_binary(std::string_view value);
    void begin_element_struct();

    // Ends the struct begun last, or the outermost one.
    void end_struct();

    const std::string& bytes() const noexcept { return out_; }
    std::string take() noexcept { return std::move(out_); }

private:
    void field_header(std::int16_t id, Type type);
    void varint(std::uint64_t value) { append_varint(out_, value); }
    void zigzag(std::int64_t value) { varint((static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63)); }

    std::string out_;
    std::int16_t last_id_ = 0;
    std::vector<std::int16_t> outer_ids_;  // the last field id of each enclosing struct
};

}  // namespace thrift
