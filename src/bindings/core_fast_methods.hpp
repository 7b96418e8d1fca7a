#pragma once

#include <pybind11/pybind11.h>

#include "py_async_file.hpp"

// Rebinds the hot members of a registered AsyncFile class with CPython's fast-call convention
// and points the type's iteration slot at the line reader.
void install_fast_methods(py::class_<PyAsyncFile> &cls);
