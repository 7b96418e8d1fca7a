#include "fast_call.hpp"

#include <algorithm>
#include <string_view>

namespace {

const std::string &doc_of(std::span<const FastMethod> methods, const char *name) {
    for (const FastMethod &method : methods) {
        if (std::string_view(method.name) == name) {
            return method.doc;
        }
    }
    static const std::string none;
    return none;
}

} // namespace

void install_fast_methods(py::handle cls, std::span<FastMethod> methods) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    for (FastMethod &method : methods) {
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
    PyType_Modified(type);
}

void throw_incompatible(std::span<const FastMethod> methods, const char *name,
                        PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    std::string_view signature = doc_of(methods, name);
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
