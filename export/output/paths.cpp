#include "export/output/paths.hpp"

#include "platform.hpp"

namespace exporter {

std::string file_name_of(std::string_view path) {
    const std::size_t slash = path.find_last_of(platform::path_separators);
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string directory_of(std::string_view path) {
    const std::size_t slash = path.find_last_of(platform::path_separators);
    if (slash == std::string_view::npos) return ".";
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

}  // namespace exporter
