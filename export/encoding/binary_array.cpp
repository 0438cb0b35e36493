#include "export/encoding/binary_array.hpp"

#include "export/encoding/base64.hpp"

#include <libdeflate.h>

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
