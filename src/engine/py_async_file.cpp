#include "py_async_file.hpp"

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "open_error.hpp"

namespace {

// Backs a read with the bytes object that the caller receives.
class BytesSink final : public ReadSink {
public:
    BytesSink() = default;
    BytesSink(const BytesSink &) = delete;
    BytesSink &operator=(const BytesSink &) = delete;
    ~BytesSink() { Py_XDECREF(bytes_); }

    char *reserve(std::size_t size) override {
        if (size <= capacity_) {
            return bytes_ ? PyBytes_AS_STRING(bytes_) : empty_;
        }
        const auto length = static_cast<Py_ssize_t>(size);
        if (bytes_ == nullptr) {
            bytes_ = PyBytes_FromStringAndSize(nullptr, length);
        } else if (_PyBytes_Resize(&bytes_, length) != 0) {
            bytes_ = nullptr; // _PyBytes_Resize has freed it
        }
        if (bytes_ == nullptr) {
            capacity_ = 0;
            throw py::error_already_set();
        }
        capacity_ = size;
        return PyBytes_AS_STRING(bytes_);
    }

    std::size_t max_size() const override {
        return PY_SSIZE_T_MAX - (offsetof(PyBytesObject, ob_sval) + 1);
    }

    // The first `length` bytes stored, as one bytes object.
    py::bytes take(std::size_t length) {
        if (bytes_ == nullptr) {
            return py::bytes();
        }
        if (length != capacity_ && _PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(length)) != 0) {
            bytes_ = nullptr;
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::bytes>(std::exchange(bytes_, nullptr));
    }

private:
    PyObject *bytes_ = nullptr;
    std::size_t capacity_ = 0;
    char empty_[1] = {};
};

// Collects readlines() results as str. A line that fails to decode is
// remembered and the rest still consumed, so the stream ends up after
// everything read whether or not the call succeeds.
class ListOfLines final : public LineSink {
public:
    void add(std::string_view line) override {
        if (error_) {
            return;
        }
        PyObject *text =
            PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict");
        if (text == nullptr || PyList_Append(list_.ptr(), text) != 0) {
            error_.emplace();
        }
        Py_XDECREF(text);
    }

