#include "core/point_lists.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace core {

// A block is mapped memory: this record, then lists, each after a Header. The memory is
// unmapped when the count of references (the lists cut from it, plus one while it is its
// arena's current block) drops to zero.
struct PointArena::Block {
    std::atomic<std::size_t> references;
    std::size_t length;  // of the whole mapping
};

namespace {

// Stands before every list: the block it was cut from, or nullptr for one from the heap.
struct Header {
    PointArena::Block* owner;
    std::size_t bytes;
};
static_assert(sizeof(Header) == 16);

// Lists are cut at multiples of this: a list of one value (an MRM transition's) then takes 24
// bytes with its header, not the 32 that a 16-byte grain would give it.
constexpr std::size_t grain = 8;

constexpr std::size_t block_record = 64;         // room for the Block record, a cache line
constexpr std::size_t smallest_block = 2 << 20;  // blocks are whole multiples of this
constexpr std::size_t largest_block = 64 << 20;
constexpr std::size_t largest_shared = largest_block / 4;  // larger lists get a block each
constexpr std::size_t populate_step = 1 << 20;

constinit thread_local PointArena* current_arena = nullptr;

constexpr std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

std::byte* data_of(PointArena::Block* block) { return reinterpret_cast<std::byte*>(block) + block_record; }

PointArena::Block* map_block(std::size_t length) {
    void* at = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc();
    auto* block = ::new (at) PointArena::Block{{1}, length};
    ASAN_POISON_MEMORY_REGION(data_of(block), length - block_record);
    return block;
}

void release(PointArena::Block* block) noexcept {
    if (block->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    const std::size_t length = block->length;
    // Whatever is mapped at these addresses next must not inherit the poison.
    ASAN_UNPOISON_MEMORY_REGION(block, length);
    munmap(block, length);
}

// Faults in the pages of [from, to), rounded up to a whole `step` but not past `end`, with one
// call rather than a fault per page; returns the new end of what is populated. `from` and `end`
// are page-aligned. Where the kernel cannot do it, the pages fault as they are written.
std::byte* populate(std::byte* from, std::byte* to, std::byte* end, std::size_t step) noexcept {
    const std::size_t length = std::min(static_cast<std::size_t>(end - from),
                                        round_up(static_cast<std::size_t>(to - from), step));
    madvise(from, length, MADV_POPULATE_WRITE);
    return from + length;
}

// Writes the header at `at` and returns the list's memory after it.
void* place(std::byte* at, PointArena::Block* owner, std::size_t bytes) {
    ASAN_UNPOISON_MEMORY_REGION(at, sizeof(Header) + bytes);
    auto* header = ::new (at) Header{owner, bytes};
    ASAN_POISON_MEMORY_REGION(header, sizeof(Header));
    return header + 1;
}

}  // namespace

PointArena::PointArena() noexcept : previous_(current_arena) { current_arena = this; }

PointArena::~PointArena() {
    current_arena = previous_;
    if (block_) release(block_);
}

void* PointArena::allocate(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    const std::size_t need = sizeof(Header) + round_up(bytes, grain);
    if (need > static_cast<std::size_t>(end_ - next_)) {
        const std::size_t fitted = round_up(block_record + need, smallest_block);
        if (need > largest_shared) {
            Block* own = map_block(fitted);  // its one reference is the list's
            reserved_ += fitted;
            const auto start = reinterpret_cast<std::byte*>(own);
            populate(start, data_of(own) + need, start + fitted, populate_step);
            return place(data_of(own), own, bytes);
        }
        const std::size_t length = std::max(std::clamp(reserved_, smallest_block, largest_block), fitted);
        Block* fresh = map_block(length);
        reserved_ += length;
        if (block_) release(block_);
        block_ = fresh;
        next_ = data_of(fresh);
        populated_ = reinterpret_cast<std::byte*>(fresh);
        end_ = reinterpret_cast<std::byte*>(fresh) + length;
    }
    std::byte* at = next_;
    next_ += need;
    if (next_ > populated_) {
        // A small file's lists stay small: a few pages at a time until a block has been filled.
        const std::size_t step = reserved_ > smallest_block ? populate_step : populate_step / 16;
        populated_ = populate(populated_, next_, end_, step);
    }
    block_->references.fetch_add(1, std::memory_order_relaxed);
    return place(at, block_, bytes);
}

void* allocate_points(std::size_t bytes) {
    if (current_arena) return current_arena->allocate(bytes);
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    void* at = std::malloc(sizeof(Header) + bytes);
    if (!at) throw std::bad_alloc();
    return ::new (at) Header{nullptr, bytes} + 1;
}

void free_points(void* data) noexcept {
    if (!data) return;
    Header* header = static_cast<Header*>(data) - 1;
    ASAN_UNPOISON_MEMORY_REGION(header, sizeof(Header));
    PointArena::Block* owner = header->owner;
    if (!owner) {
        std::free(header);
        return;
    }
    ASAN_POISON_MEMORY_REGION(header, sizeof(Header) + header->bytes);
    release(owner);
}

}  // namespace core
