#pragma once

#include <pybind11/pybind11.h>

#include "engine_file.hpp"

// Rebinds the members the asyncio front calls for every small operation (read, readline,
// write, tell) with CPython's fast-call convention.
void install_fast_methods(py::class_<EngineFile> &cls);
