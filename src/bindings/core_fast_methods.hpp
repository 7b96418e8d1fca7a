#pragma once

#include <pybind11/pybind11.h>

#include "py_async_file.hpp"

// Rebinds the hot members of a registered AsyncFile class with CPython's
// fast-call convention and points the type's iteration slot at the line
// reader. pybind11's generic dispatch costs more than a whole buffered
// readline or write; these entry points skip it and call the same PyAsyncFile
// members with the same names, keywords, defaults, results and exceptions.
void install_fast_methods(py::class_<PyAsyncFile> &cls);
