#include "export/formats/metadata.hpp"

#include <cmath>

#include "export/encoding/json_text.hpp"
#include "export/encoding/xml_text.hpp"
#include "export/formats/version.hpp"

namespace exporter {
namespace {

// A figure as a JSON number; null when there is none (NaN: nothing was written to take it from)
// and when it is infinite, which JSON cannot hold: then a warning names it, so that it is not
// taken for a figure that is missing.
std::string json_number(double value, std::string_view name, std::vector<std::string>& warnings) {
    if (std::isinf(value))
        warnings.push_back(std::string(name) + " is " + (value > 0 ? "+" : "-") +
                           "infinity, which a JSON number cannot hold: written as null");
    if (!std::isfinite(value)) return "null";
    std::string text;
    append_number(text, value);
    return text;
}

std::string json_file(const FileFacts& file) {
    return "{\"name\": " + json_string(file.name) + ", \"size\": " + std::to_string(file.size) +
           ", \"sha1\": " + json_string(file.sha1) + "}";
}

}  // namespace

std::string json_number(double x) {
    std::string text = "null";
    if (std::isfinite(x)) append_number(text.erase(), x);
    return text;
}

std::string json_window(const std::optional<Window>& window) {
    if (!window) return "null";
    std::string out = "[";  // an end left out is infinite: null
    out += json_number(window->low);
    out += ", ";
    out += json_number(window->high);
    out += ']';
    return out;
}

std::string metadata_json(const ConversionFacts& facts, const ExportResult& result) {
    const WrittenSummary& s = result.summary;
    std::string levels;
    for (const auto& [level, count] : s.spectra_per_ms_level)
        levels += (levels.empty() ? "" : ", ") + json_string(std::to_string(level)) + ": " + std::to_string(count);
    std::vector<std::string> all_warnings = result.warnings;  // and those of the figures, after them
    auto figure = [&](std::string_view name, double value) { return json_number(value, name, all_warnings); };
    const std::string retention_time =
        "{\"first\": " + figure("retention_time_sec.first", s.first_retention_time_sec) +
        ", \"last\": " + figure("retention_time_sec.last", s.last_retention_time_sec) +
        ", \"lowest\": " + figure("retention_time_sec.lowest", s.lowest_retention_time_sec) +
        ", \"highest\": " + figure("retention_time_sec.highest", s.highest_retention_time_sec) + "}";
    const std::string mz =
        "{\"lowest\": " + figure("mz.lowest", s.lowest_mz) + ", \"highest\": " + figure("mz.highest", s.highest_mz) + "}";
    const std::string ms1_total_ion_current = figure("ms1_total_ion_current", s.ms1_total_ion_current);
    std::string warnings;
    for (const std::string& warning : all_warnings) warnings += (warnings.empty() ? "" : ", ") + json_string(warning);
    std::string options;
    for (const auto& [name, value] : facts.options)
        options += (options.empty() ? "" : ", ") + json_string(name) + ": " + value;
    std::string out = "{\n";
    auto line = [&](std::string_view key, const std::string& value, bool last = false) {
        out.append("  ").append(json_string(key)).append(": ").append(value).append(last ? "\n" : ",\n");
    };
    line("raw_file", json_file(facts.raw_file));
    line("layout", json_string(facts.layout));
    line("acquired_at", facts.acquired_at ? json_string(*facts.acquired_at) : "null");
    line("mz_are_channel_indices", facts.mz_are_channel_indices ? "true" : "false");
    line("index_entries", std::to_string(s.index_entries));
    line("undecoded_index_entries", std::to_string(s.undecoded_index_entries));
    line("spectra_per_ms_level", "{" + levels + "}");
    line("srm_chromatograms", std::to_string(result.transition_chromatograms));
    line("srm_measurements", std::to_string(s.srm_measurements));
    line("retention_time_sec", retention_time);
    line("mz", mz);
    line("ms1_total_ion_current", ms1_total_ion_current);
    line("warnings", "[" + warnings + "]");
    line("tavrik_version", json_string(software_version()));
    line("options", "{" + options + "}");
    line("output", json_file(facts.output), true);
    return out + "}\n";
}

}  // namespace exporter
