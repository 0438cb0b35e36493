// The version written into every document as the converting software's: the package's.
#pragma once

#include <string_view>

namespace exporter {

std::string_view software_version() noexcept;

}  // namespace exporter
