#pragma once

#include <algorithm>
#include <cstring>

#include <pybind11/pybind11.h>

#include "byte_buffer.hpp"
#include "py_arguments.hpp"
#include "py_sinks.hpp"
#include "read_sink.hpp"

namespace py = pybind11;

// Memory that a read on an engine thread fills and that becomes its result on the loop's thread.
// In binary modes a bytes object of the expected size is made beforehand, on the loop's thread,
// and the engine thread writes into it without touching it otherwise: a read that fits becomes
// the result as it stands. A read that outgrows it (or any read in text mode) goes on in memory
// of its own, copied into the result at the end.
class PresizedResult final : public ReadSink {
public:
    PresizedResult(bool binary, std::size_t expected) : binary_(binary) {
        if (binary && expected != 0) {
            bytes_ = py::reinterpret_steal<py::object>(
                PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(expected)));
            if (!bytes_) {
                throw py::error_already_set();
            }
            memory_ = PyBytes_AS_STRING(bytes_.ptr());
            capacity_ = expected;
        }
    }

    char *reserve(std::size_t size) override {
        if (!spilled_ && size <= capacity_) {
            return memory_;
        }
        if (!spilled_) {
            spill_.resize(std::max(size, capacity_));
            if (capacity_ != 0) {
                std::memcpy(spill_.data(), memory_, capacity_); // what is stored lies within
            }
            spilled_ = true;
        } else if (size > spill_.size()) {
            spill_.resize(size);
        }
        return spill_.data();
    }

    std::size_t max_size() const override { return kLargestReadResult; }

    // The first `length` bytes stored, as the result of the file's mode.
    py::object take(std::size_t length) {
        if (spilled_ || !bytes_) {
            const char *stored = spilled_ ? spill_.data() : "";
            if (!binary_) {
                return decode_utf8({stored, length});
            }
            return py::bytes(stored, length);
        }
        PyObject *bytes = bytes_.release().ptr();
        if (length != capacity_ && _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(length)) != 0) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(bytes);
    }

private:
    bool binary_;
    py::object bytes_;         // made on the loop's thread; null in text mode
    char *memory_ = nullptr;   // bytes_'s storage
    std::size_t capacity_ = 0; // bytes_'s size
    ByteBuffer spill_;         // where the read goes on once it outgrows bytes_
    bool spilled_ = false;
};
