#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "line_sink.hpp"
#include "read_sink.hpp"

namespace py = pybind11;

// The largest bytes object; text results refuse the same counts.
inline constexpr std::size_t kLargestReadResult =
    PY_SSIZE_T_MAX - (offsetof(PyBytesObject, ob_sval) + 1);

// Storage for a read inside a new Python object of the result's type, grown
// with that type's own resize, so the object can become the result as it
// stands. `Storage` says how to make, resize and address such an object; its
// resize leaves a null pointer behind when it fails.
template <typename Storage> class ObjectSink : public ReadSink {
public:
    ObjectSink() = default;
    ObjectSink(const ObjectSink &) = delete;
    ObjectSink &operator=(const ObjectSink &) = delete;
    ~ObjectSink() { Py_XDECREF(object_); }

    char *reserve(std::size_t size) override {
        if (size <= capacity_) {
            return stored();
        }
        const auto length = static_cast<Py_ssize_t>(size);
        if (object_ == nullptr) {
            object_ = Storage::make(length);
        } else {
            Storage::resize(&object_, length);
        }
        if (object_ == nullptr) {
            capacity_ = 0;
            throw py::error_already_set();
        }
        capacity_ = size;
        return stored();
    }

    std::size_t max_size() const override { return kLargestReadResult; }

protected:
    char *stored() const { return object_ ? Storage::data(object_) : empty_; }

    // The object cut to `length`, handed over; null when nothing was reserved.
    PyObject *release(std::size_t length) {
        if (object_ != nullptr && length != capacity_) {
            Storage::resize(&object_, static_cast<Py_ssize_t>(length));
            if (object_ == nullptr) {
                throw py::error_already_set();
            }
        }
        return std::exchange(object_, nullptr);
    }

private:
    PyObject *object_ = nullptr;
    std::size_t capacity_ = 0;
    mutable char empty_[1] = {};
};

struct BytesStorage {
    static PyObject *make(Py_ssize_t size) { return PyBytes_FromStringAndSize(nullptr, size); }
    static void resize(PyObject **bytes, Py_ssize_t size) { _PyBytes_Resize(bytes, size); }
    static char *data(PyObject *bytes) { return PyBytes_AS_STRING(bytes); }
};

struct AsciiStorage {
    static PyObject *make(Py_ssize_t size) { return PyUnicode_New(size, 127); }
    static void resize(PyObject **text, Py_ssize_t size) {
        if (PyUnicode_Resize(text, size) != 0) {
            Py_CLEAR(*text); // PyUnicode_Resize keeps the old object on failure
        }
    }
    static char *data(PyObject *text) { return static_cast<char *>(PyUnicode_DATA(text)); }
};

// Backs a binary-mode read with the bytes object that the caller receives.
class BytesSink final : public ObjectSink<BytesStorage> {
public:
    // The first `length` bytes stored, as one bytes object.
    py::bytes take(std::size_t length);
};

// Backs a text-mode read with the storage of a new ASCII str. When the bytes
// read are all ASCII, that str is the result as it stands, with no second
// buffer and no copy; otherwise they are decoded from it as strict UTF-8 and
// the ASCII str, never shown to anyone, is dropped.
class TextSink final : public ObjectSink<AsciiStorage> {
public:
    // The first `length` bytes stored, decoded.
    py::str take(std::size_t length);
};

// Collects readlines() results as str, or as bytes when `binary`. A line that
// fails to decode is remembered and the rest still consumed, so the stream ends
// up after everything read whether or not the call succeeds.
class LineList final : public LineSink {
public:
    explicit LineList(bool binary = false) : binary_(binary) {}
    void add(std::string_view line) override;
    py::list take();

private:
    bool binary_;
    py::list list_;
    std::optional<py::error_already_set> error_;
};

// Runs `read` on a sink that becomes a bytes result in binary mode and a str result otherwise.
// `read` returns the length stored, or an optional length where nullopt means no result: then
// the result is a null object.
template <typename Read> py::object read_result(bool binary, Read &&read) {
    auto finish = [&](auto &sink) -> py::object {
        const auto length = read(sink);
        if constexpr (std::is_same_v<std::decay_t<decltype(length)>, std::size_t>) {
            return sink.take(length);
        } else {
            return length ? py::object(sink.take(*length)) : py::object();
        }
    };
    if (binary) {
        BytesSink sink;
        return finish(sink);
    }
    TextSink sink;
    return finish(sink);
}
