// The format writers the pipeline drives (format_writer.hpp): indexed mzML, MGF, and the two
// Parquet tables. Each writes into outputs it is given, and none knows the reader.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "export/encoding/sha1.hpp"
#include "export/formats/document.hpp"
#include "export/formats/mzml.hpp"
#include "export/output/output_file.hpp"
#include "export/pipeline/format_writer.hpp"
#include "export/pipeline/selection.hpp"
#include "export/pipeline/task_pool.hpp"

namespace exporter {

// The input, as the documents name it: its path as given, and its SHA-1, which the caller works
// out from the same open file the reader decodes (for example in the pool while it is decoded).
struct SourceFile {
    std::string path;
    Pending<FileDigest>* digest = nullptr;
};

// What the mzML header says of the run, all but the figures only the conversion finds; whether
// the file's layout can hold MRM transitions (the header's room is sized for their chromatograms).
struct MzmlRun {
    DocumentInfo info;
    bool may_hold_transitions = false;
};

std::unique_ptr<FormatWriter> mzml_writer(OutputFile& out, MzmlRun run, const mzml::Options& options, SourceFile source);

std::unique_ptr<FormatWriter> mgf_writer(OutputFile& out);

// What the tables' metadata says of the run and of the options that shaped them.
struct TablesRun {
    std::string_view layout;
    std::optional<std::string> acquired_at;
    Selection selection;
    Processing processing;
    bool srm_as_spectra = false;  // as asked: the tables hold MRM transitions as rows whatever it is
};

std::unique_ptr<FormatWriter> tables_writer(OutputFile& spectra, OutputFile& points, TablesRun run, SourceFile source);

}  // namespace exporter
