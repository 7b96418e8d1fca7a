#pragma once

#include <memory>
#include <string_view>

#include <pybind11/pybind11.h>

#include "completions.hpp"
#include "engine_file.hpp"

namespace py = pybind11;

// Starts the call `method` of the File `self` (read, write, seek, pread, ...) with `args`, its
// arguments without inline_only, on the engine's threads: it runs as `method(*args, False)`
// would, and `deliver` receives its outcome on the loop's thread. Reads that start at the file's
// position (read, read1, readinto, readlines) give (position they started at, result), for a
// caller that must put it back. Returns the ticket that can cancel it before it starts.
std::unique_ptr<Ticket> start_call(const py::object &self, Completions &completions,
                                   py::object deliver, std::string_view method,
                                   const py::args &args);

// Opens `path` (bytes) with os.open's `flags` and mode 0o666, or takes `descriptor` when path is
// None, and opens the File `self` over it, on the engine's threads: what larkspan.open() does
// after its checks. `deliver` receives the file's block size, or the OSError (naming `target`);
// a descriptor is closed on failure when `close_on_failure` says so, and one the job opened
// always is.
std::unique_ptr<Ticket> start_open(const py::object &self, Completions &completions,
                                   py::object deliver, const py::object &path, int flags,
                                   int descriptor, bool close_on_failure, const py::object &target);
