// Converting an opened raw file: the public entry points, which set up a format writer for the
// outputs they are given and run the pipeline (pipeline.hpp) through it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "export/formats/conversion.hpp"
#include "export/formats/mzml.hpp"
#include "export/output/output_file.hpp"
#include "export/pipeline/pipeline.hpp"
#include "export/pipeline/selection.hpp"
#include "export/pipeline/writers.hpp"
#include "reader/reader.hpp"

namespace exporter {

enum class Format : std::uint8_t { Mzml, Mgf, Parquet };

// What a conversion is asked for, by who reads it: the format, the selection of the records,
// what is done to their points, and the mzML document's own options.
struct ExportOptions {
    Format format = Format::Mzml;
    Selection selection;
    Processing processing;
    mzml::Options mzml;
};

// Writes the spectra of `reader`, opened from `source.path`, into `out` as options.format, mzML
// or MGF; mzML needs source.digest. The error is a message naming what failed.
std::expected<ExportResult, std::string> export_spectra(reader::Reader reader, const SourceFile& source,
                                                       const ExportOptions& options, const RunContext& context,
                                                       OutputFile& out);

// The name ending of the spectra table; the points table's name is the same stem with
// points_table_suffix.
inline constexpr std::string_view spectra_table_suffix = ".spectra.parquet";
inline constexpr std::string_view points_table_suffix = ".points.parquet";

// The points table's path for the spectra table's path (which ends in spectra_table_suffix).
std::string points_table_path(const std::string& spectra_table_path);

// Writes the records of `reader` as the two Parquet tables; options.format is not looked at,
// source.digest must be set. Both files are complete only once their outputs are committed
// together (commit_unit.hpp).
std::expected<ExportResult, std::string> export_columnar(reader::Reader reader, const SourceFile& source,
                                                         const ExportOptions& options, const RunContext& context,
                                                         OutputFile& spectra, OutputFile& points);

}  // namespace exporter
