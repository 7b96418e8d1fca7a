#pragma once

#include <stdexcept>
#include <string>
#include <utility>

// The engine's failures. Each is a std::runtime_error with a fixed message; the subclasses let
// callers classify a failure by type and by the system's verdict, never by the message text.

// A failed system call, with the errno it set.
class IoError : public std::runtime_error {
public:
    IoError(const std::string &message, int error_number)
        : std::runtime_error(message), error_number_(error_number) {}

    int error_number() const { return error_number_; }

private:
    int error_number_;
};

// A failed open of `filename`.
class OpenError : public IoError {
public:
    OpenError(const std::string &message, int error_number, std::string filename)
        : IoError(message, error_number), filename_(std::move(filename)) {}

    const std::string &filename() const { return filename_; }

private:
    std::string filename_;
};

// An operation on an object whose stream is closed.
class NotOpenError : public std::runtime_error {
public:
    NotOpenError() : std::runtime_error("File not open") {}
};

// An operation that the object's mode does not allow; `operation` names it.
class ModeError : public std::runtime_error {
public:
    ModeError(const std::string &message, const char *operation)
        : std::runtime_error(message), operation_(operation) {}

    const char *operation() const { return operation_; }

private:
    const char *operation_;
};
