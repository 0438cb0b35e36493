#include "export/parquet/thrift_compact.hpp"

namespace thrift {

void CompactWriter::field_header(std::int16_t id, Type type) {
    const int delta = id - last_id_;
    if (delta > 0 && delta <= 15) {
        out_ += static_cast<char>((delta << 4) | static_cast<int>(type));
    } else {
        out_ += static_cast<char>(type);
        zigzag(id);
    }
    last_id_ = id;
}

void CompactWriter::field_i32(std::int16_t id, std::int32_t value) {
    field_header(id, Type::I32);
    zigzag(value);
}

void CompactWriter::field_i64(std::int16_t id, std::int64_t value) {
    field_header(id, Type::I64);
    zigzag(value);
}

void CompactWriter::field_i8(std::int16_t id, std::int8_t value) {
    field_header(id, Type::Byte);
    out_ += static_cast<char>(value);
}

void CompactWriter::field_bool(std::int16_t id, bool value) { field_header(id, value ? Type::BoolTrue : Type::BoolFalse); }

void CompactWriter::field_binary(std::int16_t id, std::string_view value) {
    field_header(id, Type::Binary);
    element_binary(value);
}

void CompactWriter::begin_struct(std::int16_t id) {
    field_header(id, Type::Struct);
    begin_element_struct();
}

void CompactWriter::begin_list(std::int16_t id, Type element, std::size_t size) {
    field_header(id, Type::List);
    if (size < 15) {
        out_ += static_cast<char>((size << 4) | static_cast<int>(element));
    } else {
        out_ += static_cast<char>(0xF0 | static_cast<int>(element));
        varint(size);
    }
}

void CompactWriter::element_i32(std::int32_t value) { zigzag(value); }
void CompactWriter::element_i64(std::int64_t value) { zigzag(value); }
void CompactWriter::element_bool(bool value) { out_ += static_cast<char>(value ? Type::BoolTrue : Type::BoolFalse); }

void CompactWriter::element_binary(std::string_view value) {
    varint(value.size());
    out_.append(value);
}

void CompactWriter::begin_element_struct() {
    outer_ids_.push_back(last_id_);
    last_id_ = 0;
}

void CompactWriter::end_struct() {
    out_ += '\0';
    if (!outer_ids_.empty()) {
        last_id_ = outer_ids_.back();
        outer_ids_.pop_back();
    }
}

}  // namespace thrift
