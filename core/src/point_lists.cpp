#include "core/point_lists.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
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

class BlockCache;
BlockCache& block_cache();

// Marks a block's pages, all but the first (it holds the block's record), free for the kernel
// to take back under memory pressure; until they are written again. Where the kernel cannot, they
// stay as they are.
void reclaimable(PointArena::Block* block) noexcept {
    const std::size_t page = platform::page_size();
    if (block->length > page) platform::mark_reclaimable(reinterpret_cast<std::byte*>(block) + page, block->length - page);
}

// Blocks that nothing uses any more wait here, mapped with their pages in place, for the next
// decode in the process: taking one costs no page fault and no zeroing by the kernel. Blocks of
// point lists and stream buffers alike. What waits stays within 1.1 times the most the process
// has needed at once: a process that had two readers alive at once has needed that memory, and
// keeps it for the next two, so that concurrent opens fault no fresh pages either. Needed at
// once is what was in use at once, or more: two opens that overlap need both stream buffers and
// both lists, though the first buffer may be given up before the second open's lists are all
// made, so that they are never all in use together. A block mapped afresh beside kept blocks
// shows such a need when every block then kept is taken again before any of them goes: the
// process needed what was in use, kept and mapped at that moment. Blocks that stay unused
// through it (another file layout's) show nothing. When a block must go to stay within the
// bound, the one kept longest goes first. A block that has waited a minute is returned to the
// system at the next allocation or release.
//
// A waiting block may be marked free for the kernel to take back under memory pressure (its
// pages are dropped instead of being written anywhere; those still there when the block is taken
// again are reused as they are). Marking is not free: the call costs 0.03 to 0.05 s a GiB, and
// every page written again afterwards costs the processor a page-table update (its accessed and
// dirty bits set again), 0.06 to 0.13 s a GiB more: back-to-back opens of two files took 0.87 s
// a pair with every block marked, against 0.67 s. So a block is marked when it is given up only
// if the process has taken no memory for a second (its readers were held a while: the next open,
// if any, is not imminent, and the cost is small beside the time they were held); blocks given
// up in a quick succession of opens and drops stay as they are, for the next open, and the next
// release a second after the last allocation marks them too. No thread watches the blocks: a
// process that drops readers in quick succession and then makes no call keeps them unmarked
// until its next call.
class BlockCache {
public:
    // The smallest kept block of `length` to twice `length` bytes, the newest of equals (the
    // likeliest to be in place still), counted as in use again, with one reference. Null when
    // none fits.
    PointArena::Block* take(std::size_t length) {
        std::vector<PointArena::Block*> expired;
        PointArena::Block* block = nullptr;
        {
            std::lock_guard lock(mutex_);
            const auto now = std::chrono::steady_clock::now();
            last_taken_ = now;
            expire(now, expired);
            std::size_t best = kept_.size();
            for (std::size_t i = 0; i < kept_.size(); ++i) {
                const std::size_t have = kept_[i].block->length;
                if (have >= length && have <= 2 * length &&
                    (best == kept_.size() || have <= kept_[best].block->length))
                    best = i;
            }
            if (best != kept_.size()) {
                block = kept_[best].block;
                taken_back(kept_[best]);
                kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(best));
                kept_bytes_ -= block->length;
                block->references.store(1, std::memory_order_relaxed);
                count_in_use(block->length);
            } else if (!kept_.empty()) {
                // Mapped afresh beside kept blocks: if each of those is taken again before any
                // goes, the process needed them all at once with this one.
                shortfall_ = {true, next_serial_, kept_bytes_, in_use_ + kept_bytes_ + length};
            }
        }
        for (PointArena::Block* old : expired) unmap(old);
        return block;
    }

    void mapped(PointArena::Block* block) {
        std::lock_guard lock(mutex_);
        count_in_use(block->length);
    }

    // Takes back a block nothing uses any more: kept, or returned to the system.
    void release(PointArena::Block* block) noexcept {
        std::vector<PointArena::Block*> gone;
        bool kept = false;
        try {
            std::lock_guard lock(mutex_);
            const auto now = std::chrono::steady_clock::now();
            in_use_ -= block->length;
            expire(now, gone);
            const std::size_t bound = most_in_use_ / 10 * 11;
            if (block->length <= bound) {
                // The blocks kept longest make room; kept_ is in the order they came back.
                std::size_t evicted = 0;
                std::size_t freed = 0;
                while (kept_bytes_ - freed + block->length > bound) freed += kept_[evicted++].block->length;
                gone.reserve(gone.size() + evicted);
                kept_.reserve(kept_.size() + 1);
                // Nothing below throws.
                for (std::size_t i = 0; i < evicted; ++i) {
                    gone.push_back(kept_[i].block);
                    given_back(kept_[i]);
                }
                kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(evicted));
                kept_bytes_ -= freed;
                kept_.push_back({block, now, false, next_serial_++});
                kept_bytes_ += block->length;
                kept = true;
                // Marked under the lock: no other thread may take a block, and write into it,
                // while it is being marked.
                if (now - last_taken_ >= settle)
                    for (Kept& k : kept_)
                        if (!k.marked && (&k == &kept_.back() || now - k.since >= settle)) {
                            reclaimable(k.block);
                            k.marked = true;
                        }
            }
        } catch (...) {  // no room to note it: it goes back to the system
        }
        if (!kept) unmap(block);
        for (PointArena::Block* old : gone) unmap(old);
    }

    PointMemory figures() {
        std::lock_guard lock(mutex_);
        return {in_use_, most_in_use_, kept_bytes_};
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Kept {
        PointArena::Block* block;
        Clock::time_point since;
        bool marked;  // free for the kernel to take back
        std::uint64_t serial;  // blocks are numbered as they come to be kept
    };
    // What a fresh mapping beside kept blocks may show the process needs at once: `need` (what
    // was in use, kept and mapped then), once the blocks then kept, numbered below `before`
    // and `untaken` bytes in all, have each been taken again.
    struct Shortfall {
        bool watching = false;
        std::uint64_t before = 0;
        std::size_t untaken = 0;
        std::size_t need = 0;
    };
    static constexpr auto settle = std::chrono::seconds(1);

    void taken_back(const Kept& k) {
        if (!shortfall_.watching || k.serial >= shortfall_.before) return;
        shortfall_.untaken -= k.block->length;
        if (shortfall_.untaken == 0) {
            most_in_use_ = std::max(most_in_use_, shortfall_.need);
            shortfall_.watching = false;
        }
    }

    // A kept block returned to the system was not needed: the shortfall is not shown.
    void given_back(const Kept& k) {
        if (k.serial < shortfall_.before) shortfall_.watching = false;
    }

    void count_in_use(std::size_t length) {
        in_use_ += length;
        most_in_use_ = std::max(most_in_use_, in_use_);
    }

    // Moves the blocks kept for a minute into `gone`; it has room for them (or throws first).
    void expire(Clock::time_point now, std::vector<PointArena::Block*>& gone) {
        std::size_t old = 0;
        while (old < kept_.size() && now - kept_[old].since >= std::chrono::minutes(1)) ++old;
        if (old == 0) return;
        gone.reserve(gone.size() + old + 1);
        for (std::size_t i = 0; i < old; ++i) {
            kept_bytes_ -= kept_[i].block->length;
            gone.push_back(kept_[i].block);
            given_back(kept_[i]);
        }
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(old));
    }

    std::mutex mutex_;
    std::vector<Kept> kept_;  // oldest first
    std::size_t kept_bytes_ = 0;
    std::size_t in_use_ = 0;
    std::size_t most_in_use_ = 0;
    Clock::time_point last_taken_{};  // when memory was last asked for
    std::uint64_t next_serial_ = 0;
    Shortfall shortfall_;
};

