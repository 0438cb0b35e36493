#include "command_line.hpp"

#include <charconv>
#include <optional>
#include <string_view>

namespace convert {

const char* const usage_text = R"(Usage: tavrik-convert [OPTION]... INPUT...
Converts .qgd and .lcd raw files to indexed mzML (or MGF, or Parquet tables), one output
file per input (two for Parquet).

  -o, --output DIR     write into DIR (default: the current directory; made when missing)
      --format FORMAT  mzML (default) or mgf (MS2 spectra only, for search engines;
                       MRM transitions are written there as one-peak spectra) or
                       parquet (a table of spectra and a table of points)
      --no-zlib        store binary arrays uncompressed (default: zlib)
      --ms-level N|N-M keep only spectra of MS level N, or N to M (MRM transitions
                       are of level 2)
      --srm-as-spectra write each MRM transition measurement as a one-point SRM
                       spectrum (default: one SRM chromatogram per precursor and
                       product m/z pair, "SRM SIC Q1=<m/z> Q3=<m/z>")
  -j, --jobs N         use N threads (default: one per core); several inputs are
                       converted at once, and a single input's spectra are encoded
                       in parallel
      --overwrite      replace an existing output file (default: refuse)
  -q, --quiet          no progress line (shown only when stderr is a terminal)
  -h, --help           show this help and exit
  -V, --version        show the version and exit

Each INPUT becomes DIR/<name>.mzML (or .mgf, or <name>.spectra.parquet and
<name>.points.parquet), where <name> is the input's file name without its extension. Output is written to a temporary file and renamed into place
only when complete.

Exit status: 0 when every input was converted, 1 when any failed, 2 for a usage error.
)";

namespace {

std::optional<std::uint32_t> parse_count(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<exporter::LevelRange> parse_levels(std::string_view text) {
    const std::size_t dash = text.find('-');
    const auto lowest = parse_count(text.substr(0, dash));
    const auto highest = dash == std::string_view::npos ? lowest : parse_count(text.substr(dash + 1));
    if (!lowest || !highest || *lowest < 1 || *highest < *lowest) return std::nullopt;
    return exporter::LevelRange{*lowest, *highest};
}

std::optional<exporter::Format> parse_format(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == "mzml") return exporter::Format::Mzml;
    if (lower == "mgf") return exporter::Format::Mgf;
    if (lower == "parquet") return exporter::Format::Parquet;
    return std::nullopt;
}

// Sets the option `name` that takes no value; false when there is no such option.
bool set_flag(CommandLine& line, const std::string& name) {
    if (name == "--no-zlib") line.compress = false;
    else if (name == "--overwrite") line.overwrite = true;
    else if (name == "--srm-as-spectra") line.srm_as_spectra = true;
    else if (name == "-q" || name == "--quiet") line.quiet = true;
    else if (name == "-h" || name == "--help") line.help = true;
    else if (name == "-V" || name == "--version") line.version = true;
    else return false;
    return true;
}

bool takes_value(const std::string& name) {
    return name == "-o" || name == "--output" || name == "--format" || name == "--ms-level" || name == "-j" ||
           name == "--jobs";
}

// Sets the option `name` (one that takes_value) to `value`; the usage error when it is not one.
std::optional<std::string> set_value(CommandLine& line, const std::string& name, const std::string& value) {
    if (name == "-o" || name == "--output") {
        if (value.empty()) return "the output directory must not be empty";
        line.output_directory = value;
    } else if (name == "--format") {
        const auto format = parse_format(value);
        if (!format) return "invalid format '" + value + "' (expected mzML, mgf or parquet)";
        line.format = *format;
    } else if (name == "--ms-level") {
        const auto levels = parse_levels(value);
        if (!levels) return "invalid MS level '" + value + "' (expected N or N-M, from 1)";
        line.levels = *levels;
    } else {
        const auto jobs = parse_count(value);
        if (!jobs || *jobs < 1 || *jobs > 1024) return "invalid number of jobs '" + value + "' (expected 1 to 1024)";
        line.jobs = *jobs;
    }
    return std::nullopt;
}

}  // namespace

std::expected<CommandLine, std::string> parse_command_line(const std::vector<std::string>& arguments) {
    CommandLine line;
    bool options_end = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (options_end || argument.size() < 2 || argument[0] != '-') {
            line.inputs.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_end = true;
            continue;
        }
        // An option's value: "--name=value", "-xvalue", or the next argument.
        std::string name = argument;
        std::optional<std::string> attached;
        if (argument.starts_with("--")) {
            if (const std::size_t eq = argument.find('='); eq != std::string::npos) {
                name = argument.substr(0, eq);
                attached = argument.substr(eq + 1);
            }
        } else if (argument.size() > 2) {
            name = argument.substr(0, 2);
            attached = argument.substr(2);
        }
        if (takes_value(name)) {
            if (!attached && i + 1 >= arguments.size()) return std::unexpected("option '" + name + "' needs a value");
            if (auto error = set_value(line, name, attached ? *attached : arguments[++i])) return std::unexpected(*error);
        } else if (!set_flag(line, name)) {
            return std::unexpected("unknown option '" + name + "'");
        } else if (attached) {
            return std::unexpected("option '" + name + "' takes no value");
        }
    }
    if (!line.help && !line.version && line.inputs.empty()) return std::unexpected("no input files");
    return line;
}

}  // namespace convert
