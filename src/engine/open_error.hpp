#pragma once

#include <stdexcept>
#include <string>

// A failed fopen. It keeps the errno so that callers can classify the
// failure by the system's verdict rather than by the text of the message.
class OpenError : public std::runtime_error {
public:
    OpenError(const std::string &message, int error_number)
        : std::runtime_error(message), error_number_(error_number) {}

    int error_number() const { return error_number_; }

private:
    int error_number_;
};
