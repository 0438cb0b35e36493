// Opens a raw file with the reader and prints what it holds as JSON, one object a line: first
// the file ({"source_name", "acquired_at", "variant", "calibration"}), then every record with
// all of its fields. On failure prints {"error": "..."} and exits with 1.
#include <cmath>
#include <cstdio>
#include <string>

#include "export/encoding/json_text.hpp"
#include "reader/reader.hpp"

namespace {

using exporter::json_string;

std::string number(double v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

template <typename T>
std::string optional_text(const std::optional<T>& v) {
    if (!v) return "null";
    if constexpr (std::is_same_v<T, std::string>) return json_string(*v);
    else return number(static_cast<double>(*v));
}

template <typename Values>
std::string list(const Values& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += number(static_cast<double>(values[i]));
    }
    return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: raw_dump FILE\n");
        return 2;
    }
    auto reader = reader::Reader::open(argv[1]);
    if (!reader) {
        std::printf("{\"error\": %s}\n", json_string(reader.error().to_string()).c_str());
        return 1;
    }
    std::string calibration = "null";
    if (const auto* t = std::get_if<reader::TtflData>(&reader->data()); t && t->calibration)
        calibration.assign("[").append(number(t->calibration->slope)).append(", ")
            .append(number(t->calibration->intercept)).append("]");
    std::printf("{\"source_name\": %s, \"acquired_at\": %s, \"variant\": %d, \"calibration\": %s}\n",
                json_string(reader->source_name()).c_str(), optional_text(reader->acquired_at()).c_str(),
                static_cast<int>(reader->variant()), calibration.c_str());
    auto records = reader->iter_spectra();
    std::printf("{\"remaining\": %zu}\n", records->remaining());
    while (auto r = records->next()) {
        std::string precursor = "null";
        if (r->precursor)
            precursor = "{\"selected_mz\": " + optional_text(r->precursor->selected_mz) +
                        ", \"isolation_target_mz\": " + optional_text(r->precursor->isolation_target_mz) +
                        ", \"spectrum_ref\": " + optional_text(r->precursor->spectrum_ref) + "}";
        std::printf("{\"index\": %llu, \"scan_number\": %u, \"native_id\": %s, \"ms_level\": %u, "
                    "\"retention_time_sec\": %s, \"mz\": %s, \"intensity\": %s, \"representation\": %u, "
                    "\"acquisition_kind\": %u, \"mode_code\": %u, \"header_value\": %s, \"precursor\": %s}\n",
                    static_cast<unsigned long long>(r->index), r->scan_number, json_string(r->native_id).c_str(),
                    r->ms_level, number(r->retention_time_sec).c_str(), list(r->mz).c_str(),
                    list(r->intensity).c_str(), r->representation, r->acquisition_kind, r->mode_code,
                    optional_text(r->header_value).c_str(), precursor.c_str());
    }
    return 0;
}
