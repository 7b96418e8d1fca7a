#include "engine_fast_methods.hpp"

#include <array>

#include "fast_call.hpp"

namespace {

bool is_true(const py::object &flag) {
    const int truth = PyObject_IsTrue(flag.ptr());
    if (truth < 0) {
        throw py::error_already_set();
    }
    return truth != 0;
}

// A member taking one argument and the inline_only flag, both required.
template <typename Call>
PyObject *call_with_flag(PyObject *self, const char *method, const char *parameter,
                         PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Call &&call) {
    return call_with_arguments<EngineFile>(
        self, method, std::array{parameter, "inline_only"}, 2, args, nargs, kwnames,
        [&](EngineFile &file, const py::object &argument, const py::object &inline_only) {
            return call(file, argument, is_true(inline_only)).release().ptr();
        });
}

PyObject *fast_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_flag(self, "read", "size", args, nargs, kwnames,
                          [](EngineFile &file, const py::object &size, bool inline_only) {
                              return file.read(size, inline_only);
                          });
}

PyObject *fast_readline(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    return call_with_flag(self, "readline", "size", args, nargs, kwnames,
                          [](EngineFile &file, const py::object &size, bool inline_only) {
                              return file.readline(size, inline_only);
                          });
}

PyObject *fast_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_flag(self, "write", "data", args, nargs, kwnames,
                          [](EngineFile &file, const py::object &data, bool inline_only) {
                              return file.write(data, inline_only);
                          });
}

} // namespace

template <> std::span<FastMethod> fast_methods_of<EngineFile>() {
    static std::array<FastMethod, 4> methods{{
        {"read", fast_read, {}, {}},
        {"readline", fast_readline, {}, {}},
        {"write", fast_write, {}, {}},
        {"tell", fast_tell<EngineFile>, {}, {}},
    }};
    return methods;
}

void install_fast_methods(py::class_<EngineFile> &cls) {
    install_fast_methods(cls, fast_methods_of<EngineFile>());
}
