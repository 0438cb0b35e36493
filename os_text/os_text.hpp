// The text of an operating system error number, the same with every C library.
#pragma once

#include <string>

namespace os_text {

// "No such file or directory" for ENOENT, and so on; "Unknown error N" for a number it does not know.
std::string error_text(int error);
// The number Linux gives the error the C library numbers `error` (the two differ on Windows for
// some), so that "(os error N)" reads the same everywhere.
int linux_number(int error);

}  // namespace os_text
