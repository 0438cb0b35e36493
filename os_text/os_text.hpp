// The text of an operating system error number, the same with every C library.
#pragma once

#include <string>

namespace os_text {

// "No such file or directory" for ENOENT, and so on; "Unknown error N" for a number it does not know.
std::string error_text(int error);

}  // namespace os_text
