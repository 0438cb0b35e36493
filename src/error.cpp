#include "error.hpp"

#include <cstring>

namespace reader {

Error Error::io_os(int os_error) {
    char buffer[256];
    // The GNU strerror_r, which is thread-safe and may return a static text instead of `buffer`.
    const char* text = ::strerror_r(os_error, buffer, sizeof buffer);
    return Error(Kind::Io, std::string(text) + " (os error " + std::to_string(os_error) + ")");
}

std::string Error::to_string() const {
    std::string text(kind_ == Kind::Io ? "I/O error: " : "parse error: ");
    text.append(message_);
    return text;
}

std::ostream& operator<<(std::ostream& out, const Error& error) { return out << error.to_string(); }

}  // namespace reader
