// Memory for point lists. Decoding a large file allocates one m/z list and one intensity list
// per scan, hundreds of megabytes in all; taken from the process heap, they make it grow a
// little at a time, and every growth step stalls the page faults of every other thread in the
// process. A thread that holds a PointArena cuts its point lists from large blocks instead.
//
// A list still owns its memory wherever it goes: each block is given up when the last list cut
// from it is freed (from any thread), whether or not the arena still exists; a few lists kept
// from a large file therefore keep the blocks they were cut from. A block given up is kept,
// mapped, for the next decodes in the process (with the blocks in use, at most 1.1 times the most
// ever in use at once; each for at most a minute; free for the kernel to take back when given up
// a second or more after the process last asked for memory), or returned to the system. No
// thread is started. Lists allocated with no arena on the thread come from the heap. Either kind
// may be freed anywhere.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace core {

// Memory for `bytes` bytes aligned to 8, from this thread's arena if it has one, else from the
// heap. Throws std::bad_alloc.
void* allocate_points(std::size_t bytes);
// Frees what allocate_points or allocate_buffer returned, on any thread; nullptr is ignored.
void free_points(void* data) noexcept;

// The process's blocks of point lists and buffers, in bytes: in use now, the most it has needed
// at once (what was in use at once, or what overlapping opens showed they needed together), and
// kept for reuse.
struct PointMemory {
    std::size_t in_use;
    std::size_t most_in_use;
    std::size_t kept;
};
PointMemory point_memory();

// Memory for `bytes` bytes aligned to 8, for a stream read whole, in a block of its own with its
// pages faulted in (a kept block when one fits). Throws std::bad_alloc.
void* allocate_buffer(std::size_t bytes);

// Bytes of a stream read whole, in memory from allocate_buffer.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t size)
        : data_(size == 0 ? nullptr : static_cast<std::byte*>(allocate_buffer(size))), size_(size) {}
    std::byte* data() noexcept { return data_.get(); }
    const std::byte* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<const std::byte> span() const noexcept { return {data_.get(), size_}; }
    operator std::span<const std::byte>() const noexcept { return span(); }

private:
    struct Free {
        void operator()(std::byte* data) const noexcept { free_points(data); }
    };
    std::unique_ptr<std::byte, Free> data_;
    std::size_t size_ = 0;
};

// While it exists, point lists allocated on the constructing thread come from its blocks.
// Arenas nest: the innermost one is used, and the previous one is restored on destruction.
class PointArena {
public:
    PointArena() noexcept;
    ~PointArena();
    PointArena(const PointArena&) = delete;
    PointArena& operator=(const PointArena&) = delete;

    void* allocate(std::size_t bytes);

    struct Block;

private:
    PointArena* previous_;
    Block* block_ = nullptr;        // the block being filled; the arena holds one reference to it
    std::byte* next_ = nullptr;     // its first free byte
    std::byte* end_ = nullptr;
    std::byte* populated_ = nullptr;
    std::size_t reserved_ = 0;      // bytes of every block taken so far: sets the next one's size
};

// The allocator of point lists: memory from allocate_points, and a value constructed with no
// arguments left uninitialised, so that a list sized once and then written element by element
// is not zero-filled first.
template <typename T>
struct PointAllocator {
    static_assert(alignof(T) <= 8);
    using value_type = T;
    using is_always_equal = std::true_type;

    PointAllocator() noexcept = default;
    template <typename U>
    PointAllocator(const PointAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_points(n * sizeof(T)));
    }
    void deallocate(T* data, std::size_t) noexcept { free_points(data); }

    template <typename U>
    void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const PointAllocator<U>&) const noexcept {
        return true;
    }
};

// The point lists of a scan: m/z values and intensities.
template <typename T>
using Values = std::vector<T, PointAllocator<T>>;

}  // namespace core
