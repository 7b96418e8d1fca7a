// The module only registers: every member binds a PyAsyncFile function
// directly, and each asynchronous name binds the same function as its
// synchronous twin.

#include <cstring>

#include <pybind11/pybind11.h>

#include "core_fast_methods.hpp"
#include "py_async_file.hpp"
#include "py_errors.hpp"

namespace {

// The core is built for whichever interpreter builds it but loads only under CPython 3.12.
constexpr const char *kCompiledFor = "3.12";

// True under 3.12.x; otherwise false with the version-mismatch ImportError set. pybind11's own
// guard would compare with the version the build used, so this one replaces it below.
bool interpreter_is_compiled_for_version() {
    const char *running = Py_GetVersion();
    const std::size_t length = std::strlen(kCompiledFor);
    if (std::strncmp(running, kCompiledFor, length) == 0 &&
        !(running[length] >= '0' && running[length] <= '9')) {
        return true;
    }
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter "
                 "version is incompatible: %s.",
                 kCompiledFor, running);
    return false;
}

} // namespace

#undef PYBIND11_CHECK_PYTHON_VERSION
#define PYBIND11_CHECK_PYTHON_VERSION                                                              \
    if (!interpreter_is_compiled_for_version()) {                                                  \
        return nullptr;                                                                            \
    }

PYBIND11_MODULE(_larkspan_core, m) {
    m.doc() = "High-performance async file I/O for Python (C++ backend)";
    py::register_local_exception_translator(translate_engine_error);

    py::class_<PyAsyncFile> cls(m, "AsyncFile");
    cls.def(py::init<const std::string &, const std::string &>(), py::arg("filename"),
            py::arg("mode") = "r")
        .def("__aenter__", &PyAsyncFile::self_object)
        .def("__aexit__", &PyAsyncFile::exit)
        .def("__enter__", &PyAsyncFile::self_object)
        .def("__exit__", &PyAsyncFile::exit)
        .def("open", &PyAsyncFile::open)
        .def("close", &PyAsyncFile::close)
        .def("read", &PyAsyncFile::read, py::arg("size") = py::none())
        .def("readall", &PyAsyncFile::readall)
        .def("read1", &PyAsyncFile::read1, py::arg("size") = py::none())
        .def("readinto", &PyAsyncFile::readinto, py::arg("buffer"))
        .def("readline", &PyAsyncFile::readline, py::arg("size") = py::none())
        .def("readlines", &PyAsyncFile::readlines, py::arg("hint") = py::none())
        .def("write", &PyAsyncFile::write, py::arg("data"))
        .def("writelines", &PyAsyncFile::writelines, py::arg("lines"))
        .def("seek", &PyAsyncFile::seek, py::arg("offset"), py::arg("whence") = 0)
        .def("tell", &PyAsyncFile::tell)
        .def("flush", &PyAsyncFile::flush)
        .def("truncate", &PyAsyncFile::truncate, py::arg("size") = py::none())
        .def("isatty", &PyAsyncFile::isatty)
        .def("seekable", &PyAsyncFile::seekable)
        .def("writable", &PyAsyncFile::writable)
        .def("__iter__", &PyAsyncFile::self_object)
        .def("__next__", &PyAsyncFile::next)
        .def("__aiter__", &PyAsyncFile::self_object)
        .def("__anext__", &PyAsyncFile::next)
        .def_property_readonly("name", &PyAsyncFile::name)
        .def_property_readonly("mode", &PyAsyncFile::mode);
    install_fast_methods(cls);
}
