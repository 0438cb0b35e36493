#include "core/point_lists.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <vector>

#include "platform.hpp"

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

// A block is mapped memory: this record, then lists, each after a Header. When the count of
// references (the lists cut from it, plus one while it is its arena's current block) drops to
// zero, the block is kept for reuse or unmapped.
struct PointArena::Block {
    std::atomic<std::size_t> references;
    std::size_t length;  // of the whole mapping
    bool for_points;     // false for a stream buffer
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

void unmap(PointArena::Block* block) noexcept {
    const std::size_t length = block->length;
    // Whatever is mapped at these addresses next must not inherit the poison.
    ASAN_UNPOISON_MEMORY_REGION(block, length);
    platform::unmap_memory(block, length);
}

// Blocks whose every list has been freed wait here, mapped with their pages in place, for the
// next decode in the process: taking one costs no page fault and no zeroing by the kernel. What
// waits stays within 1.1 times the largest decode (the blocks one arena took) the process has
// made, and with the blocks in use within 1.1 times the most that point lists have had in use at
// once: so a process that has dropped every reader keeps at most 1.1 times its largest decode,
// and one holding its largest reader at most a tenth more. A block that has waited a minute is
// returned to the system at the next allocation or release. Stream buffers are returned at once:
// a reader held would otherwise keep its file's size besides.
class BlockCache {
public:
    // A kept block of `length` to twice `length` bytes, counted as in use again for point lists
    // or for a buffer; or null.
    PointArena::Block* take(std::size_t length, bool for_points) {
        std::lock_guard lock(mutex_);
        expire();
        std::size_t best = kept_.size();
        for (std::size_t i = 0; i < kept_.size(); ++i) {
            const std::size_t have = kept_[i].block->length;
            if (have >= length && have <= 2 * length && (best == kept_.size() || have < kept_[best].block->length))
                best = i;
        }
        if (best == kept_.size()) return nullptr;
        PointArena::Block* block = kept_[best].block;
        kept_[best] = kept_.back();
        kept_.pop_back();
        kept_bytes_ -= block->length;
        block->for_points = for_points;
        count_in_use(block);
        return block;
    }

    void mapped(PointArena::Block* block) {
        std::lock_guard lock(mutex_);
        count_in_use(block);
    }

    // Keeps a block of point lists that no list uses any more; false when that would pass the
    // bound, or for a stream buffer.
    bool keep(PointArena::Block* block) {
        std::lock_guard lock(mutex_);
        if (!block->for_points) return false;
        points_in_use_ -= block->length;
        expire();
        const std::size_t after = kept_bytes_ + block->length;
        if (after > largest_decode_ / 10 * 11 || points_in_use_ + after > most_points_in_use_ / 10 * 11) return false;
        kept_.push_back({block, std::chrono::steady_clock::now()});
        kept_bytes_ += block->length;
        return true;
    }

    // Notes the blocks one arena took: the most that one decode needed.
    void decode_finished(std::size_t reserved) {
        std::lock_guard lock(mutex_);
        largest_decode_ = std::max(largest_decode_, reserved);
    }

private:
    void count_in_use(PointArena::Block* block) {
        if (!block->for_points) return;
        points_in_use_ += block->length;
        most_points_in_use_ = std::max(most_points_in_use_, points_in_use_);
    }

    void expire() {
        const auto now = std::chrono::steady_clock::now();
        for (std::size_t i = kept_.size(); i-- > 0;) {
            if (now - kept_[i].since < std::chrono::minutes(1)) continue;
            kept_bytes_ -= kept_[i].block->length;
            unmap(kept_[i].block);
            kept_[i] = kept_.back();
            kept_.pop_back();
        }
    }

