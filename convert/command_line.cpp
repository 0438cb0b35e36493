#include "command_line.hpp"

#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <utility>
#include <optional>
#include <string_view>

namespace convert {

const char* const usage_text = R"(Usage: tavrik-convert [OPTION]... INPUT...
Converts .qgd and .lcd raw files to indexed mzML (or MGF, or Parquet tables), one output
file per input (two for Parquet).

  -o, --output DIR     write into DIR (default: the current directory; made when missing);
                       -o - writes the one input's document to standard output
      --gzip           compress each output file with gzip (NAME.mzML.gz, NAME.mgf.gz);
                       the mzML index gives offsets in the uncompressed document
      --format FORMAT  mzML (default) or mgf (MS2 spectra only, for search engines;
                       MRM transitions are written there as one-peak spectra) or
                       parquet (a table of spectra and a table of points)
      --no-zlib        store binary arrays uncompressed (default: zlib)
      --numpress       store arrays with MS-Numpress (then zlib, unless --no-zlib):
                       m/z and times by linear prediction, each value within
                       (largest value of the array) / 2^31, / 2^32 for arrays
                       in ascending order (9.3e-7 and 4.7e-7 at m/z 2000);
                       intensities as short logged floats, value + 1 within a
                       factor 1 +- log(largest + 1) / 130000 (1.7e-4 for values
                       up to 2^32); an array it cannot carry within these
                       bounds is stored as without --numpress
      --ms-level N|N-M keep only spectra of MS level N, or N to M (MRM transitions
                       are of level 2)
      --rt START-END   keep only spectra whose scan start time (seconds) lies in
                       [START, END]; either end may be left out (--rt 300-)
      --mz LOW-HIGH    keep only the points with m/z in [LOW, HIGH], of every
                       spectrum (one may become empty); either end may be left out;
                       SRM chromatograms whose product m/z is outside are left out
      --strip-zeros    leave out the zero-intensity points of profile spectra that
                       are not next to a non-zero point (every spectrum's figures,
                       the total ion current and the chromatograms are unchanged)
      --centroid       turn every profile spectrum into centroids, one point a peak
                       (centroid spectra pass unchanged): a peak is a local maximum
                       between local minima, zeros or gaps in m/z; its m/z is the
                       apex of a parabola fitted to the logarithms of its samples
                       above half height, its intensity the fitted apex HEIGHT, not
                       the area; every figure of the spectrum is that of the peaks,
                       the TIC and BPC chromatograms stay those of the profile
                       (--strip-zeros is pointless with it)
      --centroid-min-intensity X
                       with --centroid, leave out peaks lower than X
      --srm-as-spectra write each MRM transition measurement as a one-point SRM
                       spectrum (default: one SRM chromatogram per precursor and
                       product m/z pair, "SRM SIC Q1=<m/z> Q3=<m/z>")
  -j, --jobs N         use N threads (default: one per core); several inputs are
                       converted at once, and a single input's spectra are encoded
                       in parallel
      --metadata       also write NAME.metadata.json: the raw file (name, size, SHA-1),
                       its layout and acquisition time, spectra per MS level, the
                       first and last retention time and the retention time and m/z
                       ranges written, the MS1 total ion current, undecodable index
                       entries, warnings, options, and the output (name, size, SHA-1)
      --overwrite      replace an existing output file (default: refuse)
  -q, --quiet          no progress line (shown only when stderr is a terminal)
      --list-outputs   convert nothing: print, for each INPUT, the files its
                       conversion would write, one JSON line an input:
                       {"input": INPUT, "outputs": [PATH, ...]}
  -h, --help           show this help and exit
  -V, --version        show the version and exit

Each INPUT becomes DIR/<name>.mzML (or .mgf, or <name>.spectra.parquet and
<name>.points.parquet), where <name> is the input's file name without its extension.
Each output is written to a temporary file, and what one input produces (the document
and its metadata, or both tables) is renamed into place together, only when complete:
there is the whole new output or what was there before, never a part. Each option is
given once at most; numbers are decimal.

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

// A decimal number ("12", "0.5", "1e-3", "+2.5E2"): no hexadecimal, infinity or white space.
std::optional<double> parse_decimal(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return std::nullopt;
    const std::string number(text);  // strtod: the C locale's decimal point, as no locale is set
    char* stop = nullptr;
    const double value = std::strtod(number.c_str(), &stop);
    if (stop != number.c_str() + number.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// "LOW-HIGH", "LOW-" or "-HIGH": finite decimal numbers, LOW not above HIGH. The dash between
// them is the one that is no exponent's sign ("1e-3-2e-2").
std::optional<exporter::Window> parse_window(std::string_view text) {
    std::size_t dash = std::string_view::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '-' || (i > 0 && (text[i - 1] == 'e' || text[i - 1] == 'E'))) continue;
        if (dash != std::string_view::npos) return std::nullopt;
        dash = i;
    }
    if (dash == std::string_view::npos || text.size() == 1) return std::nullopt;
    exporter::Window window;
    for (auto [part, end] : {std::pair{text.substr(0, dash), &window.low}, std::pair{text.substr(dash + 1), &window.high}}) {
        if (part.empty()) continue;
        const auto value = parse_decimal(part);
        if (!value) return std::nullopt;
        *end = *value;
    }
    if (window.low > window.high) return std::nullopt;
    return window;
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
    if (name == "--no-zlib") line.conversion.mzml.arrays.zlib = false;
    else if (name == "--overwrite") line.overwrite = true;
    else if (name == "--srm-as-spectra") line.conversion.mzml.srm_as_spectra = true;
    else if (name == "--numpress") line.conversion.mzml.arrays.numpress = true;
    else if (name == "--strip-zeros") line.conversion.mzml.arrays.strip_zeros = true;
    else if (name == "--centroid") line.conversion.processing.centroid = true;
    else if (name == "--gzip") line.gzip = true;
    else if (name == "--metadata") line.metadata = true;
    else if (name == "-q" || name == "--quiet") line.quiet = true;
    else if (name == "-h" || name == "--help") line.help = true;
    else if (name == "-V" || name == "--version") line.version = true;
    else if (name == "--list-outputs") line.list_outputs = true;
    else return false;
    return true;
}

bool takes_value(const std::string& name) {
    return name == "-o" || name == "--output" || name == "--format" || name == "--ms-level" || name == "-j" ||
           name == "--jobs" || name == "--rt" || name == "--mz" || name == "--centroid-min-intensity";
}

// Sets the option `name` (one that takes_value) to `value`; the usage error when it is not one.
std::optional<std::string> set_value(CommandLine& line, const std::string& name, const std::string& value) {
    if (name == "-o" || name == "--output") {
        if (value.empty()) return "the output directory must not be empty";
        line.output_directory = value;
    } else if (name == "--format") {
        const auto format = parse_format(value);
        if (!format) return "invalid format '" + value + "' (expected mzML, mgf or parquet)";
        line.conversion.format = *format;
    } else if (name == "--rt" || name == "--mz") {
        const auto window = parse_window(value);
        if (!window)
            return "invalid " + std::string(name == "--rt" ? "retention time" : "m/z") + " window '" + value +
                   "' for " + name + " (expected LOW-HIGH, either end may be left out)";
        (name == "--rt" ? line.conversion.selection.retention_time : line.conversion.selection.mz) = *window;
    } else if (name == "--centroid-min-intensity") {
        const auto intensity = parse_decimal(value);
        if (!intensity || *intensity < 0)
            return "invalid intensity '" + value + "' for --centroid-min-intensity (expected a number, 0 or more)";
        line.conversion.processing.centroid_min_intensity = *intensity;
        line.centroid_min_intensity_given = true;
    } else if (name == "--ms-level") {
        const auto levels = parse_levels(value);
        if (!levels) return "invalid MS level '" + value + "' (expected N or N-M, from 1)";
        line.conversion.selection.levels = *levels;
    } else {
        const auto jobs = parse_count(value);
        if (!jobs || *jobs < 1 || *jobs > 1024) return "invalid number of jobs '" + value + "' (expected 1 to 1024)";
        line.jobs = *jobs;
    }
    return std::nullopt;
}

// The long name of an option that takes a value, which its short name stands for.
std::string long_name(const std::string& name) {
    return name == "-o" ? "--output" : name == "-j" ? "--jobs" : name;
}

}  // namespace

