// The facts of one conversion as a JSON document (NAME.metadata.json beside the output): the raw
// file, what was written from it, and how.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "export/formats/conversion.hpp"

namespace exporter {

// A file by its name, size and SHA-1 (hex).
struct FileFacts {
    std::string name;
    std::uint64_t size = 0;
    std::string sha1;
};

struct ConversionFacts {
    FileFacts raw_file;
    std::string layout;  // "GC-MS", "QTOF" or "TTFL"
    std::optional<std::string> acquired_at;
    bool mz_are_channel_indices = false;
    // The options that shaped the output, by name, with their values as JSON text.
    std::vector<std::pair<std::string, std::string>> options;
    FileFacts output;
};

// The JSON text: keys in snake_case, numbers as the shortest text that reads back as the same
// value (null where there is none, and for an infinite figure, which a warning then names), text
// as valid UTF-8.
std::string metadata_json(const ConversionFacts& facts, const ExportResult& result);

// A window of an option as JSON: null when there is none, else [low, high] with null for an end
// left out.
std::string json_window(const std::optional<Window>& window);
// A number as JSON: null when it is not finite.
std::string json_number(double x);

}  // namespace exporter
