// Converting an opened raw file: its records decoded in batches, encoded as mzML or MGF text
// (in parallel when a task pool is given) and written in order into an output file.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "export/encoding/sha1.hpp"
#include "export/formats/conversion.hpp"
#include "export/output/output_file.hpp"
#include "export/pipeline/task_pool.hpp"
#include "reader/reader.hpp"

namespace exporter {

enum class Format : std::uint8_t { Mzml, Mgf, Parquet };  // Parquet: see columnar.hpp

// The MS levels kept, lowest to highest, both included.
struct LevelRange {
    std::uint32_t lowest = 1;
    std::uint32_t highest = std::numeric_limits<std::uint32_t>::max();
    bool contains(std::uint32_t level) const noexcept { return level >= lowest && level <= highest; }
};

struct ExportOptions {
    Format format = Format::Mzml;
    bool compress = true;  // zlib streams in the binary arrays
    bool numpress = false;  // MS-Numpress encodings of the arrays (mzML only)
    // Zero-intensity points of profile spectra that are not next to a non-zero point left out
    // of the arrays; every figure of the spectrum stays that of all its points.
    bool strip_zeros = false;
    // Profile spectra written as their centroids (centroid.hpp), leaving out peaks lower than
    // centroid_min_intensity; the TIC and BPC chromatograms stay those of the profile.
    bool centroid = false;
    double centroid_min_intensity = 0;
    std::optional<Window> retention_time;  // seconds: the spectra kept
    std::optional<Window> mz;              // the points kept, of every spectrum
    LevelRange levels;
    // MRM transition records as one-point "SRM spectra", as they are read, instead of one
    // selected reaction monitoring chromatogram per precursor and product pair (mzML only).
    bool srm_as_spectra = false;
    TaskPool* pool = nullptr;  // encodes batches in parallel; without one, the calling thread does
    // The input file's SHA-1 for the mzML header, which the caller works out from the same open
    // file the reader decoded (for example in the pool while the file is opened); mzML needs it.
    Pending<FileDigest>* source_digest = nullptr;
    // Where progress is counted, when set: records written, and bytes of the input decoded.
    std::atomic<std::uint64_t>* spectra_done = nullptr;
    std::atomic<std::uint64_t>* input_bytes_done = nullptr;
};

// Writes the spectra of `reader`, opened from `input_path`, into `out`; the reader is freed as
// soon as its last scan is decoded. The error is a message naming what failed.
std::expected<ExportResult, std::string> export_spectra(reader::Reader reader, const std::string& input_path,
                                                       const ExportOptions& options, OutputFile& out);

}  // namespace exporter
