// The one conversion pipeline, whatever the format: an opened raw file's records decoded in
// order, selected, gathered into batches, encoded (in parallel when a task pool is given) and
// appended in order by a format writer (format_writer.hpp), which then finishes its output.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <string>

#include "export/formats/conversion.hpp"
#include "export/pipeline/format_writer.hpp"
#include "export/pipeline/selection.hpp"
#include "export/pipeline/task_pool.hpp"
#include "reader/reader.hpp"

namespace exporter {

// What a conversion runs with, whatever its options.
struct RunContext {
    TaskPool* pool = nullptr;  // encodes batches in parallel; without one, the calling thread does
    // Where progress is counted, when set: records encoded, and bytes of the input decoded.
    std::atomic<std::uint64_t>* spectra_done = nullptr;
    std::atomic<std::uint64_t>* input_bytes_done = nullptr;
};

// The census of `reader`'s records as `format` would write them: the file decoded once without
// keeping anything.
Census take_census(const reader::Reader& reader, const Selection& selection, const FormatWriter& format);

// Writes the records of `reader` through `format`; the reader is freed as soon as its last scan
// is decoded. The first failure (an append's, a write's) ends the decoding at once. The error is
// a message naming what failed; `input_path` names the input in it.
std::expected<ExportResult, std::string> run_pipeline(reader::Reader reader, const std::string& input_path,
                                                      const Selection& selection, const Processing& processing,
                                                      FormatWriter& format, const RunContext& context);

}  // namespace exporter
