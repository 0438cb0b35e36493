#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>

#include <unistd.h>

#include "export/encoding/base64.hpp"
#include "export/encoding/json_text.hpp"
#include "export/encoding/sha1.hpp"
#include "export/encoding/xml_text.hpp"
#include "export/formats/metadata.hpp"
#include "export/output/commit_unit.hpp"
#include "export/output/output_file.hpp"
#include "export/pipeline/export.hpp"
#include "reader/reader.hpp"

namespace fs = std::filesystem;
using exporter::OutputFile;
using namespace std::string_view_literals;

TEST(XmlText, IdentifiersStayValid) {
    // A spectrum identifier must stay "key=value" pairs apart by single spaces.
    const std::regex pairs(R"(\S+=\S+( \S+=\S+)*)");
    for (const char* id : {"scan=7", "source=run 1 start=3 end=3", "source= lead start=1 end=1",
                           "source=a  b start=1 end=1", "source=tab\there start=2 end=2"}) {
        const std::string fixed = exporter::to_native_id(id);
        EXPECT_TRUE(std::regex_match(fixed, pairs)) << fixed;
    }
    EXPECT_EQ(exporter::to_native_id("source=run 1 start=3 end=3"), "source=run_1 start=3 end=3");
    EXPECT_EQ(exporter::to_native_id("scan=7"), "scan=7");
    // The same text in every format: no line break to end an MGF line, nothing XML cannot carry.
    EXPECT_EQ(exporter::to_native_id("source=a\x01\tb c\n\xC3\xA4\x7F start=1 end=1"),
              "source=a\xEF\xBF\xBD_b_c_\xC3\xA4\x7F start=1 end=1");
    EXPECT_EQ(exporter::to_xml_name("2024 run#1"), "_2024_run_1");
    std::string text;
    exporter::append_escaped(text, "a&<>\"'\x01");
    EXPECT_EQ(text, "a&amp;&lt;&gt;&quot;&apos;\xEF\xBF\xBD");
    // Whatever the bytes, the text is XML: a byte that is not UTF-8, an overlong form, a
    // surrogate, U+FFFE and U+FFFF each become U+FFFD; a sequence cut short becomes one.
    for (const auto& [in, out] : std::initializer_list<std::pair<std::string_view, std::string_view>>{
             {"caf\xE9!", "caf\xEF\xBF\xBD!"}, {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
             {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
             {"\xEF\xBF\xBE\xEF\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD"}, {"x\xE2\x82", "x\xEF\xBF\xBD"},
             {"\xC3\xA4\xE6\x9D\xB1\xF0\x9F\x98\x80\xEF\xBF\xBD\x7F", "\xC3\xA4\xE6\x9D\xB1\xF0\x9F\x98\x80\xEF\xBF\xBD\x7F"}}) {
        text.clear();
        exporter::append_escaped(text, in);
        EXPECT_EQ(text, out) << in;
    }
    EXPECT_EQ(exporter::file_uri("/data/my run/ü"), "file:///data/my%20run/%C3%BC");
}

TEST(JsonText, EscapedAndAlwaysUtf8) {
    // The one JSON string writer of the metadata, the Parquet key-value metadata, --list-outputs
    // and the tools: a byte that is not UTF-8 (a Latin-1 file name) must not make the line invalid.
    EXPECT_EQ(exporter::json_string("a\"\\\x01\n\xE9\xC3\xA4\x7F"), "\"a\\\"\\\\\\u0001\\u000a\xEF\xBF\xBD\xC3\xA4\x7F\"");
}

TEST(Metadata, FiguresDescribeWhatWasWritten) {
    auto record = [](double rt, std::uint8_t representation, std::vector<double> mz, std::vector<float> intensity) {
        core::SpectrumRecord r;
        r.retention_time_sec = rt;
        r.representation = representation;
        r.mz.assign(mz.begin(), mz.end());
        r.intensity.assign(intensity.begin(), intensity.end());
        return r;
    };
    exporter::ExportResult result;
    // --strip-zeros writes 101 to 103 of the first; the second, centroid, keeps its zero; the
    // retention times go back in file order.
    result.summary.add(record(3, core::representation::profile, {100, 101, 102, 103, 150}, {0, 0, 5, 0, 0}), false, true);
    result.summary.add(record(1, core::representation::centroid, {95}, {0}), false, true);
    result.summary.add(record(2, core::representation::profile, {120}, {1}), false, true);
    const std::string json = exporter::metadata_json({}, result);
    EXPECT_NE(json.find(R"("retention_time_sec": {"first": 3, "last": 2, "lowest": 1, "highest": 3})"), std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("mz": {"lowest": 95, "highest": 120})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("warnings": [])"), std::string::npos) << json;
    // An infinite m/z (a calibration can give one) is no JSON number: null, and a warning says so.
    result.summary.add(record(4, core::representation::profile, {130, INFINITY}, {1, 1}), false, true);
    const std::string infinite = exporter::metadata_json({}, result);
    EXPECT_NE(infinite.find(R"("mz": {"lowest": 95, "highest": null})"), std::string::npos) << infinite;
    EXPECT_NE(infinite.find(R"("warnings": ["mz.highest is +infinity, which a JSON number cannot hold: written as null"])"),
              std::string::npos)
        << infinite;
}

namespace {
std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

TEST(Base64, EveryRemainderAndEveryByte) {
    const auto text = [](std::string_view bytes) {
        std::string out = "<";
        const std::size_t appended = exporter::append_base64(out, std::as_bytes(std::span(bytes)));
        EXPECT_EQ(appended, out.size() - 1);
        return out.substr(1);
    };
    EXPECT_EQ(text(""), "");
    EXPECT_EQ(text("f"), "Zg==");
    EXPECT_EQ(text("fo"), "Zm8=");
    EXPECT_EQ(text("foo"), "Zm9v");
    EXPECT_EQ(text("foobar"), "Zm9vYmFy");
    EXPECT_EQ(text("\xFB\xEF\xBE\x00\x10\x83"sv), "++++ABCD");
    EXPECT_EQ(text("\xFF\xFF\xFF\xFF"sv), "/////w==");
}

// Known digests (sha1sum's): the FIPS 180 vectors, and lengths either side of the 64-byte block
// and of the 55 bytes after which the length no longer fits the last block. Each is fed whole, a
// byte at a time, and in two halves through a copy of the hash, as the mzML writer continues one.
TEST(Sha1, KnownDigestsHoweverFed) {
    const auto digest = [](std::string_view bytes, std::size_t piece) {
        exporter::Sha1 hash;
        for (std::size_t at = 0; at < bytes.size(); at += piece) hash.update(bytes.substr(at, piece));
        return hash.hex_digest();
    };
    const auto continued = [](std::string_view bytes) {
        exporter::Sha1 first;
        first.update(bytes.substr(0, bytes.size() / 2));
        exporter::Sha1 copy = first;
        first.update("never seen by the copy");
        copy.update(bytes.substr(bytes.size() / 2));
        return copy.hex_digest();
    };
    const std::pair<std::string, std::string_view> fips[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& [bytes, expected] : fips) {
        EXPECT_EQ(digest(bytes, 1 << 20), expected) << bytes.size();
        EXPECT_EQ(digest(bytes, 7), expected) << bytes.size();
        EXPECT_EQ(continued(bytes), expected) << bytes.size();
    }
    // Byte i is i * 7 mod 251.
    const std::pair<std::size_t, std::string_view> edges[] = {
        {55, "a83f94113f5292bb7ed9d7df07178ad7d931341a"},  {56, "372e1b20329e0b2862472089ac00c55505116275"},
        {63, "6944938dc131b6453b7d9637cfcbad8a3db28104"},  {64, "aec4b7f13a2b75ec13bc0c3f13fa55caf97e621d"},
        {65, "29a20455c2f21fa85c66014ff3b75bfcce5aaba5"},  {119, "43610a35bbf6783ba62fc82d421abc8b2f3e1abf"},
        {120, "482b555c1bda1cd10f9bdc34081249810af9fd77"}, {127, "66ac6c2e5cd910ce898e7bd293ed6851b716b8c1"},
        {128, "ddde2e96d57b78eda0da1151110a11eaa1d21d7b"}, {129, "8101d2f29d6595918892dc4a9792dc43fb08a506"},
    };
    for (const auto& [length, expected] : edges) {
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
        EXPECT_EQ(digest(bytes, length), expected) << length;
        EXPECT_EQ(digest(bytes, 1), expected) << length;
        EXPECT_EQ(continued(bytes), expected) << length;
    }
}

int commit(OutputFile& file, bool replace) {
    OutputFile* const unit[] = {&file};
    return exporter::commit_unit(unit, replace).error;
}

TEST(OutputFile, AppearsOnlyWhenCommittedAndNeverReplacesUnasked) {
    const fs::path dir = fs::temp_directory_path() / ("tavrik-output-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string target = (dir / "run.mzML").string();
    {
        auto out = OutputFile::create(target);
        ASSERT_TRUE(out);
        EXPECT_TRUE(out->write("partial"));
    }  // dropped before its commit: nothing is left
    EXPECT_TRUE(fs::is_empty(dir));

    auto first = OutputFile::create(target);
    ASSERT_TRUE(first);
    first->write(std::string(3 << 20, 'a'));  // larger than the buffer
    first->write("b");
    EXPECT_EQ(first->size(), (3u << 20) + 1);
    EXPECT_EQ(commit(*first, false), 0);
    EXPECT_EQ(fs::file_size(target), (3u << 20) + 1);

    {
        auto second = OutputFile::create(target);
        second->write("new");
        EXPECT_EQ(commit(*second, false), EEXIST);
        EXPECT_EQ(fs::file_size(target), (3u << 20) + 1);
    }
    auto third = OutputFile::create(target);
    third->write("new");
    EXPECT_EQ(commit(*third, true), 0);
    EXPECT_EQ(read_all(target), "new");
    // Of the refused output, not even its temporary file is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

TEST(Summary, OfTheTablesAsOfTheMzml) {
    // Every pipeline fills the summary: the Parquet tables' is the mzML's of the same records
    // (MRM transitions as spectra, as the tables keep them), for every layout.
    const fs::path dir = fs::temp_directory_path() / ("tavrik-summary-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    // With --centroid, both count the centroids, worked out on the encoders' threads.
    for (const bool centroid : {false, true})
    for (const char* sample : {"run-gcms.qgd", "run-qtof.lcd", "run-ttfl.lcd"}) {
        const std::string input = std::string(TAVRIK_SAMPLES) + "/" + sample;
        exporter::Pending<exporter::FileDigest> digest;
        digest.set({std::string(40, '0'), 0});
        exporter::ExportOptions options;
        options.mzml.srm_as_spectra = true;
        options.processing.centroid = centroid;
        const exporter::SourceFile source{input, &digest};
        auto document = OutputFile::create((dir / "run.mzML").string());
        auto spectra = OutputFile::create((dir / "run.spectra.parquet").string());
        auto points = OutputFile::create((dir / "run.points.parquet").string());
        auto opened = reader::Reader::open(input), again = reader::Reader::open(input);
        ASSERT_TRUE(document && spectra && points && opened && again) << sample;
        const auto mzml = exporter::export_spectra(std::move(*opened), source, options, {}, *document);
        const auto tables = exporter::export_columnar(std::move(*again), source, options, {}, *spectra, *points);
        ASSERT_TRUE(mzml && tables) << sample;
        const exporter::WrittenSummary &a = mzml->summary, &b = tables->summary;
        EXPECT_FALSE(b.spectra_per_ms_level.empty()) << sample;
        EXPECT_EQ(a.spectra_per_ms_level, b.spectra_per_ms_level) << sample;
        EXPECT_EQ(std::tuple(a.first_retention_time_sec, a.last_retention_time_sec, a.lowest_retention_time_sec,
                             a.highest_retention_time_sec, a.lowest_mz, a.highest_mz, a.ms1_total_ion_current,
                             a.index_entries, a.undecoded_index_entries),
                  std::tuple(b.first_retention_time_sec, b.last_retention_time_sec, b.lowest_retention_time_sec,
                             b.highest_retention_time_sec, b.lowest_mz, b.highest_mz, b.ms1_total_ion_current,
                             b.index_entries, b.undecoded_index_entries))
            << sample << (centroid ? " centroided" : "");
    }
    fs::remove_all(dir);
}
