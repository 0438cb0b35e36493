// The parts of a path, split at the last of the platform's separators ('/'; on Windows '\' too).
#pragma once

#include <string>
#include <string_view>

namespace exporter {

// What follows the last separator; the whole path when it has none.
std::string file_name_of(std::string_view path);

// What precedes the last separator: "." when there is none, the root itself for a name in it.
std::string directory_of(std::string_view path);

}  // namespace exporter
