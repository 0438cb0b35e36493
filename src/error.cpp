#include "error.hpp"

#include "os_text.hpp"

namespace reader {

Error Error::io_os(int os_error) {
    return Error(Kind::Io,
                 os_text::error_text(os_error) + " (os error " + std::to_string(os_text::linux_number(os_error)) + ")");
}

std::string Error::to_string() const {
    std::string text(kind_ == Kind::Io ? "I/O error: " : "parse error: ");
    text.append(message_);
    return text;
}

std::ostream& operator<<(std::ostream& out, const Error& error) { return out << error.to_string(); }

}  // namespace reader
