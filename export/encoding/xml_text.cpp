#include "export/encoding/xml_text.hpp"

#include "utf8.hpp"

namespace exporter {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_name_char(char c) { return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The character at the start of a non-empty text: its length in bytes (of the bytes one U+FFFD
// replaces, when it is not well-formed UTF-8), and whether XML 1.0 can carry it: not a control
// character other than tab and the line breaks, nor U+FFFE or U+FFFF, nor bytes that are not UTF-8.
struct Character {
    std::size_t length = 1;
    bool xml = false;
};

Character next_character(std::string_view text) {
    const auto b = static_cast<unsigned char>(text[0]);
    if (b < 0x80) return {1, b >= 0x20 || b == '\t' || b == '\n' || b == '\r'};
    const utf8::Sequence next = utf8::next_sequence(text);
    // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are well-formed UTF-8 but not XML characters.
    const bool noncharacter = next.valid && next.length == 3 && b == 0xEF &&
                              static_cast<unsigned char>(text[1]) == 0xBF && static_cast<unsigned char>(text[2]) >= 0xBE;
    return {next.length, next.valid && !noncharacter};
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            const Character next = next_character(text.substr(i));
            if (next.xml) out.append(text.substr(i, next.length));
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
                if (next_character(text.substr(i)).xml) out += c;
                else out += replacement;
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
    std::string spaced(text);
    for (std::size_t i = 0; i < spaced.size(); ++i) {
        if (!is_space(spaced[i])) continue;
        // A space that starts another "key=value" pair stays; any other white space is part of a value.
        std::size_t next = i + 1;
        while (next < spaced.size() && !is_space(spaced[next])) ++next;
        const std::string_view token = std::string_view(spaced).substr(i + 1, next - i - 1);
        const std::size_t eq = token.find('=');
        const bool starts_pair = spaced[i] == ' ' && eq != std::string_view::npos && eq > 0 && eq + 1 < token.size();
        if (!starts_pair) spaced[i] = '_';
    }
    // What is left is text that XML carries, or is replaced; no line break is left to end an MGF line.
    std::string id;
    id.reserve(spaced.size());
    for (std::size_t i = 0; i < spaced.size();) {
        const Character next = next_character(std::string_view(spaced).substr(i));
        if (next.xml) id.append(spaced, i, next.length);
        else id += replacement;
        i += next.length;
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