std::expected<CommandLine, std::string> parse_command_line(const std::vector<std::string>& arguments) {
    CommandLine line;
    bool options_end = false;
    std::vector<std::string> given;  // the options with a value seen so far, by their long names
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
            // A second value would silently replace the first: say so instead.
            if (std::ranges::find(given, long_name(name)) != given.end())
                return std::unexpected("option '" + long_name(name) + "' is given more than once");
            given.push_back(long_name(name));
            if (auto error = set_value(line, name, attached ? *attached : arguments[++i])) return std::unexpected(*error);
        } else if (!set_flag(line, name)) {
            return std::unexpected("unknown option '" + name + "'");
        } else if (attached) {
            return std::unexpected("option '" + name + "' takes no value");
        }
    }
    if (!line.help && !line.version && line.inputs.empty()) return std::unexpected("no input files");
    if (line.output_directory == "-" && line.inputs.size() > 1)
        return std::unexpected("standard output (-o -) takes one input, not " + std::to_string(line.inputs.size()));
    if (line.conversion.format == exporter::Format::Parquet) {
        // Two tables a file, compressed column by column: the text formats' output options do not apply.
        const exporter::mzml::ArrayEncoding& arrays = line.conversion.mzml.arrays;
        for (const auto& [on, name] : {std::pair{line.output_directory == "-", "-o -"}, std::pair{line.gzip, "--gzip"},
                                       std::pair{!arrays.zlib, "--no-zlib"}, std::pair{arrays.numpress, "--numpress"},
                                       std::pair{arrays.strip_zeros, "--strip-zeros"}, std::pair{line.metadata, "--metadata"}})
            if (on) return std::unexpected(std::string(name) + " does not apply to --format parquet");
    }
    if (line.centroid_min_intensity_given && !line.conversion.processing.centroid)
        return std::unexpected("--centroid-min-intensity applies only with --centroid");
    if (line.output_directory == "-" && line.metadata)
        return std::unexpected("--metadata writes a file beside each output, which standard output (-o -) has not");
    return line;
}

}  // namespace convert