    py::list take() {
        if (error_) {
            throw std::move(*error_);
        }
        return std::move(list_);
    }

private:
    py::list list_;
    std::optional<py::error_already_set> error_;
};

// A buffer-protocol view, released on every path.
class BufferView {
public:
    BufferView(PyObject *object, int flags) {
        if (PyObject_GetBuffer(object, &view_, flags) != 0) {
            throw py::error_already_set();
        }
    }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    const Py_buffer &get() const { return view_; }
    bool is_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

private:
    Py_buffer view_{};
};

std::optional<std::uint64_t> optional_count(const py::object &value) {
    if (value.is_none()) {
        return std::nullopt;
    }
    return value.cast<std::uint64_t>();
}

py::str decode_utf8(std::string_view bytes) {
    PyObject *text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

std::string type_name(const py::handle &object) {
    return py::str(py::type::handle_of(object)).cast<std::string>();
}

// The UTF-8 form of a str, kept inside the str object itself; nullopt for a
// str that has none (lone surrogates).
std::optional<std::string_view> utf8_of(const py::handle &text) {
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(bytes, static_cast<std::size_t>(size));
}

// The bytes that write() stores for a Python object: bytes as they are, str as
// UTF-8, any buffer as its raw contents in order, anything else as str(object).
class WriteData {
public:
    explicit WriteData(const py::object &data) {
        if (PyBytes_Check(data.ptr())) {
            bytes_ = {PyBytes_AS_STRING(data.ptr()),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
        } else if (PyUnicode_Check(data.ptr())) {
            bytes_ = utf8_or_cast_error(data);
        } else if (PyObject_CheckBuffer(data.ptr())) {
            take_buffer(data);
        } else {
            printed_ = py::str(data);
            bytes_ = utf8_or_cast_error(printed_);
        }
    }

    std::string_view bytes() const { return bytes_; }

private:
    static std::string_view utf8_or_cast_error(const py::handle &text) {
        if (auto bytes = utf8_of(text)) {
            return *bytes;
        }
        throw py::cast_error("Unable to cast Python instance of type " + type_name(text) +
                             " to C++ type 'std::string'");
    }

    void take_buffer(const py::object &data) {
        view_.emplace(data.ptr(), PyBUF_FULL_RO);
        const Py_buffer &view = view_->get();
        if (view_->is_contiguous()) {
            bytes_ = {static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len)};
            return;
        }
        copy_.resize(static_cast<std::size_t>(view.len));
        if (PyBuffer_ToContiguous(copy_.data(), &view, view.len, 'C') != 0) {
            throw py::error_already_set();
        }
        bytes_ = copy_;
    }

    std::optional<BufferView> view_;
    std::string copy_;   // a non-contiguous buffer, gathered in order
    py::object printed_; // keeps str(object) alive while bytes_ points into it
    std::string_view bytes_;
};

[[noreturn]] void throw_incompatible_lines(const py::handle &lines) {
    throw py::type_error("writelines(): incompatible function arguments. The following argument "
                         "types are supported:\n    1. (self: _larkspan_core.AsyncFile, lines: "
                         "collections.abc.Sequence[str | bytes | bytearray]) -> None\n\n"
                         "Invoked with: " +
                         type_name(lines));
}

// The items of a writelines() sequence as byte strings, all converted before
// anything is written. `items` keeps the objects alive that the views point into.
std::vector<std::string_view> line_views(const py::object &lines, py::object &items) {
    const bool is_sequence = PySequence_Check(lines.ptr()) && !PyUnicode_Check(lines.ptr()) &&
                             !PyBytes_Check(lines.ptr());
    if (!is_sequence) {
        throw_incompatible_lines(lines);
    }
    items = py::reinterpret_steal<py::object>(PySequence_Fast(lines.ptr(), "lines"));
    if (!items) {
        throw py::error_already_set();
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject **item = PySequence_Fast_ITEMS(items.ptr());
    std::vector<std::string_view> views;
    views.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *line = item[i];
        if (PyBytes_Check(line)) {
            views.emplace_back(PyBytes_AS_STRING(line), PyBytes_GET_SIZE(line));
        } else if (PyByteArray_Check(line)) {
            views.emplace_back(PyByteArray_AS_STRING(line), PyByteArray_GET_SIZE(line));
        } else if (auto utf8 = PyUnicode_Check(line) ? utf8_of(line) : std::nullopt) {
            views.push_back(*utf8);
        } else {
            throw_incompatible_lines(lines);
        }
    }
    return views;
}

// readinto() stores one contiguous run of bytes, so its target must take exactly that.
void require_writable_contiguous(const BufferView &view) {
    if (view.get().readonly) {
        throw py::type_error("readinto requires a writable buffer");
    }
    if (!view.is_contiguous()) {
        throw py::value_error("readinto requires a contiguous buffer");
    }
}

} // namespace

PyAsyncFile::PyAsyncFile(const std::string &filename, const std::string &mode)
    : core(filename, mode), is_binary(mode.find('b') != std::string::npos) {}

py::object PyAsyncFile::self_object() { return py::cast(this); }

void PyAsyncFile::exit(const py::object &, const py::object &, const py::object &) {
    if (is_open) {
        core.close();
    }
}

py::object PyAsyncFile::open() {
    try {
        core.open();
    } catch (const OpenError &error) {
        // A missing path or a refused permission is the caller's input at fault.
        if (error.error_number() == ENOENT || error.error_number() == EACCES) {
            throw py::value_error(error.what());
        }
        throw;
    }
    is_open = true;
    return self_object();
}

void PyAsyncFile::close() {
    core.close();
    is_open = false;
}

py::object PyAsyncFile::data_result(py::bytes bytes) const {
    if (is_binary) {
        return bytes;
    }
    return decode_utf8({PyBytes_AS_STRING(bytes.ptr()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))});
}

py::object PyAsyncFile::read(const py::object &size) {
    const auto count = optional_count(size);
    BytesSink sink;
    const std::size_t length = core.read(count, sink);
    return data_result(sink.take(length));
}

py::object PyAsyncFile::readall() { return read(py::none()); }

py::object PyAsyncFile::read1(const py::object &size) {
    const auto count = optional_count(size);
    BytesSink sink;
    const std::size_t length = core.read1(count, sink);
    return data_result(sink.take(length));
}

std::uint64_t PyAsyncFile::readinto(const py::object &buffer) {
    if (!PyObject_CheckBuffer(buffer.ptr())) {
        throw py::type_error("readinto requires a buffer object");
    }
    const BufferView view(buffer.ptr(), PyBUF_FULL_RO);
    require_writable_contiguous(view);
    return core.readinto({static_cast<char *>(view.get().buf),
                          static_cast<std::size_t>(view.get().len)});
}

py::str PyAsyncFile::readline(const py::object &size) {
    const auto limit = optional_count(size);
    return decode_utf8(core.read_line(limit));
}

py::list PyAsyncFile::readlines(const py::object &hint) {
    const auto count = optional_count(hint);
    ListOfLines lines;
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
    py::object items;
    const std::vector<std::string_view> views = line_views(lines, items);
    core.writelines(views);
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
