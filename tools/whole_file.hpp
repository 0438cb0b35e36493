// Reads a whole file into a fresh buffer with pread, as a plain reader would: the baseline the
// benchmark tools measure against.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

struct WholeFile {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;     // bytes read
    bool complete = false;    // the whole file was read
};

// The file's bytes, as many as could be read.
inline WholeFile read_whole_file(const char* path) {
    WholeFile file;
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) return file;
    struct stat info{};
    ::fstat(fd, &info);
    file.bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(info.st_size));
    for (const auto size = static_cast<std::size_t>(info.st_size); file.size < size;) {
        const ssize_t got = ::pread(fd, file.bytes.get() + file.size, size - file.size, static_cast<off_t>(file.size));
        if (got <= 0) break;
        file.size += static_cast<std::size_t>(got);
    }
    file.complete = file.size == static_cast<std::size_t>(info.st_size);
    ::close(fd);
    return file;
}
