#include "py_sinks.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "py_arguments.hpp"

namespace {

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

py::bytes BytesSink::take(std::size_t length) {
    PyObject *bytes = release(length);
    return bytes ? py::reinterpret_steal<py::bytes>(bytes) : py::bytes();
}

py::str TextSink::take(std::size_t length) {
    if (!is_ascii(stored(), length)) {
        return decode_utf8({stored(), length});
    }
    PyObject *text = release(length);
    return text ? py::reinterpret_steal<py::str>(text) : py::str();
}

void LineList::add(std::string_view line) {
    if (error_) {
        return;
    }
    const auto size = static_cast<Py_ssize_t>(line.size());
    PyObject *text = binary_ ? PyBytes_FromStringAndSize(line.data(), size)
                             : PyUnicode_DecodeUTF8(line.data(), size, "strict");
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
