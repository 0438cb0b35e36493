#include "export/encoding/json_text.hpp"

#include "utf8.hpp"

namespace exporter {

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Sequence next = utf8::next_sequence(text.substr(i));
        const auto c = static_cast<unsigned char>(text[i]);
        if (!next.valid) {
            out += "\xEF\xBF\xBD";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out.append(text.substr(i, next.length));
        }
        i += next.length;
    }
    out += '"';
}

}  // namespace exporter
