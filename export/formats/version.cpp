#include "export/formats/version.hpp"

#ifndef TAVRIK_VERSION
#error "TAVRIK_VERSION must name the project's version"
#endif

namespace exporter {

std::string_view software_version() noexcept { return TAVRIK_VERSION; }

}  // namespace exporter
