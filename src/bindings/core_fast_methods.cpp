#include "core_fast_methods.hpp"

#include <array>
#include <cstdint>

#include "fast_call.hpp"

namespace {

PyObject *fast_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_arguments<PyAsyncFile>(
        self, "read", std::array{"size"}, 0, args, nargs, kwnames,
        [](PyAsyncFile &file, const py::object &size) { return file.read(size).release().ptr(); });
}

PyObject *fast_read1(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_arguments<PyAsyncFile>(
        self, "read1", std::array{"size"}, 0, args, nargs, kwnames,
        [](PyAsyncFile &file, const py::object &size) { return file.read1(size).release().ptr(); });
}

PyObject *fast_readinto(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    return call_with_arguments<PyAsyncFile>(
        self, "readinto", std::array{"buffer"}, 1, args, nargs, kwnames,
        [](PyAsyncFile &file, const py::object &buffer) {
            return PyLong_FromUnsignedLongLong(file.readinto(buffer));
        });
}

PyObject *fast_readline(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    return call_with_arguments<PyAsyncFile>(self, "readline", std::array{"size"}, 0, args, nargs,
                                            kwnames, [](PyAsyncFile &file, const py::object &size) {
                                                return file.readline(size).release().ptr();
                                            });
}

PyObject *fast_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_arguments<PyAsyncFile>(self, "write", std::array{"data"}, 1, args, nargs,
                                            kwnames, [](PyAsyncFile &file, const py::object &data) {
                                                return PyLong_FromUnsignedLongLong(
                                                    file.write(data));
                                            });
}

PyObject *fast_seek(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_member<PyAsyncFile>(self, [&](PyAsyncFile &file) {
        std::array<PyObject *, 2> slots;
        bind_arguments<PyAsyncFile>("seek", std::array{"offset", "whence"}, 1, args, nargs, kwnames,
                                    slots);
        const auto offset = convert_or_incompatible<PyAsyncFile, std::int64_t>(
            "seek", slots[0], args, nargs, kwnames);
        const int whence =
            slots[1]
                ? convert_or_incompatible<PyAsyncFile, int>("seek", slots[1], args, nargs, kwnames)
                : 0;
        return PyLong_FromLongLong(file.seek(offset, whence));
    });
}

// The iteration slot: a null result without an error set ends a for loop
// without building a StopIteration.
PyObject *fast_next(PyObject *self) {
    return call_member<PyAsyncFile>(
        self, [](PyAsyncFile &file) -> PyObject * { return file.next_or_end().release().ptr(); });
}

} // namespace

template <> std::span<FastMethod> fast_methods_of<PyAsyncFile>() {
    static std::array<FastMethod, 7> methods{{
        {"read", fast_read, {}, {}},
        {"read1", fast_read1, {}, {}},
        {"readinto", fast_readinto, {}, {}},
        {"readline", fast_readline, {}, {}},
        {"write", fast_write, {}, {}},
        {"seek", fast_seek, {}, {}},
        {"tell", fast_tell<PyAsyncFile>, {}, {}},
    }};
    return methods;
}

void install_fast_methods(py::class_<PyAsyncFile> &cls) {
    install_fast_methods(cls, fast_methods_of<PyAsyncFile>());
    reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_iternext = fast_next;
    PyType_Modified(reinterpret_cast<PyTypeObject *>(cls.ptr()));
}
