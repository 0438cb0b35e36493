#include <gtest/gtest.h>

#include "byte_builder.hpp"
#include "raw/qtfl.hpp"

using namespace raw::qtfl;

namespace {

ByteBuilder scan_header(std::uint32_t header_value, std::uint32_t declared, std::uint32_t width) {
    ByteBuilder b;
    b.fill(16, 0xAB).u32(header_value).fill(4, 0xAB).u32(declared).fill(8, 0xAB).u32(width).fill(24, 0xAB);
    return b;
}

std::string message_of(const ByteBuilder& b) { return decode_scan(b).error().message(); }

}  // namespace

TEST(QtofIndex, RecordsAndSizes) {
    ByteBuilder index;
    index.u32(0).u32(0xFFFFFFFF).u32(7).fill(8, 0xFF).u32(1);
    index.u32(400).u32(0).u32(8).fill(8).u32(2);
    const auto records = parse_centroid_index(index);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[1].data_offset, 400u);
    EXPECT_EQ((*records)[1].aux_value, 8u);
    EXPECT_EQ((*records)[1].ms_level_code, 2u);
    EXPECT_TRUE(parse_centroid_index(ByteBuilder{})->empty());
    EXPECT_EQ(parse_centroid_index(ByteBuilder{}.fill(30)).error().message(),
              "Centroid Index stream size 30 is not a multiple of 24");

    ByteBuilder times;
    times.u32(1500).fill(8, 0xFF).u32(2500).fill(8).u32(0).fill(8);
    EXPECT_EQ(*parse_retention_time(times), (std::vector<std::uint32_t>{1500, 2500, 0}));
    EXPECT_EQ(parse_retention_time(ByteBuilder{}.fill(13)).error().message(),
              "Retention Time stream size 13 is not a multiple of 12");
}

TEST(QtofScan, DecodesBlocksOfMzAndIntensity) {
    auto b = scan_header(77, 20, 2);
    b.u64(500123456789012ull).u64(1000000000000ull).u16(65535).u16(3).fill(6, 0xCC);  // trailing bytes ignored
    const auto scan = decode_scan(b);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->header_value, 77.0);
    EXPECT_EQ(scan->mz, (core::Values<double>{500123456789012.0 / 1e12, 1.0}));
    EXPECT_DOUBLE_EQ(scan->mz[0], 500.123456789012);
    EXPECT_EQ(scan->intensity, (core::Values<float>{65535.0f, 3.0f}));

    auto wide = scan_header(0, 12, 4);
    wide.u64(0).u32(0xFFFFFFFF);
    EXPECT_EQ(decode_scan(wide)->intensity[0], 4294967296.0f);
    auto narrow = scan_header(0, 9, 1);
    narrow.u64(0).u8(200);
    EXPECT_EQ(decode_scan(narrow)->intensity[0], 200.0f);
}

TEST(QtofScan, EmptyScanAndChecksInOrder) {
    const auto empty = decode_scan(scan_header(5, 0, 3));
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->header_value);
    EXPECT_TRUE(empty->mz.empty());
    EXPECT_EQ(message_of(ByteBuilder{}.fill(63)), "QTOF centroid scan too short for 64-byte header: 63 bytes");
    EXPECT_EQ(message_of(scan_header(0, 24, 4).fill(20)),
              "QTOF centroid scan payload shorter than declared size: have 20, want 24");
    EXPECT_EQ(message_of(scan_header(0, 22, 3).fill(22)),
              "QTOF centroid scan has unsupported intensity width 3 (expected 1, 2, or 4 bytes)");
    EXPECT_EQ(message_of(scan_header(0, 25, 4).fill(25)),
              "QTOF centroid payload size 25 is not a multiple of 12 (8-byte mz + 4-byte intensity)");
}
