// Times reading every stream of a container against a plain read of the same file, both from
// the page cache:  cfb_bench FILE [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "cfb/cfb.hpp"
#include "whole_file.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double plain_read(const char* path, std::size_t& bytes) {
    const auto start = std::chrono::steady_clock::now();
    bytes = read_whole_file(path).size;
    return seconds_since(start);
}

double container_read(const char* path, std::size_t& bytes) {
    const auto start = std::chrono::steady_clock::now();
    auto container = cfb::Container::open(std::move(*cfb::File::open_read_only(path)));
    if (!container) {
        std::fprintf(stderr, "not a container: %s\n", container.error().c_str());
        std::exit(1);
    }
    bytes = 0;
    for (std::size_t i = 0; i < container->entries().size(); ++i) {
        if (container->entries()[i].kind != cfb::EntryKind::Stream) continue;
        auto data = container->read_stream(i);
        if (!data) {
            std::fprintf(stderr, "read failed: %s\n", data.error().description.c_str());
            std::exit(1);
        }
        bytes += data->size();
    }
    return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cfb_bench FILE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::size_t file_bytes = 0, stream_bytes = 0;
    plain_read(argv[1], file_bytes);  // warm the page cache
    double best_plain = 1e9, best_container = 1e9;
    for (int r = 0; r < rounds; ++r) {
        best_plain = std::min(best_plain, plain_read(argv[1], file_bytes));
        best_container = std::min(best_container, container_read(argv[1], stream_bytes));
    }
    const double mb = 1e6;
    std::printf("file %.1f MB, streams %.1f MB, best of %d\n", file_bytes / mb, stream_bytes / mb, rounds);
    std::printf("plain read of the file:      %.3f s  %8.0f MB/s\n", best_plain, file_bytes / mb / best_plain);
    std::printf("reading every stream (cfb):  %.3f s  %8.0f MB/s\n", best_container,
                stream_bytes / mb / best_container);
    std::printf("stream speed / plain speed:  %.2f\n",
                (stream_bytes / best_container) / (file_bytes / best_plain));
    return 0;
}