    struct Kept {
        PointArena::Block* block;
        std::chrono::steady_clock::time_point since;
    };
    std::mutex mutex_;
    std::vector<Kept> kept_;
    std::size_t kept_bytes_ = 0;
    std::size_t points_in_use_ = 0;
    std::size_t most_points_in_use_ = 0;
    std::size_t largest_decode_ = 0;
};

// Never destroyed: lists may be freed while the process exits, after static destructors ran.
BlockCache& block_cache() {
    static BlockCache* const cache = new BlockCache;
    return *cache;
}

// A block of at least `length` bytes holding one reference, kept or freshly mapped; `populated`
// tells whether its pages are in place already.
PointArena::Block* get_block(std::size_t length, bool for_points, bool& populated) {
    PointArena::Block* block = block_cache().take(length, for_points);
    if (block) {
        block->references.store(1, std::memory_order_relaxed);
        populated = true;
        return block;
    }
    void* at = platform::map_memory(length);
    if (!at) throw std::bad_alloc();
    block = ::new (at) PointArena::Block{{1}, length, for_points};
    ASAN_POISON_MEMORY_REGION(data_of(block), length - block_record);
    block_cache().mapped(block);
    populated = false;
    return block;
}

void release(PointArena::Block* block) noexcept {
    if (block->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    bool kept = false;
    try {
        kept = block_cache().keep(block);
    } catch (...) {  // no room to note it: it goes back to the system
    }
    if (!kept) unmap(block);
}

// Faults in the pages of [from, to), rounded up to a whole `step` but not past `end`, with one
// call rather than a fault per page; returns the new end of what is populated. `from` and `end`
// are page-aligned. Where the kernel cannot do it, the pages fault as they are written.
std::byte* populate(std::byte* from, std::byte* to, std::byte* end, std::size_t step) noexcept {
    const std::size_t length = std::min(static_cast<std::size_t>(end - from),
                                        round_up(static_cast<std::size_t>(to - from), step));
    platform::populate(from, length);
    return from + length;
}

// Writes the header at `at` and returns the list's memory after it.
void* place(std::byte* at, PointArena::Block* owner, std::size_t bytes) {
    ASAN_UNPOISON_MEMORY_REGION(at, sizeof(Header) + bytes);
    auto* header = ::new (at) Header{owner, bytes};
    ASAN_POISON_MEMORY_REGION(header, sizeof(Header));
    return header + 1;
}

// A block of its own for one list or buffer of `bytes` bytes, its pages faulted in at once.
void* allocate_alone(std::size_t bytes, bool for_points) {
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    const std::size_t need = sizeof(Header) + round_up(bytes, grain);
    bool populated = false;
    PointArena::Block* own = get_block(round_up(block_record + need, smallest_block), for_points, populated);
    if (!populated) {
        const auto start = reinterpret_cast<std::byte*>(own);
        populate(start, data_of(own) + need, start + own->length, populate_step);
    }
    return place(data_of(own), own, bytes);  // its one reference is the list's
}

}  // namespace

PointArena::PointArena() noexcept : previous_(current_arena) { current_arena = this; }

PointArena::~PointArena() {
    current_arena = previous_;
    try {
        block_cache().decode_finished(reserved_);
    } catch (...) {  // the lock could not be taken: the bound stays where it was
    }
    if (block_) release(block_);
}

void* PointArena::allocate(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    const std::size_t need = sizeof(Header) + round_up(bytes, grain);
    if (need > static_cast<std::size_t>(end_ - next_)) {
        const std::size_t fitted = round_up(block_record + need, smallest_block);
        if (need > largest_shared) {
            reserved_ += fitted;
            return allocate_alone(bytes, true);
        }
        const std::size_t length = std::max(std::clamp(reserved_, smallest_block, largest_block), fitted);
        bool populated = false;
        Block* fresh = get_block(length, true, populated);
        reserved_ += length;
        if (block_) release(block_);
        block_ = fresh;
        next_ = data_of(fresh);
        end_ = reinterpret_cast<std::byte*>(fresh) + fresh->length;
        populated_ = populated ? end_ : reinterpret_cast<std::byte*>(fresh);
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

void* allocate_buffer(std::size_t bytes) { return allocate_alone(bytes, false); }

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
