// Text as a JSON string: quoted, '"' and '\' escaped, control characters as \u00XX, and every
// byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD, so that the JSON is
// valid whatever the text held (a file name, a stream's name in a container).
#pragma once

#include <string>
#include <string_view>

namespace exporter {

void append_json_string(std::string& out, std::string_view text);

inline std::string json_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

}  // namespace exporter
