#include <gtest/gtest.h>

#include "byte_builder.hpp"
#include "raw/qgd.hpp"

using namespace raw::qgd;

namespace {

ByteBuilder header(std::uint32_t rt, std::uint16_t format, std::uint16_t n_peaks, std::uint16_t event_id,
                   std::uint16_t n_transitions) {
    ByteBuilder b;
    b.fill(4, 0xEE).u32(rt).fill(12, 0xEE).u16(format).u16(n_peaks).u16(event_id).u16(n_transitions).fill(4, 0xEE);
    return b;
}

std::string message_of(std::span<const std::byte> bytes) { return parse_scan(bytes).error().message(); }

}  // namespace

TEST(GcmsIndex, LengthSelectsTheLayout) {
    EXPECT_TRUE(parse_spectrum_index(ByteBuilder{})->empty());
    EXPECT_TRUE(parse_spectrum_index(ByteBuilder{}.u16(0xFFFF))->empty());
    EXPECT_EQ(*parse_spectrum_index(ByteBuilder{}.u32(0xFFFFFFFF)), std::vector<std::uint64_t>{4294967295ull});
    EXPECT_EQ(*parse_spectrum_index(ByteBuilder{}.u16(0x1234).u64(0x100000000ull)),
              std::vector<std::uint64_t>{0x100000000ull});
    EXPECT_EQ(*parse_spectrum_index(ByteBuilder{}.u32(0).u32(100).u32(50)), (std::vector<std::uint64_t>{0, 100, 50}));
    for (std::size_t length : {1u, 3u, 6u, 7u}) {
        const auto result = parse_spectrum_index(ByteBuilder{}.fill(length));
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().to_string(),
                  "parse error: Spectrum Index stream size " + std::to_string(length) +
                      " matches neither Variant A (u32[N]) nor Variant B (2-byte header + u64[N])");
    }
}

TEST(GcmsScan, ProfilePoints) {
    auto b = header(312467, 2, 2, 0, 0);
    b.u16(1234).u16(65535).u16(0).u16(7);
    const auto scan = parse_scan(b);
    ASSERT_TRUE(scan);
    const auto& p = std::get<ProfileScan>(*scan);
    EXPECT_EQ(p.retention_time_ms, 312467u);
    EXPECT_EQ(p.mz, (core::Values<double>{123.4, 0.0}));
    EXPECT_EQ(p.intensity, (core::Values<float>{65535.0f, 7.0f}));
    EXPECT_EQ(p.mz[0], 1234 / 10.0);  // a division, not a product with 0.1
}

TEST(GcmsScan, EmptyProfileAndTooShort) {
    const auto empty = parse_scan(header(5, 2, 0, 0, 0));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(std::get<ProfileScan>(*empty).mz.empty());
    EXPECT_EQ(message_of(ByteBuilder{}.fill(31)), "GC-MS scan too short for 32-byte header: 31 bytes");
}

TEST(GcmsScan, MrmStridesGiveTwoThreeAndFourByteIntensities) {
    auto two = header(10, 1, 0, 9, 1);
    two.u16(1000).u16(500).u16(0xFFFF);
    auto three = header(10, 1, 0, 9, 1);
    three.u16(1000).u16(500).u8(1).u8(2).u8(3);
    auto four = header(10, 1, 0, 9, 1);
    four.u16(1000).u16(500).u32(0xFFFFFFFF);
    const auto t2 = std::get<MrmScan>(*parse_scan(two));
    const auto t3 = std::get<MrmScan>(*parse_scan(three));
    const auto t4 = std::get<MrmScan>(*parse_scan(four));
    EXPECT_EQ(t2.transitions[0].intensity, 65535.0f);
    EXPECT_EQ(t3.transitions[0].intensity, 197121.0f);
    EXPECT_EQ(t4.transitions[0].intensity, 4294967296.0f);
    EXPECT_EQ(t3.transitions[0].precursor_mz, 100.0);
    EXPECT_EQ(t3.transitions[0].product_mz, 50.0);
    EXPECT_EQ(t3.event_id, 9);
}

TEST(GcmsScan, LayoutChoice) {
    // Both tests hold: the profile test wins.
    auto both = header(1, 2, 6, 0, 4);
    both.fill(24, 1);
    EXPECT_TRUE(std::holds_alternative<ProfileScan>(*parse_scan(both)));
    // format 1 with a matching point count is never a profile scan.
    auto format1 = header(1, 1, 6, 0, 4);
    format1.fill(24, 1);
    EXPECT_TRUE(std::holds_alternative<MrmScan>(*parse_scan(format1)));
    // format 2 with the wrong count still gets the MRM test.
    auto mismatch = header(1, 2, 5, 0, 3);
    mismatch.fill(18);
    EXPECT_EQ(std::get<MrmScan>(*parse_scan(mismatch)).transitions.size(), 3u);
    // strides of 5 and 9, and no transitions.
    auto five = header(1, 1, 0, 3, 2);
    five.fill(10);
    EXPECT_EQ(message_of(five),
              "GC-MS scan did not match Profile or MRM layout: format=1 n_peaks=0 event_id=3 n_transitions=2 "
              "data_bytes=10");
    auto nine = header(1, 1, 0, 3, 1);
    nine.fill(9);
    EXPECT_FALSE(parse_scan(nine));
    auto none = header(1, 1, 4, 3, 0);
    none.fill(16);
    EXPECT_EQ(message_of(none),
              "GC-MS scan did not match Profile or MRM layout: format=1 n_peaks=4 event_id=3 n_transitions=0 "
              "data_bytes=16");
}
