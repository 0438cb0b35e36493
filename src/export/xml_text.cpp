#include "export/xml_text.hpp"

namespace exporter {

void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\t': out += "&#9;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) out += "\xEF\xBF\xBD";
                else out += c;
        }
    }
}

namespace {
bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_name_char(char c) { return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

std::string to_xml_name(std::string_view text) {
    std::string name;
    if (text.empty() || !(is_ascii_letter(text.front()) || text.front() == '_')) name += '_';
    for (const char c : text) name += is_name_char(c) ? c : '_';
    return name;
}

std::string to_native_id(std::string_view text) {
    std::string id(text);
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (!is_space(id[i])) continue;
        // A space that starts another "key=value" pair stays; any other white space is part of a value.
        std::size_t next = i + 1;
        while (next < id.size() && !is_space(id[next])) ++next;
        const std::string_view token = std::string_view(id).substr(i + 1, next - i - 1);
        const std::size_t eq = token.find('=');
        const bool starts_pair = id[i] == ' ' && eq != std::string_view::npos && eq > 0 && eq + 1 < token.size();
        if (!starts_pair) id[i] = '_';
    }
    return id;
}

std::string file_uri(std::string_view absolute_path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char c : absolute_path) {
        if (is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            uri += c;
        } else {
            const auto b = static_cast<unsigned char>(c);
            uri += '%';
            uri += hex[b >> 4];
            uri += hex[b & 15];
        }
    }
    return uri;
}

}  // namespace exporter
