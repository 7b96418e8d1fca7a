#include "py_errors.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <pybind11/pybind11.h>

#include "engine_errors.hpp"

namespace py = pybind11;

namespace {

void raise(PyObject *type, const std::exception &error) {
    const char *message = error.what();
    PyObject *text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                          "backslashreplace");
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
}

// OSError of the subclass `error_number` selects, naming the file as builtin's open() does.
void raise_with_filename(int error_number, const std::string &filename) {
    PyObject *name =
        PyUnicode_DecodeFSDefaultAndSize(filename.data(), static_cast<Py_ssize_t>(filename.size()));
    if (name != nullptr) {
        errno = error_number;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
        Py_DECREF(name);
    }
}

} // namespace

void translate_engine_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const py::value_error &failure) {
        raise(PyExc_ValueError, failure);
    } catch (const py::builtin_exception &) {
        throw; // pybind11's other exceptions carry texts of the binding's own
    } catch (const std::invalid_argument &failure) {
        raise(PyExc_ValueError, failure);
    } catch (const std::length_error &failure) {
        raise(PyExc_ValueError, failure);
    } catch (const std::runtime_error &failure) {
        raise(PyExc_RuntimeError, failure);
    }
}

void open_reporting_bad_paths(AsyncFileCore &core) {
    try {
        core.open();
    } catch (const OpenError &error) {
        if (error.error_number() == ENOENT || error.error_number() == EACCES) {
            throw py::value_error(error.what());
        }
        throw;
    }
}

void translate_front_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const NotOpenError &) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    } catch (const ModeError &failure) {
        static PyObject *const unsupported =
            py::object(py::module_::import("io").attr("UnsupportedOperation")).release().ptr();
        PyErr_SetString(unsupported, failure.operation());
    } catch (const OpenError &failure) {
        raise_with_filename(failure.error_number(), failure.filename());
    } catch (const IoError &failure) {
        errno = failure.error_number();
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (...) {
        translate_engine_error(std::current_exception());
    }
}
