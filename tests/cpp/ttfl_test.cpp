#include <gtest/gtest.h>

#include "byte_builder.hpp"
#include "raw/ttfl.hpp"

using namespace raw::ttfl;

namespace {

ByteBuilder scan(std::initializer_list<std::uint16_t> words) {
    ByteBuilder b;
    b.fill(64, 0x80);  // header bytes are never searched
    for (auto w : words) b.u16(w);
    return b;
}

std::vector<std::uint16_t> words(std::initializer_list<std::uint16_t> w) { return w; }

}  // namespace

TEST(TtflIndex, RecordsSubsetsAndSize) {
    ByteBuilder b;
    for (std::uint32_t i = 0; i < 5; ++i) b.u32(100 * i).u32(0xFFFFFFFF).u32(i + 7).u32(0xFFFFFFFF);
    const auto subsets = parse_data_index(b);
    ASSERT_TRUE(subsets);
    ASSERT_EQ(subsets->size(), 5u);
    EXPECT_EQ((*subsets)[3].offset, 300u);
    EXPECT_EQ((*subsets)[3].time_index, 10u);
    EXPECT_EQ((*subsets)[3].subset, 3u);
    EXPECT_EQ((*subsets)[4].subset, 0u);
    EXPECT_TRUE(parse_data_index(ByteBuilder{})->empty());
    EXPECT_EQ(parse_data_index(ByteBuilder{}.fill(20)).error().to_string(),
              "parse error: Data Index stream size 20 is not a whole number of 16-byte subsets");
}

TEST(TtflBounds, NextGreaterDistinctOffset) {
    const std::vector<DataIndexSubset> subsets{{100, 0, 0}, {0, 0, 1}, {100, 0, 2}, {50, 0, 3}};
    EXPECT_EQ(scan_bounds(subsets, 180), (std::vector<ScanBounds>{{100, 180}, {0, 50}, {100, 180}, {50, 100}}));
    EXPECT_EQ(scan_bounds(std::vector<DataIndexSubset>{{0, 0, 0}}, 77), (std::vector<ScanBounds>{{0, 77}}));
    EXPECT_EQ(scan_bounds(std::vector<DataIndexSubset>{{500, 0, 0}}, 300), (std::vector<ScanBounds>{{500, 300}}));
    EXPECT_EQ(scan_bounds(std::vector<DataIndexSubset>{{0, 0, 0}}, 0x100000005ull), (std::vector<ScanBounds>{{0, 5}}));
    EXPECT_TRUE(scan_bounds({}, 10).empty());
}

TEST(TtflRunList, DecodeRle) {
    const auto runs = decode_rle(words({0x8003, 10, 5, 0, 7, 0x8001, 2, 9, 0x8000, 0x1234}));
    ASSERT_TRUE(runs);
    EXPECT_EQ(runs->words_consumed, 9u);
    ASSERT_EQ(runs->runs.size(), 2u);
    EXPECT_EQ(runs->runs[0].gap, 10);
    EXPECT_EQ(runs->runs[0].values, (std::vector<std::uint16_t>{5, 0, 7}));
    EXPECT_FALSE(decode_rle(words({})));
    EXPECT_FALSE(decode_rle(words({0x8001, 0, 5})));        // no word left for a terminator
    EXPECT_FALSE(decode_rle(words({0x9001, 0, 5, 0x8000})));  // header out of range
    EXPECT_FALSE(decode_rle(words({0xA000, 0, 5, 0x8000})));
    std::vector<std::uint16_t> longest{0x9000, 0};
    longest.resize(2 + 4096, 1);
    longest.push_back(0x8000);
    EXPECT_EQ(decode_rle(longest)->runs[0].values.size(), 4096u);
}

TEST(TtflScan, WorkedExample) {
    const auto decoded = decode_scan(scan({0x8003, 10, 5, 0, 7, 0x8001, 2, 9, 0x8000}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->channels, (core::Values<double>{10, 11, 12, 15}));
    EXPECT_EQ(decoded->intensity, (core::Values<float>{5, 0, 7, 9}));
    EXPECT_FALSE(decode_scan(scan({0x8003, 10, 5, 0, 7, 0x8001, 2, 9})));
    EXPECT_FALSE(decode_scan(scan({0x8003, 10, 5, 0, 7, 0x8001, 2, 9, 0x8000, 0x0000})));
    const auto last = decode_scan(scan({0x8003, 10, 5, 0, 7, 0x8001, 2, 9, 0x8000, 0x8000}));
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->channels.empty());
}

