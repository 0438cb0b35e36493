// The physical floor of opening a raw file: reading its bytes (from the page cache) into a
// buffer, plus filling arrays of the decoded size (an 8-byte m/z and a 4-byte intensity per point).
//   floor_bench FILE POINTS [ROUNDS]          the best time in s, into freshly mapped memory each round
//   floor_bench --split FILE POINTS [ROUNDS]  "cold WALL USER SYS" for each round into freshly mapped
//       memory, then "warm WALL USER SYS": the fifth of five rounds into the same memory, mapped once
//       and touched by the four rounds before it (seconds of wall, user and system time)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Times {
    double wall = 0, user = 0, sys = 0;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); }

Times now() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
            seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

Times since(const Times& start) {
    const Times end = now();
    return {end.wall - start.wall, end.user - start.user, end.sys - start.sys};
}

// Memory of its own for one round: the file's bytes, then the m/z and intensity arrays.
struct Memory {
    std::size_t file_size = 0, points = 0;
    char* bytes = nullptr;

    Memory(std::size_t file_size, std::size_t points) : file_size(file_size), points(points) {
        void* p = ::mmap(nullptr, size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        bytes = static_cast<char*>(p);
    }
    ~Memory() { ::munmap(bytes, size()); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    std::size_t size() const { return file_size + 12 * points; }
};

volatile double sink = 0;

// Reads the file into the memory and fills its arrays, as an open would.
void round(const char* path, Memory& memory) {
    const int fd = ::open(path, O_RDONLY);
    std::size_t got = 0;
    while (fd >= 0 && got < memory.file_size) {
        const ssize_t n = ::pread(fd, memory.bytes + got, memory.file_size - got, static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ::close(fd);
    if (got != memory.file_size) {
        std::fprintf(stderr, "floor_bench: cannot read %s\n", path);
        std::exit(1);
    }
    auto* mz = reinterpret_cast<double*>(memory.bytes + memory.file_size);
    auto* intensity = reinterpret_cast<float*>(mz + memory.points);
    for (std::size_t i = 0; i < memory.points; ++i) {
        mz[i] = static_cast<double>(i);
        intensity[i] = static_cast<float>(i & 0xFFFF);
    }
    sink = sink + mz[memory.points / 2] + intensity[memory.points / 3] + memory.bytes[memory.file_size / 2];
}

// A round into memory mapped for it; the mapping is made on the clock, and removed off it.
Times cold_round(const char* path, std::size_t file_size, std::size_t points) {
    const Times start = now();
    Memory memory(file_size, points);
    round(path, memory);
    return since(start);
}

}  // namespace

int main(int argc, char** argv) {
    const bool split = argc > 1 && std::strcmp(argv[1], "--split") == 0;
    if (argc < 3 + split) {
        std::fprintf(stderr, "usage: floor_bench [--split] FILE POINTS [ROUNDS]\n");
        return 2;
    }
    const char* path = argv[1 + split];
    const std::size_t points = std::strtoull(argv[2 + split], nullptr, 10);
    const int rounds = argc > 3 + split ? std::atoi(argv[3 + split]) : 3;
    struct stat info{};
    if (::stat(path, &info) != 0) return 1;
    const auto file_size = static_cast<std::size_t>(info.st_size);

    if (!split) {
        double best = 1e9;
        for (int r = 0; r < rounds; ++r) best = std::min(best, cold_round(path, file_size, points).wall);
        std::printf("%.6f\n", best);
        return 0;
    }
    for (int r = 0; r < rounds; ++r) {
        const Times t = cold_round(path, file_size, points);
        std::printf("cold %.6f %.6f %.6f\n", t.wall, t.user, t.sys);
    }
    Memory memory(file_size, points);
    Times t;
    for (int r = 0; r < 5; ++r) {
        const Times start = now();
        round(path, memory);
        t = since(start);
    }
    std::printf("warm %.6f %.6f %.6f\n", t.wall, t.user, t.sys);
    return 0;
}
