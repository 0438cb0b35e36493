// The command line of tavrik-convert.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "export/pipeline/export.hpp"

namespace convert {

struct CommandLine {
    std::string output_directory = ".";  // "-": standard output
    exporter::ExportOptions conversion;  // the format, the selection, the processing, mzML's options
    bool centroid_min_intensity_given = false;
    bool gzip = false;
    bool metadata = false;
    std::size_t jobs = 0;  // 0: one per core
    bool overwrite = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool list_outputs = false;  // print each input's output paths instead of converting
    std::vector<std::string> inputs;
};

// The parsed arguments (without the program name), or the text of a usage error.
std::expected<CommandLine, std::string> parse_command_line(const std::vector<std::string>& arguments);

extern const char* const usage_text;

}  // namespace convert
