#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "byte_builder.hpp"
#include "os_text.hpp"
#include "core/spectrum.hpp"
#include "reader/reader.hpp"

using reader::Error;
using reader::split_file_name;

TEST(ErrorText, Display) {
    EXPECT_EQ(Error::parse("GC-MS scan too short").to_string(), "parse error: GC-MS scan too short");
    EXPECT_EQ(Error::io_os(2).to_string(), "I/O error: No such file or directory (os error 2)");
    std::ostringstream out;
    out << Error::io("broken chain");
    EXPECT_EQ(out.str(), "I/O error: broken chain");
#ifdef __GLIBC__
    // The texts every build uses are the C library's own where that is glibc.
    for (int error = -1; error < 140; ++error) EXPECT_EQ(os_text::error_text(error), std::strerror(error)) << error;
#endif
}

TEST(FileName, StemAndExtension) {
    auto parts = split_file_name("/data/run01.lcd");
    EXPECT_EQ(parts.stem, "run01");
    EXPECT_EQ(parts.extension, "lcd");
    parts = split_file_name("archive.tar.QGD");
    EXPECT_EQ(parts.stem, "archive.tar");
    EXPECT_EQ(parts.extension, "QGD");
    parts = split_file_name("dir.d/noext");
    EXPECT_EQ(parts.stem, "noext");
    EXPECT_FALSE(parts.extension);
    parts = split_file_name(".hidden");
    EXPECT_EQ(parts.stem, ".hidden");
    EXPECT_FALSE(parts.extension);
    parts = split_file_name("run.qgd/");
    EXPECT_EQ(parts.stem, "run");
    EXPECT_EQ(parts.extension, "qgd");
    parts = split_file_name("run.qgd/.");
    EXPECT_EQ(parts.stem, "run");
    EXPECT_FALSE(split_file_name("/").stem);
    EXPECT_FALSE(split_file_name("a/..").stem);
    EXPECT_FALSE(split_file_name("").stem);
}

TEST(U32Array, TrailingBytesIgnored) {
    EXPECT_TRUE(reader::parse_u32_array(ByteBuilder{}).empty());
    EXPECT_EQ(reader::parse_u32_array(ByteBuilder{}.u32(1500).fill(3, 0xFF)), std::vector<std::uint32_t>{1500});
}

TEST(RecordIterator, ExactSizeAndSkipping) {
    std::vector<core::SpectrumRecord> records(5);
    for (std::size_t i = 0; i < records.size(); ++i) records[i].index = i;
    core::RecordListIterator it(std::move(records));
    EXPECT_EQ(it.remaining(), 5u);
    EXPECT_EQ(it.next()->index, 0u);
    EXPECT_EQ(it.nth(2)->index, 3u);
    EXPECT_EQ(it.remaining(), 1u);
    EXPECT_FALSE(it.nth(3));
    EXPECT_EQ(it.remaining(), 0u);
    EXPECT_EQ(core::RecordListIterator({}).remaining(), 0u);
}
