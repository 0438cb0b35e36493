// What the pipeline (pipeline.hpp) asks of an output format: how records are batched and
// routed, a pure encoding of a batch on any thread, and writing the batches in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "core/spectrum.hpp"
#include "export/formats/conversion.hpp"
#include "export/formats/document.hpp"

namespace exporter {

// What a format makes of a record the selection keeps.
enum class Route : std::uint8_t { left_out, spectrum, measurement };

// When a batch is handed to the encoders: once it holds this many points or records (an index
// entry that yields more, an MRM scan of many transitions, is spread over several batches).
// Decoding waits for the oldest batch beyond in_flight_per_thread per encoding thread, so that
// only a few are held whatever the file.
struct BatchLimits {
    std::size_t points = 0;
    std::size_t records = 0;
    std::size_t in_flight_per_thread = 2;
};

// What one pass over a file's records finds: what a conversion writes and what it saw.
struct Census {
    std::uint64_t spectra = 0;
    std::uint64_t measurements = 0;
    SpectrumKinds written_kinds, seen_kinds;
    std::size_t index_entries = 0;
    std::size_t undecoded_entries = 0;
    bool operator==(const Census&) const = default;
};

// The warning of a run of which `undecoded` of its `entries` index entries could not be decoded.
std::string undecoded_warning(std::size_t undecoded, std::size_t entries);

// Consecutive records kept as spectra, numbered from first_index among those written. With
// centroiding, `profile` holds each record's chromatogram figures as its profile gave them.
struct RecordBatch {
    std::vector<core::SpectrumRecord> records;
    std::uint64_t first_index = 0;
    std::vector<ChromatogramPoint> profile;
};

class FormatWriter {
public:
    // A batch once encoded, in the format's own terms.
    struct Encoded {
        virtual ~Encoded() = default;
    };

    virtual ~FormatWriter() = default;

    virtual BatchLimits batch_limits() const = 0;
    // How a record the selection keeps is written; asked in file order, before the m/z window.
    virtual Route route(const core::SpectrumRecord& r) const = 0;
    // Adds the figures of the record's points, as this format writes them, to `summary`.
    virtual void count_points(WrittenSummary& summary, const core::SpectrumRecord& r) const { summary.add_points(r); }
    // Whether the beginning of the output needs the census of the whole file (a pass that
    // decodes it without keeping anything), before any batch is written.
    virtual bool needs_census() const { return false; }
    // Before the first batch; `census` is given when needs_census(), and `warnings` are those
    // known before decoding.
    virtual std::expected<void, std::string> begin(const Census* census, const std::vector<std::string>& warnings) = 0;
    // Pure: may run on any thread, at the same time as other batches' encoding.
    virtual std::unique_ptr<Encoded> encode(RecordBatch batch) const = 0;
    // Writes the next encoded batch, in file order; an error ends the conversion.
    virtual std::expected<void, std::string> append(Encoded& batch) = 0;
    // A record routed as a measurement, in file order.
    virtual void add_measurement(const core::SpectrumRecord&) {}
    // Once the last record is decoded and routed, while the batches still being encoded wait to
    // be appended: what the whole run is is known (`census`, the result's counts and warnings),
    // and the format may add to the result's warnings and fill what only it knows.
    virtual std::expected<void, std::string> decoded(const Census& census, ExportResult& result) = 0;
    // After the last batch is appended: ends the output.
    virtual std::expected<void, std::string> finish(ExportResult& result) = 0;
};

}  // namespace exporter
