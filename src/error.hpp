// The reader's single failure type: an I/O error or a parse error, each with its text.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

namespace reader {

class Error {
public:
    enum class Kind { Io, Parse };

    // An operating-system failure, described as "{description} (os error {number})".
    static Error io_os(int os_error);
    // An I/O failure that has no operating-system error number.
    static Error io(std::string description) { return Error(Kind::Io, std::move(description)); }
    static Error parse(std::string message) { return Error(Kind::Parse, std::move(message)); }

    Kind kind() const noexcept { return kind_; }
    // The I/O error's own text, or the parse message.
    const std::string& message() const noexcept { return message_; }
    // "I/O error: {}" or "parse error: {}".
    std::string to_string() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

std::ostream& operator<<(std::ostream& out, const Error& error);

// Raised by a bounds-checked read that the caller's own checks should have made impossible:
// a broken invariant, never a property of the input.
class InvariantBroken : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace reader
