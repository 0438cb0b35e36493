#include "core/point_lists.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using Lists = std::vector<core::Values<double>>;

// `count` lists of growing length, filled with values that identify list and position.
Lists make_lists(std::size_t count) {
    Lists lists;
    for (std::size_t i = 0; i < count; ++i) {
        core::Values<double> values(1 + i % 1500);
        std::iota(values.begin(), values.end(), static_cast<double>(i));
        lists.push_back(std::move(values));
    }
    return lists;
}

bool intact(const Lists& lists) {
    for (std::size_t i = 0; i < lists.size(); ++i)
        for (std::size_t j = 0; j < lists[i].size(); ++j)
            if (lists[i][j] != static_cast<double>(i + j)) return false;
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

}  // namespace
