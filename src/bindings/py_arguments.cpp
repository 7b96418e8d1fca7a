#include "py_arguments.hpp"

#include <cstddef>

namespace {

std::string type_name(const py::handle &object) {
    return py::str(py::type::handle_of(object)).cast<std::string>();
}

// The UTF-8 form of a str, kept inside the str object itself; nullopt for a
// str that has none (lone surrogates).
std::optional<std::string_view> utf8_of(const py::handle &text) {
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(bytes, static_cast<std::size_t>(size));
}

std::string_view utf8_or_cast_error(const py::handle &text) {
    if (auto bytes = utf8_of(text)) {
        return *bytes;
    }
    throw py::cast_error("Unable to cast Python instance of type " + type_name(text) +
                         " to C++ type 'std::string'");
}

[[noreturn]] void throw_incompatible_lines(const py::handle &lines) {
    throw py::type_error("writelines(): incompatible function arguments. The following argument "
                         "types are supported:\n    1. (self: _larkspan_core.AsyncFile, lines: "
                         "collections.abc.Sequence[str | bytes | bytearray]) -> None\n\n"
                         "Invoked with: " +
                         type_name(lines));
}

} // namespace

void require_no_nul(const std::string &path) {
    if (path.find('\0') != std::string::npos) {
        throw py::value_error("embedded null byte");
    }
}

std::optional<std::uint64_t> optional_count(const py::object &value) {
    if (value.is_none()) {
        return std::nullopt;
    }
    return value.cast<std::uint64_t>();
}

py::str decode_utf8(std::string_view bytes) {
    PyObject *text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

BufferView::BufferView(PyObject *object, int flags) {
    if (PyObject_GetBuffer(object, &view_, flags) != 0) {
        throw py::error_already_set();
    }
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

WritableTarget::WritableTarget(const py::object &buffer)
    : view_(require_buffer(buffer), PyBUF_FULL_RO) {
    // Bytes are stored as one contiguous run, so the target must take exactly that.
    if (view_.get().readonly) {
        throw py::type_error("readinto requires a writable buffer");
    }
    if (!view_.is_contiguous()) {
        throw py::value_error("readinto requires a contiguous buffer");
    }
}

PyObject *WritableTarget::require_buffer(const py::object &buffer) {
    if (!PyObject_CheckBuffer(buffer.ptr())) {
        throw py::type_error("readinto requires a buffer object");
    }
    return buffer.ptr();
}

WriteData::WriteData(const py::object &data) {
    if (PyBytes_Check(data.ptr())) {
        bytes_ = {PyBytes_AS_STRING(data.ptr()),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
    } else if (PyUnicode_Check(data.ptr())) {
        bytes_ = utf8_or_cast_error(data);
    } else if (PyObject_CheckBuffer(data.ptr())) {
        take_buffer(data);
    } else {
        printed_ = py::str(data);
        bytes_ = utf8_or_cast_error(printed_);
    }
}

void WriteData::take_buffer(const py::object &data) {
    view_.emplace(data.ptr(), PyBUF_FULL_RO);
    const Py_buffer &view = view_->get();
    if (view_->is_contiguous()) {
        bytes_ = {static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len)};
        return;
    }
    copy_.resize(static_cast<std::size_t>(view.len));
    if (PyBuffer_ToContiguous(copy_.data(), &view, view.len, 'C') != 0) {
        throw py::error_already_set();
    }
    bytes_ = copy_;
}

LineViews::LineViews(const py::object &lines) {
    const bool is_sequence = PySequence_Check(lines.ptr()) && !PyUnicode_Check(lines.ptr()) &&
                             !PyBytes_Check(lines.ptr());
    if (!is_sequence) {
        throw_incompatible_lines(lines);
    }
    items_ = py::reinterpret_steal<py::object>(PySequence_Fast(lines.ptr(), "lines"));
    if (!items_) {
        throw py::error_already_set();
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items_.ptr());
    PyObject **item = PySequence_Fast_ITEMS(items_.ptr());
    views_.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *line = item[i];
        if (PyBytes_Check(line)) {
            views_.emplace_back(PyBytes_AS_STRING(line), PyBytes_GET_SIZE(line));
        } else if (PyByteArray_Check(line)) {
            views_.emplace_back(PyByteArray_AS_STRING(line), PyByteArray_GET_SIZE(line));
        } else if (auto utf8 = PyUnicode_Check(line) ? utf8_of(line) : std::nullopt) {
            views_.push_back(*utf8);
        } else {
            throw_incompatible_lines(lines);
        }
    }
}