// Never destroyed: lists may be freed while the process exits, after static destructors ran.
BlockCache& block_cache() {
    static BlockCache* const cache = new BlockCache;
    return *cache;
}

// A block of at least `length` bytes holding one reference, kept or freshly mapped; `populated`
// tells whether its pages are in place already.
PointArena::Block* get_block(std::size_t length, bool& populated) {
    if (PointArena::Block* block = block_cache().take(length)) {
        // Marked or not, its pages are used as they are: those the kernel took back fault one by
        // one, as fresh memory would; faulting them in by one call would cost those still there.
        populated = true;
        return block;
    }
    void* at = platform::map_memory(length);
    if (!at) throw std::bad_alloc();
    auto* block = ::new (at) PointArena::Block{{1}, length};
    ASAN_POISON_MEMORY_REGION(data_of(block), length - block_record);
    try {
        block_cache().mapped(block);
    } catch (...) {
        unmap(block);
        throw;
    }
    populated = false;
    return block;
}

void release(PointArena::Block* block) noexcept {
    if (block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) block_cache().release(block);
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
void* allocate_alone(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    const std::size_t need = sizeof(Header) + round_up(bytes, grain);
    bool populated = false;
    PointArena::Block* own = get_block(round_up(block_record + need, smallest_block), populated);
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
    if (block_) release(block_);
}

void* PointArena::allocate(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    const std::size_t need = sizeof(Header) + round_up(bytes, grain);
    if (need > static_cast<std::size_t>(end_ - next_)) {
        const std::size_t fitted = round_up(block_record + need, smallest_block);
        if (need > largest_shared) {
            reserved_ += fitted;
            return allocate_alone(bytes);
        }
        const std::size_t length = std::max(std::clamp(reserved_, smallest_block, largest_block), fitted);
        bool populated = false;
        Block* fresh = get_block(length, populated);
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

void* allocate_buffer(std::size_t bytes) { return allocate_alone(bytes); }

PointMemory point_memory() { return block_cache().figures(); }

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
