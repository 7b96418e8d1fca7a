#include "py_sinks.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "py_arguments.hpp"

namespace {

// The largest object either result type can hold; both refuse the same counts.
constexpr std::size_t kLargestResult = PY_SSIZE_T_MAX - (offsetof(PyBytesObject, ob_sval) + 1);

bool is_ascii(const char *bytes, std::size_t size) {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + sizeof seen <= size; i += sizeof seen) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        seen |= word;
    }
    for (; i < size; ++i) {
        seen |= static_cast<unsigned char>(bytes[i]);
    }
    return (seen & 0x8080808080808080ULL) == 0;
}

} // namespace

BytesSink::~BytesSink() { Py_XDECREF(bytes_); }

char *BytesSink::reserve(std::size_t size) {
    if (size <= capacity_) {
        return bytes_ ? PyBytes_AS_STRING(bytes_) : empty_;
    }
    const auto length = static_cast<Py_ssize_t>(size);
    if (bytes_ == nullptr) {
        bytes_ = PyBytes_FromStringAndSize(nullptr, length);
    } else if (_PyBytes_Resize(&bytes_, length) != 0) {
        bytes_ = nullptr; // _PyBytes_Resize has freed it
    }
    if (bytes_ == nullptr) {
        capacity_ = 0;
        throw py::error_already_set();
    }
    capacity_ = size;
    return PyBytes_AS_STRING(bytes_);
}

std::size_t BytesSink::max_size() const { return kLargestResult; }

py::bytes BytesSink::take(std::size_t length) {
    if (bytes_ == nullptr) {
        return py::bytes();
    }
    if (length != capacity_ && _PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(length)) != 0) {
        bytes_ = nullptr;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(std::exchange(bytes_, nullptr));
}

TextSink::~TextSink() { Py_XDECREF(text_); }

char *TextSink::reserve(std::size_t size) {
    if (size <= capacity_) {
        return text_ ? static_cast<char *>(PyUnicode_DATA(text_)) : empty_;
    }
    const auto length = static_cast<Py_ssize_t>(size);
    if (text_ == nullptr) {
        text_ = PyUnicode_New(length, 127);
    } else if (PyUnicode_Resize(&text_, length) != 0) {
        Py_CLEAR(text_);
    }
    if (text_ == nullptr) {
        capacity_ = 0;
        throw py::error_already_set();
    }
    capacity_ = size;
    return static_cast<char *>(PyUnicode_DATA(text_));
}

std::size_t TextSink::max_size() const { return kLargestResult; }

py::str TextSink::take(std::size_t length) {
    if (text_ == nullptr) {
        return py::str();
    }
    const auto *bytes = static_cast<const char *>(PyUnicode_DATA(text_));
    if (!is_ascii(bytes, length)) {
        return decode_utf8({bytes, length});
    }
    if (length != capacity_ && PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(length)) != 0) {
        Py_CLEAR(text_);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(std::exchange(text_, nullptr));
}

void LineList::add(std::string_view line) {
    if (error_) {
        return;
    }
    PyObject *text =
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict");
    if (text == nullptr || PyList_Append(list_.ptr(), text) != 0) {
        error_.emplace();
    }
    Py_XDECREF(text);
}

py::list LineList::take() {
    if (error_) {
        throw std::move(*error_);
    }
    return std::move(list_);
}
