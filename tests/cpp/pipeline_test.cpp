// The pipeline against a format writer of the test's own, which records what it is handed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "export/pipeline/pipeline.hpp"
#include "reader/reader.hpp"

namespace {

struct Ids : exporter::FormatWriter::Encoded {
    std::uint64_t first_index = 0;
    std::vector<std::string> ids;
};

class FakeWriter final : public exporter::FormatWriter {
public:
    std::size_t batch_records = 1;
    bool census_wanted = false;
    std::size_t fail_at_append = SIZE_MAX;  // the append (counted from 0) that fails

    mutable std::atomic<std::size_t> routed{0};  // records the pipeline decoded and asked about
    std::vector<std::string> appended;  // in the order appended
    std::uint64_t measurements = 0;
    std::optional<exporter::Census> census, real;
    bool order_kept = true;

    exporter::BatchLimits batch_limits() const override { return {SIZE_MAX, batch_records, 1}; }
    exporter::Route route(const core::SpectrumRecord& r) const override {
        ++routed;
        return r.acquisition_kind == core::acquisition::mrm_transition ? exporter::Route::measurement
                                                                       : exporter::Route::spectrum;
    }
    bool needs_census() const override { return census_wanted; }
    std::expected<void, std::string> begin(const exporter::Census* given, const std::vector<std::string>&) override {
        if (given) census = *given;
        return {};
    }
    std::unique_ptr<Encoded> encode(exporter::RecordBatch batch) const override {
        // Encoders finish out of order: a batch waits a little, longer for some.
        std::this_thread::sleep_for(std::chrono::microseconds(batch.first_index % 3 == 0 ? 300 : 20));
        auto encoded = std::make_unique<Ids>();
        encoded->first_index = batch.first_index;
        for (const core::SpectrumRecord& r : batch.records) encoded->ids.push_back(r.native_id);
        return encoded;
    }
    std::expected<void, std::string> append(Encoded& batch) override {
        const Ids& ids = static_cast<Ids&>(batch);
        if (appends_++ == fail_at_append) return std::unexpected("cannot write: disk full");
        order_kept = order_kept && ids.first_index == appended.size();
        appended.insert(appended.end(), ids.ids.begin(), ids.ids.end());
        return {};
    }
    void add_measurement(const core::SpectrumRecord&) override { ++measurements; }
    std::expected<void, std::string> decoded(const exporter::Census& c, exporter::ExportResult&) override {
        real = c;
        return {};
    }
    std::expected<void, std::string> finish(exporter::ExportResult&) override { return {}; }

private:
    std::size_t appends_ = 0;
};

const std::string gcms = std::string(TAVRIK_SAMPLES) + "/run-gcms.qgd";

// Runs the pipeline over `path` through `writer` with `threads` encoders (1: none, the caller's).
std::expected<exporter::ExportResult, std::string> run(const std::string& path, FakeWriter& writer, std::size_t threads,
                                                       const exporter::Selection& selection = {}) {
    auto opened = reader::Reader::open(path);
    if (!opened) return std::unexpected(opened.error().to_string());
    std::unique_ptr<exporter::TaskPool> pool;
    if (threads > 1) pool = std::make_unique<exporter::TaskPool>(threads);
    return exporter::run_pipeline(std::move(*opened), path, selection, {}, writer, {pool.get()});
}

}  // namespace

TEST(Pipeline, AppendsInFileOrderForAnyNumberOfEncoders) {
    FakeWriter alone;
    ASSERT_TRUE(run(gcms, alone, 1));
    ASSERT_GT(alone.appended.size(), 100u);
    for (const std::size_t threads : {2, 3, 4})
        for (const std::size_t records : {1, 7}) {
            FakeWriter writer;
            writer.batch_records = records;
            const auto result = run(gcms, writer, threads);
            ASSERT_TRUE(result);
            EXPECT_TRUE(writer.order_kept) << threads << " threads";
            EXPECT_EQ(writer.appended, alone.appended) << threads << " threads, batches of " << records;
            EXPECT_EQ(result->spectra, alone.appended.size());
        }
}

TEST(Pipeline, TheFirstFailedAppendStopsTheDecoding) {
    FakeWriter whole;
    ASSERT_TRUE(run(gcms, whole, 1));
    for (const std::size_t threads : {1, 2, 4}) {
        FakeWriter writer;
        writer.fail_at_append = 2;
        const auto result = run(gcms, writer, threads);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), "cannot write: disk full");
        // Three appends, and at most a batch in flight for each encoder, besides the one decoded.
        EXPECT_LE(writer.routed, 3 + threads + 1) << threads << " threads, of " << whole.routed << " records";
        EXPECT_FALSE(writer.real);  // the decoding did not end
    }
}

TEST(Pipeline, TheCensusIsWhatTheConversionWrites) {
    exporter::Selection selection;
    selection.retention_time = exporter::Window{60, 600};
    selection.mz = exporter::Window{50, 300};
    for (const char* sample : {"run-gcms.qgd", "run-qtof.lcd", "run-ttfl.lcd"}) {
        FakeWriter writer;
        writer.census_wanted = true;
        ASSERT_TRUE(run(std::string(TAVRIK_SAMPLES) + "/" + sample, writer, 2, selection)) << sample;
        ASSERT_TRUE(writer.census && writer.real) << sample;
        EXPECT_EQ(*writer.census, *writer.real) << sample;
        EXPECT_EQ(writer.census->spectra, writer.appended.size()) << sample;
        EXPECT_EQ(writer.census->measurements, writer.measurements) << sample;
        EXPECT_GT(writer.census->spectra + writer.measurements, 0u) << sample;
        EXPECT_TRUE(writer.census->seen_kinds.any()) << sample;
    }
}
