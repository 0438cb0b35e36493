// Builds little-endian byte strings for decoder tests, independently of the decoders' reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

class ByteBuilder {
public:
    ByteBuilder& u8(std::uint8_t v) { return put(v, 1); }
    ByteBuilder& u16(std::uint16_t v) { return put(v, 2); }
    ByteBuilder& u24(std::uint32_t v) { return put(v, 3); }
    ByteBuilder& u32(std::uint32_t v) { return put(v, 4); }
    ByteBuilder& u64(std::uint64_t v) { return put(v, 8); }
    ByteBuilder& f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return put(bits, 8);
    }
    ByteBuilder& fill(std::size_t count, std::uint8_t value = 0) {
        bytes_.insert(bytes_.end(), count, std::byte{value});
        return *this;
    }
    // Pads with `value` up to `size` bytes in all.
    ByteBuilder& pad_to(std::size_t size, std::uint8_t value = 0) {
        if (bytes_.size() < size) fill(size - bytes_.size(), value);
        return *this;
    }
    ByteBuilder& put_u32_at(std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) bytes_[at + k] = std::byte(static_cast<std::uint8_t>(v >> (8 * k)));
        return *this;
    }
    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::byte>& bytes() const { return bytes_; }
    operator std::span<const std::byte>() const { return bytes_; }

private:
    ByteBuilder& put(std::uint64_t v, int width) {
        for (int k = 0; k < width; ++k) bytes_.push_back(std::byte(static_cast<std::uint8_t>(v >> (8 * k))));
        return *this;
    }
    std::vector<std::byte> bytes_;
};
