#pragma once

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

#include "async_file_core.hpp"
#include "constructed_caster.hpp"

namespace py = pybind11;

// The Python face of AsyncFileCore: converts arguments to byte strings and
// counts, calls the engine, and builds the Python results. Each synchronous
// member doubles as its asynchronous twin.
class PyAsyncFile {
public:
    PyAsyncFile(const std::string &filename, const std::string &mode);

    py::object self_object();
    void exit(const py::object &type, const py::object &value, const py::object &traceback);
    py::object open();
    void close();

    py::object read(const py::object &size);
    py::object readall();
    py::object read1(const py::object &size);
    std::uint64_t readinto(const py::object &buffer);

    py::str readline(const py::object &size);
    py::list readlines(const py::object &hint);
    py::str next();
    py::object next_or_end(); // the next line, or a null object at the end

    std::uint64_t write(const py::object &data);
    void writelines(const py::object &lines);

    std::int64_t seek(std::int64_t offset, int whence);
    std::int64_t tell() const;
    void flush();
    void truncate(const py::object &size);
    bool isatty() const;
    bool seekable() const;
    bool writable() const;

    const std::string &name() const;
    const std::string &mode() const;

private:
    AsyncFileCore core;
    bool is_open = false; // set by open(), cleared by close(); read only by exit()
    bool is_binary;       // data results are bytes rather than str
};

template <>
class pybind11::detail::type_caster<PyAsyncFile> : public constructed_caster<PyAsyncFile> {};
