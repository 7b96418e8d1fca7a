#pragma once

#include <exception>

#include "async_file_core.hpp"

// Raises the Python exception for a failure thrown by the engine or the
// binding: std::invalid_argument, std::length_error and pybind11's value_error
// become ValueError, other std::runtime_error RuntimeError, with the same
// message. Messages quote file names and modes, which may hold any bytes, so
// they are decoded with backslashreplace: a byte that is not UTF-8 must never
// turn the failure into a UnicodeDecodeError. Anything else goes on to
// pybind11's own translation.
void translate_engine_error(std::exception_ptr error);

// Opens `core`. A missing path or a refused permission is the caller's input at fault, so those
// failures become ValueError; the others stay as the engine threw them.
void open_reporting_bad_paths(AsyncFileCore &core);

// The exceptions builtin files raise, for the asyncio front: ValueError "I/O operation on closed
// file." for a closed object, io.UnsupportedOperation naming the operation a mode refuses, OSError
// of the subclass errno selects for a failed system call (with the file's name for a failed open).
// Anything else as translate_engine_error.
void translate_front_error(std::exception_ptr error);
