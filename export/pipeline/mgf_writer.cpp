// MGF through the pipeline: a block per product-ion spectrum, in order, then the warnings as
// comment lines.
#include "export/formats/mgf.hpp"
#include "export/pipeline/writers.hpp"

namespace exporter {
namespace {

struct EncodedText : FormatWriter::Encoded {
    Batch batch;
};

class MgfWriter final : public FormatWriter {
public:
    explicit MgfWriter(OutputFile& out) : out_(out) {}

    BatchLimits batch_limits() const override { return {std::size_t{1} << 19, 2048, 2}; }

    // MGF holds product-ion spectra; MRM transitions are one-point spectra like any other.
    Route route(const core::SpectrumRecord& r) const override {
        return r.ms_level >= 2 ? Route::spectrum : Route::left_out;
    }

    std::expected<void, std::string> begin(const Census*, const std::vector<std::string>&) override { return {}; }

    std::unique_ptr<Encoded> encode(RecordBatch batch) const override {
        auto encoded = std::make_unique<EncodedText>();
        encoded->batch.records = std::move(batch.records);
        encoded->batch.first_index = batch.first_index;
        mgf::encode_batch(encoded->batch);
        return encoded;
    }

    std::expected<void, std::string> append(Encoded& encoded) override {
        out_.write(static_cast<EncodedText&>(encoded).batch.text);
        if (out_.error() != 0) return std::unexpected(write_error(out_));
        return {};
    }

    std::expected<void, std::string> decoded(const Census&, ExportResult& result) override {
        if (result.spectra == 0) result.warnings.emplace_back("no spectra of MS level 2 or more to write, so the MGF file is empty");
        return {};
    }

    std::expected<void, std::string> finish(ExportResult& result) override {
        out_.write(mgf::comments(result.warnings));
        if (out_.error() != 0) return std::unexpected(write_error(out_));
        return {};
    }

private:
    OutputFile& out_;
};

}  // namespace

std::unique_ptr<FormatWriter> mgf_writer(OutputFile& out) { return std::make_unique<MgfWriter>(out); }

}  // namespace exporter
