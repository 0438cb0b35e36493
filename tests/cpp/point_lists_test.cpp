#include "core/point_lists.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>

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

TEST(PointLists, AnUnmappedBlockLeavesNothingBehind) {
    std::uintptr_t where;
    {
        core::PointArena arena;
        core::Values<double> values(10);
        where = reinterpret_cast<std::uintptr_t>(values.data());
    }  // the block is unmapped here; new memory at its address must be plain memory
    void* page = reinterpret_cast<void*>(where & ~std::uintptr_t{4095});
    void* again = mmap(page, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (again == MAP_FAILED) GTEST_SKIP() << "the address was taken again";
    std::memset(again, 1, 4096);
    munmap(again, 4096);
}

}  // namespace