TEST(TtflScan, Lengths) {
    EXPECT_FALSE(decode_scan(ByteBuilder{}.fill(63)));
    const auto header_only = decode_scan(ByteBuilder{}.fill(64));
    ASSERT_TRUE(header_only);
    EXPECT_TRUE(header_only->channels.empty());
    EXPECT_FALSE(decode_scan(scan({0x8000})));                  // 66 bytes
    EXPECT_FALSE(decode_scan(scan({0x8000, 0x8000}).fill(1)));  // odd
    const auto terminator_only = decode_scan(scan({0x1234, 0x8000}));
    ASSERT_TRUE(terminator_only);
    EXPECT_TRUE(terminator_only->channels.empty());
}

TEST(TtflScan, StartSearch) {
    // A first run longer than 64 values is no candidate: decoding starts at a later header.
    std::vector<std::uint16_t> w{0x8041, 0};
    w.resize(2 + 65, 3);
    for (auto v : {0x8001, 4, 8, 0x8000}) w.push_back(static_cast<std::uint16_t>(v));
    ByteBuilder b;
    b.fill(64);
    for (auto v : w) b.u16(v);
    const auto decoded = decode_scan(b);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->channels, (core::Values<double>{4}));
    EXPECT_EQ(decoded->intensity, (core::Values<float>{8}));
    // Uninterpreted words before the run list, one of them a candidate that fails.
    const auto skipped = decode_scan(scan({0x8002, 0x0001, 0x8001, 0, 6, 0x8000}));
    ASSERT_TRUE(skipped);
    EXPECT_EQ(skipped->channels, (core::Values<double>{0}));
    EXPECT_EQ(skipped->intensity, (core::Values<float>{6}));
}

TEST(TtflScan, ChannelCounterWrapsAt32Bits) {
    ByteBuilder b;
    b.fill(64);
    std::vector<std::uint16_t> w;
    for (int r = 0; r < 65537; ++r) {
        w.push_back(0x8001);
        w.push_back(0xFFFF);
        w.push_back(1);
    }
    w.push_back(0x8000);
    for (auto v : w) b.u16(v);
    const auto decoded = decode_scan(b);
    ASSERT_TRUE(decoded);
    // After 65537 runs the counter has grown by 65537 * 65536 = 2^32 + 65536, modulo 2^32.
    EXPECT_EQ(decoded->channels.back(), 65535.0 + 65536.0 * 65536.0 - 4294967296.0);
}

TEST(TtflScan, ChainedHeadersThatAllFailAtTheLastWord) {
    // Every third word is a candidate whose chain runs through all later headers and fails
    // on the last word; a fresh decode per candidate would visit about n^2 / 6 words.
    ByteBuilder b;
    b.fill(64);
    const std::size_t runs = 1 << 17;
    for (std::size_t k = 0; k < runs; ++k) b.u16(0x8001).u16(1).u16(2);
    b.u16(0x0000);
    EXPECT_FALSE(decode_scan(b));
    // The same list with a terminator decodes from the first header.
    ByteBuilder good;
    good.fill(64);
    for (std::size_t k = 0; k < runs; ++k) good.u16(0x8001).u16(1).u16(2);
    good.u16(0x8000);
    EXPECT_EQ(decode_scan(good)->channels.size(), runs);
}

TEST(TtflCalibration, FitsTheSquareRootLaw) {
    auto tuning = [](std::vector<std::uint32_t> masses, std::vector<double> positions, std::size_t size = 0) {
        ByteBuilder b;
        b.pad_to(3022, 0x5A);
        for (auto m : masses) b.u32(m);
        b.pad_to(3150, 0x5A);
        for (auto p : positions) b.f64(p);
        if (size) b.pad_to(size, 0x5A);
        return b;
    };
    const auto c = parse_calibration(tuning({1000000, 4000000, 9000000, 0}, {25, 45, 65}));
    ASSERT_TRUE(c);
    EXPECT_DOUBLE_EQ(c->slope, 2.0);
    EXPECT_DOUBLE_EQ(c->intercept, 5.0);
    EXPECT_DOUBLE_EQ(c->mz(45), 400.0);
    EXPECT_DOUBLE_EQ(c->mz(5), 0.0);
    EXPECT_FALSE(parse_calibration(ByteBuilder{}.fill(3030)));
    EXPECT_FALSE(parse_calibration(tuning({1000000, 4000000, 9000000, 0}, {25, 45}, 3173)));
    EXPECT_TRUE(parse_calibration(tuning({1000000, 4000000, 9000000, 0}, {25, 45, 65})));
    // Only the masses before the first 0 word count; a 10th word is never read.
    EXPECT_TRUE(parse_calibration(tuning({1000000, 4000000, 9000000, 0, 7, 7, 7, 7, 7, 7}, {25, 45, 65})));
    EXPECT_FALSE(parse_calibration(tuning({10000000, 10000000, 10000000, 0}, {1, 2, 3})));
    EXPECT_FALSE(parse_calibration(tuning({1000000, 4000000, 9000000, 0}, {65, 45, 25})));
    EXPECT_FALSE(parse_calibration(tuning({1000000, 0, 9000000, 0}, {25, 45, 65})));
}
