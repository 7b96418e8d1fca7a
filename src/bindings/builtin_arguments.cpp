#include "builtin_arguments.hpp"

#include <climits>

namespace {

[[noreturn]] void raise_set_error() { throw py::error_already_set(); }

// The integer an object stands for, by __index__; TypeError as builtin's for anything else.
py::object index_of(const py::handle &value) {
    PyObject *index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        raise_set_error();
    }
    return py::reinterpret_steal<py::object>(index);
}

const char *type_name(PyObject *object) {
    return object == Py_None ? "None" : Py_TYPE(object)->tp_name;
}

} // namespace

Py_ssize_t size_or_none(const py::handle &value) {
    if (value.is_none()) {
        return -1;
    }
    if (!PyIndex_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'",
                     Py_TYPE(value.ptr())->tp_name);
        raise_set_error();
    }
    const Py_ssize_t size = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) {
        raise_set_error();
    }
    return size;
}

Py_ssize_t index_size(const py::handle &value) {
    const Py_ssize_t size = PyLong_AsSsize_t(index_of(value).ptr());
    if (size == -1 && PyErr_Occurred()) {
        raise_set_error();
    }
    return size;
}

int c_int(const py::handle &value) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(index_of(value).ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) {
        raise_set_error();
    }
    if (overflow != 0 || number > INT_MAX || number < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        raise_set_error();
    }
    return static_cast<int>(number);
}

std::int64_t file_offset(const py::handle &value) {
    int overflow = 0;
    const long long offset = PyLong_AsLongLongAndOverflow(index_of(value).ptr(), &overflow);
    if (offset == -1 && PyErr_Occurred()) {
        raise_set_error();
    }
    if (overflow != 0) {
        PyErr_Format(PyExc_ValueError, "cannot fit '%.200s' into an offset-sized integer",
                     Py_TYPE(value.ptr())->tp_name);
        raise_set_error();
    }
    return offset;
}

std::int64_t file_length(const py::handle &value) {
    const long length = PyLong_AsLong(index_of(value).ptr());
    if (length == -1 && PyErr_Occurred()) {
        raise_set_error();
    }
    return length;
}

WrittenBytes::WrittenBytes(PyObject *data, bool binary) {
    if (binary && PyBytes_Check(data)) {
        bytes_ = {PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
    } else if (binary) {
        take_buffer(data);
    } else {
        take_text(data);
    }
}

// One contiguous run, as builtin's files take it; what is not bytes-like, or not contiguous, is
// refused in the buffer protocol's own words.
void WrittenBytes::take_buffer(PyObject *data) {
    view_.emplace(data, PyBUF_SIMPLE);
    const Py_buffer &view = view_->get();
    bytes_ = {static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len)};
}

void WrittenBytes::take_text(PyObject *data) {
    if (!PyUnicode_Check(data)) {
        PyErr_Format(PyExc_TypeError, "write() argument must be str, not %.50s", type_name(data));
        raise_set_error();
    }
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(data, &size);
    if (bytes == nullptr) {
        raise_set_error();
    }
    bytes_ = {bytes, static_cast<std::size_t>(size)};
}

WrittenLines::WrittenLines(const py::handle &lines, bool binary) {
    PyObject *sequence = PyList_Check(lines.ptr()) || PyTuple_Check(lines.ptr())
                             ? Py_NewRef(lines.ptr())
                             : PySequence_List(lines.ptr());
    if (sequence == nullptr) {
        raise_set_error();
    }
    items_ = py::reinterpret_steal<py::object>(sequence);
    count_ = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence));
    PyObject **item = PySequence_Fast_ITEMS(sequence);
    views_.reserve(count_);
    for (std::size_t i = 0; i < count_; ++i) {
        try {
            views_.push_back(converted_.emplace_back(item[i], binary).bytes());
        } catch (py::error_already_set &failure) { // emplace_back added nothing
            failure_.emplace(std::move(failure));
            return;
        }
    }
}

void WrittenLines::raise_failure() {
    if (failure_) {
        throw std::move(*failure_);
    }
}
