#pragma once

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

#include "async_file_core.hpp"

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
    // Runs `read` on a sink that becomes a bytes or a str result by the mode.
    template <typename Read> py::object data_result(Read &&read);

    AsyncFileCore core;
    bool is_open = false; // set by open(), cleared by close(); read only by exit()
    bool is_binary;       // data results are bytes rather than str
};

namespace pybind11::detail {

// An instance made by AsyncFile.__new__ without __init__ holds storage but no
// constructed PyAsyncFile, and pybind11 would run members on it. Refusing it
// as `self` turns that into the usual TypeError for arguments that do not match.
template <> class type_caster<PyAsyncFile> : public type_caster_base<PyAsyncFile> {
public:
    bool load(handle source, bool convert) {
        return type_caster_base<PyAsyncFile>::load(source, convert) && is_constructed(source);
    }

private:
    static bool is_constructed(handle source) {
        auto *object = reinterpret_cast<instance *>(source.ptr());
        return object->get_value_and_holder(get_type_info(typeid(PyAsyncFile)))
            .holder_constructed();
    }
};

} // namespace pybind11::detail
