#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <pybind11/pybind11.h>

#include "line_sink.hpp"
#include "read_sink.hpp"

namespace py = pybind11;

// Backs a binary-mode read with the bytes object that the caller receives.
class BytesSink final : public ReadSink {
public:
    BytesSink() = default;
    BytesSink(const BytesSink &) = delete;
    BytesSink &operator=(const BytesSink &) = delete;
    ~BytesSink();

    char *reserve(std::size_t size) override;
    std::size_t max_size() const override;
    // The first `length` bytes stored, as one bytes object.
    py::bytes take(std::size_t length);

private:
    PyObject *bytes_ = nullptr;
    std::size_t capacity_ = 0;
    char empty_[1] = {};
};

// Backs a text-mode read with the storage of a new ASCII str. When the bytes
// read are all ASCII, that str is the result as it stands, with no second
// buffer and no copy; otherwise they are decoded from it as strict UTF-8 and
// the ASCII str, never shown to anyone, is dropped.
class TextSink final : public ReadSink {
public:
    TextSink() = default;
    TextSink(const TextSink &) = delete;
    TextSink &operator=(const TextSink &) = delete;
    ~TextSink();

    char *reserve(std::size_t size) override;
    std::size_t max_size() const override;
    // The first `length` bytes stored, decoded.
    py::str take(std::size_t length);

private:
    PyObject *text_ = nullptr;
    std::size_t capacity_ = 0;
    char empty_[1] = {};
};

// Collects readlines() results as str. A line that fails to decode is
// remembered and the rest still consumed, so the stream ends up after
// everything read whether or not the call succeeds.
class LineList final : public LineSink {
public:
    void add(std::string_view line) override;
    py::list take();

private:
    py::list list_;
    std::optional<py::error_already_set> error_;
};
