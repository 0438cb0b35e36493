#include "export/xml_text.hpp"

#include "utf8.hpp"

namespace exporter {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_name_char(char c) { return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80) {
            const utf8::Sequence next = utf8::next_sequence(text.substr(i));
            // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are well-formed UTF-8 but not XML characters.
            const bool noncharacter = next.valid && next.length == 3 && b == 0xEF &&
                                      static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                                      static_cast<unsigned char>(text[i + 2]) >= 0xBE;
            if (next.valid && !noncharacter) out.append(text.substr(i, next.length));
            else out += replacement;
            i += next.length;
            continue;
        }
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
                if (b < 0x20) out += replacement;
                else out += c;
        }
        ++i;
    }
}

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
    // A Windows drive ("/C:/Data") keeps its colon, as file URIs write it.
    const bool drive = absolute_path.size() >= 3 && absolute_path[0] == '/' && is_ascii_letter(absolute_path[1]) &&
                       absolute_path[2] == ':' && (absolute_path.size() == 3 || absolute_path[3] == '/');
    for (std::size_t i = 0; i < absolute_path.size(); ++i) {
        const char c = absolute_path[i];
        if (is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' || c == '/' ||
            (drive && i == 2)) {
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
