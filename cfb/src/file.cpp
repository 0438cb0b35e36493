// The owned file descriptor, the owned byte buffer and FILETIME conversion.
#include "cfb/cfb.hpp"

#include <cstdint>

#include "platform.hpp"

namespace cfb {

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) platform::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) platform::close(fd_);
}

std::expected<File, int> File::open_read_only(const std::string& path) {
    auto fd = platform::open_read_only(path);
    if (!fd) return std::unexpected(fd.error());
    return File(*fd);
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
    const auto page = static_cast<std::uintptr_t>(platform::page_size());
    const auto start = reinterpret_cast<std::uintptr_t>(data_.get());
    const std::uintptr_t from = (start + page - 1) / page * page;
    const std::uintptr_t to = (start + size) / page * page;
    if (to > from) platform::populate(reinterpret_cast<void*>(from), to - from);
}

}  // namespace cfb
