// cfb: a small, hardened reader of Compound File Binary containers (OLE2 structured storage).
//
// Facilities: open a container over an already opened file; test whether an entry exists at a
// "/"-separated path; open the stream at a path and read it whole; walk every entry, root first
// and in pre-order, with its creation time. Every count and size read from the file is checked
// against the file's size before anything is reserved, every sector chain is bounded and checked
// for cycles, and the directory is walked without recursion.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cfb {

// An open file descriptor, owned: closed when the object goes away.
class File {
public:
    File() = default;
    explicit File(int fd) noexcept : fd_(fd) {}
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Opens `path` for reading only, never waiting (a FIFO opens at once); on failure gives the
    // system's error number. Whether the file is one to read is the caller's to check.
    static std::expected<File, int> open_read_only(const std::string& path);

    int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

// A point in time: whole seconds since 1970-01-01T00:00:00Z (negative before it) and the
// nanoseconds within that second. Wide enough for every FILETIME (years 1601 to about 60000).
struct SystemTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    auto operator<=>(const SystemTime&) const = default;

    static SystemTime from_filetime(std::uint64_t ticks_since_1601) noexcept;
};

enum class EntryKind : std::uint8_t { Root, Storage, Stream };

struct Entry {
    static constexpr std::size_t no_parent = static_cast<std::size_t>(-1);
    std::string name;  // UTF-8, invalid UTF-16 replaced by U+FFFD
    std::size_t parent = no_parent;  // index in `entries()` of the storage holding it
    EntryKind kind = EntryKind::Stream;
    SystemTime created;
    std::uint64_t size = 0;  // streams only
};

// A read that failed: the system's error number when the operating system refused, otherwise 0
// and a description of what in the container is broken.
struct ReadError {
    int os_error = 0;
    std::string description;
};

// A stream's bytes, owned. Not zero-filled before reading: every byte is written by the read.
class Bytes {
public:
    Bytes() = default;
    explicit Bytes(std::size_t size);
    std::byte* data() noexcept { return data_.get(); }
    const std::byte* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<const std::byte> span() const noexcept { return {data_.get(), size_}; }
    operator std::span<const std::byte>() const noexcept { return span(); }

private:
    std::unique_ptr<std::byte[]> data_;
    std::size_t size_ = 0;
};

class Container {
public:
    // Opens the container held in `file`, taking ownership of it; the file is closed when the
    // container goes away. Fails with a one-line description of what is wrong.
    static std::expected<Container, std::string> open(File file);

    Container(Container&&) noexcept;
    Container& operator=(Container&&) noexcept;
    ~Container();

    // Whether a storage or stream exists at `path` (names compared as the format defines:
    // equal length and equal after upper-casing).
    bool exists(std::string_view path) const;

    // The index of the stream entry at `path`, or a description of why there is none.
    std::expected<std::size_t, std::string> open_stream(std::string_view path) const;

    // The whole content of the stream with the index `open_stream` gave.
    std::expected<Bytes, ReadError> read_stream(std::size_t stream) const;

    // The size of that stream, once checked against the file: a size that cannot fit is an error.
    std::expected<std::uint64_t, ReadError> stream_size(std::size_t stream) const;
    // Reads the whole stream into `out`, which holds exactly stream_size(stream) bytes: for a
    // caller that has memory of its own to read into.
    std::optional<ReadError> read_stream_into(std::size_t stream, std::span<std::byte> out) const;

    // Every entry, root first, then each storage followed by its subtree (pre-order); the
    // children of a storage in the order of the directory's name tree.
    std::span<const Entry> entries() const noexcept;

    // The "/"-separated path of entry `index` below the root ("" for the root itself).
    std::string path_of(std::size_t index) const;

    struct State;  // opaque

private:
    explicit Container(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace cfb
