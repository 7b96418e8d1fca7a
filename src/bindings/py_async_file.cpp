#include "py_async_file.hpp"

#include <optional>

#include "py_arguments.hpp"
#include "py_errors.hpp"
#include "py_sinks.hpp"

PyAsyncFile::PyAsyncFile(const std::string &filename, const std::string &mode)
    : core(filename, mode), is_binary(mode.find('b') != std::string::npos) {}

py::object PyAsyncFile::self_object() { return py::cast(this); }

void PyAsyncFile::exit(const py::object &, const py::object &, const py::object &) {
    if (is_open) {
        core.close();
    }
}

py::object PyAsyncFile::open() {
    open_reporting_bad_paths(core);
    is_open = true;
    return self_object();
}

void PyAsyncFile::close() {
    core.close();
    is_open = false;
}

py::object PyAsyncFile::read(const py::object &size) {
    const auto count = optional_count(size);
    return read_result(is_binary, [&](ReadSink &sink) { return core.read(count, sink); });
}

py::object PyAsyncFile::readall() { return read(py::none()); }

py::object PyAsyncFile::read1(const py::object &size) {
    const auto count = optional_count(size);
    return read_result(is_binary, [&](ReadSink &sink) { return core.read1(count, sink); });
}

std::uint64_t PyAsyncFile::readinto(const py::object &buffer) {
    const WritableTarget target(buffer);
    return core.readinto({target.data(), target.size()});
}

py::str PyAsyncFile::readline(const py::object &size) {
    const auto limit = optional_count(size);
    return decode_utf8(core.read_line(limit));
}

py::list PyAsyncFile::readlines(const py::object &hint) {
    const auto count = optional_count(hint);
    LineList lines;
    core.read_lines(count, lines);
    return lines.take();
}

py::object PyAsyncFile::next_or_end() {
    const std::string_view line = core.read_line(std::nullopt);
    if (line.empty()) {
        return {};
    }
    return decode_utf8(line);
}

py::str PyAsyncFile::next() {
    py::object line = next_or_end();
    if (!line) {
        throw py::stop_iteration();
    }
    return py::reinterpret_steal<py::str>(line.release());
}

std::uint64_t PyAsyncFile::write(const py::object &data) {
    const WriteData bytes(data);
    return core.write(bytes.bytes());
}

void PyAsyncFile::writelines(const py::object &lines) {
    const LineViews views(lines);
    core.writelines(views.views());
}

std::int64_t PyAsyncFile::seek(std::int64_t offset, int whence) {
    return core.seek(offset, whence);
}

std::int64_t PyAsyncFile::tell() const { return core.tell(); }

void PyAsyncFile::flush() { core.flush(); }

void PyAsyncFile::truncate(const py::object &size) { core.truncate(optional_count(size)); }

bool PyAsyncFile::isatty() const { return core.isatty(); }

bool PyAsyncFile::seekable() const { return core.seekable(); }

bool PyAsyncFile::writable() const { return core.writable(); }

const std::string &PyAsyncFile::name() const { return core.get_filename(); }

const std::string &PyAsyncFile::mode() const { return core.get_mode(); }
