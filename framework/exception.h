#pragma once

#include <exception>
#include <string>

namespace framework {

// Base of the program's own exceptions: a message meant for the user's eyes.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Raised by a list for an index outside it.
class ListError : public Exception {
public:
    using Exception::Exception;
};

// Raised by the text-to-number conversions.
class ConvertError : public Exception {
public:
    using Exception::Exception;
};

} // namespace framework
