// The floor of converting a raw file to mzML on one thread: open it, decode every record, and
// for every record compress its m/z array (doubles) and intensity array (floats) as zlib
// streams and base64-encode them, as the converter does; the text is discarded, and no XML is
// built or written.   convert_floor FILE [ROUNDS]   prints the best time in seconds, then the
// number of records, of points, and of base64 characters made.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <libdeflate.h>

#include "export/encoding/base64.hpp"
#include "export/encoding/binary_array.hpp"  // for the zlib level
#include "reader/reader.hpp"

namespace {

// Compresses and base64-encodes `bytes` bytes at `data` into the reused buffers.
std::size_t encode(libdeflate_compressor* compressor, const void* data, std::size_t bytes,
                   std::vector<unsigned char>& packed, std::vector<char>& text) {
    packed.resize(std::max(packed.size(), libdeflate_zlib_compress_bound(compressor, bytes)));
    const std::size_t size = libdeflate_zlib_compress(compressor, data, bytes, packed.data(), packed.size());
    text.resize(std::max(text.size(), exporter::base64_size(size)));
    return exporter::encode_base64(text.data(), std::as_bytes(std::span(packed).first(size)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: convert_floor FILE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(exporter::zlib_level);
    if (!compressor) return 1;
    std::vector<unsigned char> packed;
    std::vector<char> text;
    double best = 1e9;
    std::size_t records = 0, points = 0, characters = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        {
            auto opened = reader::Reader::open(argv[1]);
            if (!opened) {
                std::fprintf(stderr, "convert_floor: %s: %s\n", argv[1], opened.error().to_string().c_str());
                return 1;
            }
            records = points = characters = 0;
            for (const core::SpectrumRecord& record : reader::decode_all(*opened)) {
                ++records;
                points += record.mz.size();
                characters += encode(compressor, record.mz.data(), record.mz.size() * sizeof(double), packed, text);
                characters += encode(compressor, record.intensity.data(), record.intensity.size() * sizeof(float),
                                     packed, text);
            }
        }  // the records and the reader are freed inside the timed span, as in a conversion
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    libdeflate_free_compressor(compressor);
    std::printf("%.6f %zu %zu %zu\n", best, records, points, characters);
    return 0;
}
