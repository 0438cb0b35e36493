#include "core/point_lists.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lists = std::vector<core::Values<double>>;

// `count` lists of growing length, filled with values that identify list and position (and the
// decode, by `base`).
Lists make_lists(std::size_t count, double base = 0) {
    Lists lists;
    for (std::size_t i = 0; i < count; ++i) {
        core::Values<double> values(1 + i % 1500);
        std::iota(values.begin(), values.end(), base + static_cast<double>(i));
        lists.push_back(std::move(values));
    }
    return lists;
}

bool intact(const core::Values<double>& list, double first) {
    for (std::size_t j = 0; j < list.size(); ++j)
        if (list[j] != first + static_cast<double>(j)) return false;
    return true;
}

bool intact(const Lists& lists, double base = 0) {
    for (std::size_t i = 0; i < lists.size(); ++i)
        if (!intact(lists[i], base + static_cast<double>(i))) return false;
    return true;
}

TEST(PointLists, ListsOutliveTheirArenaAndAreFreedOnOtherThreads) {
    Lists lists;
    {
        core::PointArena arena;
        lists = make_lists(20'000);  // about 120 MB: several blocks
        core::Values<float> huge(5'000'000);  // beyond a shared block: a block of its own
        huge.back() = 1.5f;
        lists.emplace_back(huge.begin(), huge.end());
    }
    EXPECT_EQ(lists.back().back(), 1.5);
    lists.pop_back();
    EXPECT_TRUE(intact(lists));

    // Half freed here, half on another thread, interleaved so that blocks die from both sides.
    Lists odd;
    for (std::size_t i = 1; i < lists.size(); i += 2) odd.push_back(std::move(lists[i]));
    std::thread other([&] { odd.clear(); });
    lists.clear();
    other.join();
}

TEST(PointLists, ArenasNestAndTheHeapServesThreadsWithoutOne) {
    core::PointArena outer;
    core::Values<double> first(3);
    {
        core::PointArena inner;
        core::Values<double> elsewhere(3);
    }
    core::Values<double> second(3);
    // Lists of one arena are cut one after the other: a 16-byte header, then 24 bytes of values.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second.data()) - reinterpret_cast<std::uintptr_t>(first.data()), 40u);

    Lists from_heap;
    std::thread([&] { from_heap = make_lists(100); }).join();
    EXPECT_TRUE(intact(from_heap));
    Lists copies = from_heap;  // copied outside any arena; freed with the originals
    EXPECT_TRUE(intact(copies));
}

TEST(PointLists, KeptBlocksServeTheNextDecodeButNeverUnderALiveList) {
    // A first decode; one of its lists survives it and keeps the block it was cut from, the
    // others are freed and their blocks kept, values and all.
    Lists first, survivor;
    {
        core::PointArena arena;
        first = make_lists(4'000);
    }
    survivor.push_back(std::move(first[1234]));
    for (auto& list : first)
        if (!list.empty()) list[0] = 12345.5;  // the first value of every block, among others
    first.clear();
    const auto kept_from = reinterpret_cast<std::uintptr_t>(survivor[0].data());
    const auto kept_to = kept_from + survivor[0].size() * sizeof(double);
    // A second decode takes the kept blocks: its first list, never written, shows what the first
    // decode left there rather than a fresh page's zeros; and no list overlaps the survivor.
    {
        core::PointArena arena;
        core::Values<double> unwritten(1);
        double seen;
        std::memcpy(&seen, unwritten.data(), sizeof seen);
        EXPECT_EQ(seen, 12345.5);
        Lists second = make_lists(4'000);
        for (const auto& list : second) {
            const auto from = reinterpret_cast<std::uintptr_t>(list.data());
            EXPECT_TRUE(from + list.size() * sizeof(double) <= kept_from || from >= kept_to);
        }
        EXPECT_TRUE(intact(second));
    }
    for (std::size_t j = 0; j < survivor[0].size(); ++j) ASSERT_EQ(survivor[0][j], 1234.0 + j);
}

TEST(PointLists, ConcurrentDecodesKeepWhatTheyNeededAndNeverReuseALiveListsBlock) {
    // Four threads decode at once, round after round. Each keeps one list of every decode alive
    // through its next three and hands another to its neighbour to free, so that blocks are given
    // up from every thread while others are being taken: a kept block handed out while a list cut
    // from it lives would have that list overwritten by another decode's values.
    constexpr int threads = 4;
    constexpr int rounds = 10;
    struct Survivor {
        core::Values<double> list;
        double first;
    };
    std::mutex handoff_lock;
    std::vector<std::vector<Survivor>> handoff(threads);
    std::barrier decoded(threads);
    std::atomic<std::size_t> together = 0;  // in use with every thread's last decode alive
    std::atomic<bool> all_intact = true;

    auto body = [&](int t) {
        std::deque<Survivor> mine;
        for (int r = 0; r < rounds; ++r) {
            const double base = 1e9 * t + 1e6 * r;
            Lists lists;
            {
                core::PointArena arena;
                lists = make_lists(2'000 + 1'000 * static_cast<std::size_t>(t), base);
            }
            decoded.arrive_and_wait();
            if (r == rounds - 1 && t == 0) together = core::point_memory().in_use;
            decoded.arrive_and_wait();
            if (!intact(lists, base)) all_intact = false;
            mine.push_back({std::move(lists[1499]), base + 1499});
            {
                std::lock_guard lock(handoff_lock);
                handoff[(t + 1) % threads].push_back({std::move(lists[2 * r]), base + 2 * r});
                for (const Survivor& s : handoff[t])
                    if (!intact(s.list, s.first)) all_intact = false;
                handoff[t].clear();
            }
            lists.clear();
            if (mine.size() > 3) mine.pop_front();
            for (const Survivor& s : mine)
                if (!intact(s.list, s.first)) all_intact = false;
        }
    };
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) running.emplace_back(body, t);
    for (auto& thread : running) thread.join();
    for (const auto& box : handoff)
        for (const Survivor& s : box) EXPECT_TRUE(intact(s.list, s.first));
    handoff.clear();
    EXPECT_TRUE(all_intact);

    // Every block came back; what the four decodes needed at once is kept for the next four,
    // within the bound.
    const core::PointMemory after = core::point_memory();
    EXPECT_EQ(after.in_use, 0u);
    EXPECT_GE(after.kept, together.load());
    EXPECT_LE(after.kept, after.most_in_use / 10 * 11);
}

}  // namespace

namespace {

// Two opens that overlap, each a stream buffer read whole and lists decoded from it, as two
// threads would run them. The fault found, or nothing.
std::string overlapping_opens() {
    constexpr std::size_t buffer = 40 << 20;  // beyond twice any block of these lists: only a buffer fits
    auto decode = [] {
        core::PointArena arena;
        return make_lists(4'000);  // about 24 MB, in blocks of 2 to 16 MiB
    };
    // One after the other: the first buffer is gone before the second is read, so the most in
    // use at once is one buffer and two opens' lists.
    {
        auto a = std::make_unique<core::ByteBuffer>(buffer);
        Lists first = decode();
        a.reset();
        core::ByteBuffer b(buffer);
        Lists second = decode();
    }
    // At once: both buffers are read first, and the second is mapped afresh beside the kept
    // blocks; then both lists are decoded, taking every kept block again. Both buffers were
    // needed with all of that, though never in use with all the lists.
    for (int round = 0; round < 2; ++round) {
        const std::size_t kept = core::point_memory().kept;
        auto a = std::make_unique<core::ByteBuffer>(buffer);
        auto b = std::make_unique<core::ByteBuffer>(buffer);
        if (round == 1 && kept - core::point_memory().kept < 2 * buffer)
            return "the second overlapping pair did not find both buffers kept";
        Lists first = decode();
        a.reset();
        Lists second = decode();
        if (!intact(first) || !intact(second)) return "a list was overwritten";
    }
    // A block kept through a fresh mapping and not taken again shows no such need: a larger
    // buffer (the kept ones do not fit it) and lists leave the most in use as it was.
    const std::size_t most = core::point_memory().most_in_use;
    {
        core::ByteBuffer c(5 * buffer / 2);
        Lists lists = decode();
    }
    if (core::point_memory().most_in_use != most) return "kept blocks never taken counted as needed";
    if (core::point_memory().kept > most / 10 * 11) return "more kept than the bound";
    return "";
}

}  // namespace

TEST(PointLists, OverlappingOpensKeepWhatTheyNeededTogether) {
    // What other tests kept would be taken too, and their most in use hide the bound.
    if (core::point_memory().most_in_use != 0)
        GTEST_SKIP() << "needs a process no other test has used (ctest runs each test in one of its own)";
    EXPECT_EQ(overlapping_opens(), "");
}
