// The owned file descriptor, the owned byte buffer and FILETIME conversion.
#include "cfb/cfb.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older headers lack it, and older kernels refuse it
#endif

namespace cfb {

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

std::expected<File, int> File::open_read_only(const std::string& path) {
    int fd;
    do {
        // Without O_NONBLOCK, opening a FIFO waits for a writer; the caller decides what it reads.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return File(fd);
}

SystemTime SystemTime::from_filetime(std::uint64_t ticks_since_1601) noexcept {
    constexpr std::uint64_t ticks_per_second = 10'000'000;
    constexpr std::int64_t seconds_1601_to_1970 = 11'644'473'600;
    const auto whole = static_cast<std::int64_t>(ticks_since_1601 / ticks_per_second);
    const auto rest = static_cast<std::uint32_t>(ticks_since_1601 % ticks_per_second);
    return {whole - seconds_1601_to_1970, rest * 100};
}

// A large buffer has its pages faulted in by one call before it is filled: far cheaper than one
// fault per page in the middle of the read. Where the kernel cannot do that, they fault as usual.
Bytes::Bytes(std::size_t size)
    : data_(size == 0 ? nullptr : std::make_unique_for_overwrite<std::byte[]>(size)), size_(size) {
    if (size < (1 << 20)) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data_.get());
    const std::uintptr_t from = (start + page - 1) / page * page;
    const std::uintptr_t to = (start + size) / page * page;
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

}  // namespace cfb
