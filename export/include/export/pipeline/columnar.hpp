// Converting an opened raw file into two Parquet tables: NAME.spectra.parquet, one row per
// spectrum, and NAME.points.parquet, one row per point (spectrum_index, mz, intensity). Point
// row groups are encoded in parallel when a task pool is given and written in order; both
// files are complete only once their outputs are committed together (commit_unit.hpp).
#pragma once

#include <expected>
#include <string>

#include "export/output/output_file.hpp"
#include "export/pipeline/spectra.hpp"

namespace exporter {

// The name ending of the spectra table; the points table's name is the same stem with
// points_table_suffix.
inline constexpr std::string_view spectra_table_suffix = ".spectra.parquet";
inline constexpr std::string_view points_table_suffix = ".points.parquet";

// The points table's path for the spectra table's path (which ends in spectra_table_suffix).
std::string points_table_path(const std::string& spectra_table_path);

// Writes the records of `reader`, opened from `input_path`, as the two tables; options.format
// is not looked at, options.source_digest must be set. The error is a message naming what failed.
std::expected<ExportResult, std::string> export_columnar(reader::Reader reader, const std::string& input_path,
                                                         const ExportOptions& options, OutputFile& spectra,
                                                         OutputFile& points);

}  // namespace exporter
