#include "fast_methods.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// The signature line of each replaced member, taken from the docstring that
// pybind11 generated for it, so argument errors read as they did before.
struct FastMethod {
    const char *name;
    _PyCFunctionFastWithKeywords function;
    std::string doc;
    PyMethodDef definition; // CPython keeps a pointer to it: it lives as long as the module
};

[[noreturn]] void throw_incompatible(const char *name, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames);

// The PyAsyncFile inside a pybind11 instance, or null with TypeError set when
// its constructor never ran.
PyAsyncFile *file_of(PyObject *self) {
    auto *instance = reinterpret_cast<py::detail::instance *>(self);
    const py::detail::value_and_holder slot = instance->get_value_and_holder();
    if (!slot.holder_constructed()) {
        PyErr_SetString(PyExc_TypeError, "AsyncFile object is not initialized");
        return nullptr;
    }
    return slot.value_ptr<PyAsyncFile>();
}

// Fills one slot per parameter from positional and keyword arguments, the way
// pybind11 binds them; a missing optional argument stays null.
template <std::size_t N>
void bind_arguments(const char *method, const std::array<const char *, N> &names,
                    std::size_t required, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, std::array<PyObject *, N> &slots) {
    bool bound = nargs <= static_cast<Py_ssize_t>(N);
    slots.fill(nullptr);
    for (Py_ssize_t i = 0; bound && i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; bound && k < keywords; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = 0;
        while (index < N && PyUnicode_CompareWithASCIIString(keyword, names[index]) != 0) {
            ++index;
        }
        bound = index < N && slots[index] == nullptr;
        if (bound) {
            slots[index] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; bound && i < required; ++i) {
        bound = slots[i] != nullptr;
    }
    if (!bound) {
        throw_incompatible(method, args, nargs, kwnames);
    }
}

py::object borrow_or_none(PyObject *argument) {
    return argument ? py::reinterpret_borrow<py::object>(argument) : py::none();
}

template <typename T>
T convert_or_incompatible(const char *method, PyObject *argument, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) {
    py::detail::make_caster<T> caster;
    if (!caster.load(argument, true)) {
        throw_incompatible(method, args, nargs, kwnames);
    }
    return py::detail::cast_op<T>(caster);
}

// Runs a member with pybind11's translation of C++ exceptions into Python ones.
template <typename Call> PyObject *call_member(PyObject *self, Call &&call) noexcept {
    PyAsyncFile *file = file_of(self);
    if (file == nullptr) {
        return nullptr;
    }
    try {
        return call(*file);
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

// A member that takes one argument, `parameter`, optional unless `required`.
template <typename Call>
PyObject *call_with_one_argument(PyObject *self, const char *method, const char *parameter,
                                 bool required, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames, Call &&call) {
    return call_member(self, [&](PyAsyncFile &file) {
        std::array<PyObject *, 1> slots;
        bind_arguments(method, std::array{parameter}, required ? 1 : 0, args, nargs, kwnames,
                       slots);
        return call(file, borrow_or_none(slots[0]));
    });
}

PyObject *fast_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_one_argument(
        self, "read", "size", false, args, nargs, kwnames,
        [](PyAsyncFile &file, const py::object &size) { return file.read(size).release().ptr(); });
}

PyObject *fast_read1(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_one_argument(
        self, "read1", "size", false, args, nargs, kwnames,
        [](PyAsyncFile &file, const py::object &size) { return file.read1(size).release().ptr(); });
}

PyObject *fast_readinto(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    return call_with_one_argument(self, "readinto", "buffer", true, args, nargs, kwnames,
                                  [](PyAsyncFile &file, const py::object &buffer) {
                                      return PyLong_FromUnsignedLongLong(file.readinto(buffer));
                                  });
}

PyObject *fast_readline(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    return call_with_one_argument(self, "readline", "size", false, args, nargs, kwnames,
                                  [](PyAsyncFile &file, const py::object &size) {
                                      return file.readline(size).release().ptr();
                                  });
}

PyObject *fast_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_one_argument(self, "write", "data", true, args, nargs, kwnames,
                                  [](PyAsyncFile &file, const py::object &data) {
                                      return PyLong_FromUnsignedLongLong(file.write(data));
                                  });
}

PyObject *fast_seek(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_member(self, [&](PyAsyncFile &file) {
        std::array<PyObject *, 2> slots;
        bind_arguments("seek", std::array{"offset", "whence"}, 1, args, nargs, kwnames, slots);
        const auto offset =
            convert_or_incompatible<std::int64_t>("seek", slots[0], args, nargs, kwnames);
        const int whence =
            slots[1] ? convert_or_incompatible<int>("seek", slots[1], args, nargs, kwnames) : 0;
        return PyLong_FromLongLong(file.seek(offset, whence));
    });
}

PyObject *fast_tell(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_member(self, [&](PyAsyncFile &file) {
        std::array<PyObject *, 0> slots;
        bind_arguments("tell", std::array<const char *, 0>{}, 0, args, nargs, kwnames, slots);
        return PyLong_FromLongLong(file.tell());
    });
}

// The iteration slot: a null result without an error set ends a for loop
// without building a StopIteration.
PyObject *fast_next(PyObject *self) {
    return call_member(
        self, [](PyAsyncFile &file) -> PyObject * { return file.next_or_end().release().ptr(); });
}

std::array<FastMethod, 7> &fast_methods() {
    static std::array<FastMethod, 7> methods{{
        {"read", fast_read, {}, {}},
        {"read1", fast_read1, {}, {}},
        {"readinto", fast_readinto, {}, {}},
        {"readline", fast_readline, {}, {}},
        {"write", fast_write, {}, {}},
        {"seek", fast_seek, {}, {}},
        {"tell", fast_tell, {}, {}},
    }};
    return methods;
}

const std::string &doc_of(const char *name) {
    for (const FastMethod &method : fast_methods()) {
        if (std::string_view(method.name) == name) {
            return method.doc;
        }
    }
    static const std::string none;
    return none;
}

void throw_incompatible(const char *name, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    std::string_view signature = doc_of(name);
    signature = signature.substr(0, signature.find('\n'));
    signature.remove_prefix(std::min(signature.size(), signature.find('(')));
    std::string message = std::string(name) +
                          "(): incompatible function arguments. The following argument types "
                          "are supported:\n    1. " +
                          std::string(signature) + "\n\nInvoked with: ";
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        message.append(i ? ", " : "").append(py::repr(args[i]));
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        message.append(k ? ", " : (nargs ? "; kwargs: " : "kwargs: "))
            .append(py::str(PyTuple_GET_ITEM(kwnames, k)))
            .append("=")
            .append(py::repr(args[nargs + k]));
    }
    throw py::type_error(message);
}

} // namespace

void install_fast_methods(py::class_<PyAsyncFile> &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    for (FastMethod &method : fast_methods()) {
        method.doc = py::str(cls.attr(method.name).attr("__doc__")).cast<std::string>();
        method.definition = {
            method.name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method.function)),
            METH_FASTCALL | METH_KEYWORDS, method.doc.c_str()};
        py::object descriptor =
            py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &method.definition));
        if (!descriptor) {
            throw py::error_already_set();
        }
        cls.attr(method.name) = descriptor;
    }
    type->tp_iternext = fast_next;
    PyType_Modified(type);
}
