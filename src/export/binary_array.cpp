#include "export/binary_array.hpp"

#include <libdeflate.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <new>
#include <vector>

namespace exporter {
namespace {

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};

// One compressor and one output buffer per thread, kept for the thread's life.
struct ThreadCompressor {
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor{libdeflate_alloc_compressor(zlib_level)};
    std::vector<std::byte> buffer;
};

// Appends the base64 text of `bytes`; returns the number of characters appended.
std::size_t append_base64(std::string& out, std::span<const std::byte> bytes) {
    // EVP_EncodeBlock takes an int length; whole groups of 3 bytes at a time keep one text.
    constexpr std::size_t piece = std::size_t{3} << 28;
    const std::size_t before = out.size();
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), piece);
        const std::size_t at = out.size();
        out.resize_and_overwrite(at + 4 * ((n + 2) / 3) + 1, [&](char* data, std::size_t) {
            const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(data + at),
                                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                                static_cast<int>(n));
            return at + static_cast<std::size_t>(written);
        });
        bytes = bytes.subspan(n);
    }
    return out.size() - before;
}

}  // namespace

std::size_t append_binary(std::string& out, std::span<const std::byte> bytes, bool compress) {
    if (!compress) return append_base64(out, bytes);
    thread_local ThreadCompressor local;
    if (!local.compressor) throw std::bad_alloc();
    local.buffer.resize(libdeflate_zlib_compress_bound(local.compressor.get(), bytes.size()));
    const std::size_t size = libdeflate_zlib_compress(local.compressor.get(), bytes.data(), bytes.size(),
                                                      local.buffer.data(), local.buffer.size());
    if (size == 0) throw std::bad_alloc();  // cannot happen with a buffer of the bound's size
    return append_base64(out, std::span(local.buffer).first(size));
}

}  // namespace exporter
