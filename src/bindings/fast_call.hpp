#pragma once

// CPython fast-call entry points for members of a pybind11-registered class. pybind11's generic
// dispatch costs more than a whole buffered readline or write; an entry point made here binds
// its arguments itself and calls the member directly, with the same names, keywords, defaults,
// results and exceptions as the pybind11 method it replaces.

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <tuple>

#include <pybind11/pybind11.h>

namespace py = pybind11;

// CPython 3.13 made the fast-call signature public; before it, only the underscored name exists.
#if PY_VERSION_HEX >= 0x030D0000
using FastCallFunction = PyCFunctionFastWithKeywords;
#else
using FastCallFunction = _PyCFunctionFastWithKeywords;
#endif

struct FastMethod {
    const char *name;
    FastCallFunction function;
    std::string doc; // pybind11's docstring of the replaced method; its first line is the signature
    PyMethodDef definition; // CPython keeps a pointer to it: it lives as long as the module
};

// The fast methods of class T, one table per class, defined beside its entry points.
template <typename T> std::span<FastMethod> fast_methods_of();

// Replaces each method of the table on `cls`, keeping the docstring pybind11 generated for it.
void install_fast_methods(py::handle cls, std::span<FastMethod> methods);

// TypeError worded as pybind11's for arguments that match no signature.
[[noreturn]] void throw_incompatible(std::span<const FastMethod> methods, const char *name,
                                     PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// The T inside a pybind11 instance, or null with TypeError set when its constructor never ran.
template <typename T> T *constructed_instance(PyObject *self) {
    auto *instance = reinterpret_cast<py::detail::instance *>(self);
    const py::detail::value_and_holder slot = instance->get_value_and_holder();
    if (!slot.holder_constructed()) {
        const char *name = Py_TYPE(self)->tp_name; // "module.Class": the message names the class
        const char *dot = std::strrchr(name, '.');
        PyErr_Format(PyExc_TypeError, "%s object is not initialized", dot ? dot + 1 : name);
        return nullptr;
    }
    return slot.value_ptr<T>();
}

// Fills one slot per parameter from positional and keyword arguments, the way pybind11 binds
// them; a missing optional argument stays null.
template <typename T, std::size_t N>
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
        throw_incompatible(fast_methods_of<T>(), method, args, nargs, kwnames);
    }
}

inline py::object borrow_or_none(PyObject *argument) {
    return argument ? py::reinterpret_borrow<py::object>(argument) : py::none();
}

// `argument` converted as pybind11 would, or the TypeError for incompatible arguments.
template <typename T, typename Value>
Value convert_or_incompatible(const char *method, PyObject *argument, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames) {
    py::detail::make_caster<Value> caster;
    if (!caster.load(argument, true)) {
        throw_incompatible(fast_methods_of<T>(), method, args, nargs, kwnames);
    }
    return py::detail::cast_op<Value>(caster);
}

// Runs a member with pybind11's translation of C++ exceptions into Python ones.
template <typename T, typename Call> PyObject *call_member(PyObject *self, Call &&call) noexcept {
    T *object = constructed_instance<T>(self);
    if (object == nullptr) {
        return nullptr;
    }
    try {
        return call(*object);
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

// A member whose parameters are `names`, the first `required` of them required; `call`
// receives the object and one py::object per parameter (None where not given).
template <typename T, std::size_t N, typename Call>
PyObject *call_with_arguments(PyObject *self, const char *method,
                              const std::array<const char *, N> &names, std::size_t required,
                              PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                              Call &&call) {
    return call_member<T>(self, [&](T &object) {
        std::array<PyObject *, N> slots;
        bind_arguments<T>(method, names, required, args, nargs, kwnames, slots);
        return std::apply([&](auto *...slot) { return call(object, borrow_or_none(slot)...); },
                          slots);
    });
}

// tell() of any class whose tell() gives an integer; it takes no arguments.
template <typename T>
PyObject *fast_tell(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with_arguments<T>(self, "tell", std::array<const char *, 0>{}, 0, args, nargs,
                                  kwnames,
                                  [](T &file) { return PyLong_FromLongLong(file.tell()); });
}
