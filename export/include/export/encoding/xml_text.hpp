// Text for XML documents: escaped attribute values, numbers as the shortest decimal text that
// reads back as the same value, and identifiers made valid where the schema restricts them.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace exporter {

// Appends `text` for use inside a double-quoted attribute or as element content: the five
// markup characters as entities, tab and line breaks as character references, and as U+FFFD
// every byte that is not part of well-formed UTF-8 and every character XML 1.0 cannot carry
// (other control characters, U+FFFE, U+FFFF). Valid text is kept exactly. Every text of a
// document goes through here, so no name or value can make it ill-formed.
void append_escaped(std::string& out, std::string_view text);

template <typename Number>
void append_number(std::string& out, Number value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

// `text` as an XML name without colons (an identifier the schema types as xs:ID): characters
// other than ASCII letters, digits, '_', '-' and '.' become '_', and a '_' goes first when the
// text does not start with a letter or '_'.
std::string to_xml_name(std::string_view text);

// A record's identifier as every format writes it (mzML's id and spectrumRef, MGF's TITLE, the
// tables' native_id), in the form "key=value key=value": white space other than the single
// spaces between pairs (a file name with spaces or a tab) becomes '_', so that the pairs stay
// apart and the identifier stays on one line; then, as in append_escaped, bytes that are not
// UTF-8 and characters XML cannot carry (other control characters, U+FFFE, U+FFFF) become
// U+FFFD. Valid text is kept exactly, so the same record has the same identifier in every format.
std::string to_native_id(std::string_view text);

// A "file://" URI for an absolute path, with every byte outside the unreserved set and '/'
// percent-encoded, but the colon of a Windows drive ("/C:/Data" gives "file:///C:/Data").
std::string file_uri(std::string_view absolute_path);

}  // namespace exporter
