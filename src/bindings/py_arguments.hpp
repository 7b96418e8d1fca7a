#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

namespace py = pybind11;

// None means absent; anything else must convert to an unsigned 64-bit count,
// or pybind11's failed-cast error is raised before the file is touched.
std::optional<std::uint64_t> optional_count(const py::object &value);

// A str decoded as strict UTF-8; UnicodeDecodeError passes through.
py::str decode_utf8(std::string_view bytes);

// A buffer-protocol view, released on every path.
class BufferView {
public:
    BufferView(PyObject *object, int flags);
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView();

    const Py_buffer &get() const { return view_; }
    bool is_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

private:
    Py_buffer view_{};
};

// readinto()'s target: any writable buffer that is one contiguous run of memory.
class WritableTarget {
public:
    explicit WritableTarget(const py::object &buffer);
    char *data() const { return static_cast<char *>(view_.get().buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.get().len); }

private:
    static PyObject *require_buffer(const py::object &buffer);
    BufferView view_;
};

// The bytes that write() stores for a Python object: bytes as they are, str as
// UTF-8, any buffer as its raw contents in order, anything else as str(object).
class WriteData {
public:
    explicit WriteData(const py::object &data);
    std::string_view bytes() const { return bytes_; }

private:
    void take_buffer(const py::object &data);

    std::optional<BufferView> view_;
    std::string copy_;   // a non-contiguous buffer, gathered in order
    py::object printed_; // keeps str(object) alive while bytes_ points into it
    std::string_view bytes_;
};

// A path for the system's calls, which end it at its first NUL: ValueError, as os refuses it.
void require_no_nul(const std::string &path);

// The items of a writelines() sequence as byte strings, all converted before
// anything is written, or TypeError. The views point into the items.
class LineViews {
public:
    explicit LineViews(const py::object &lines);
    const std::vector<std::string_view> &views() const { return views_; }

private:
    py::object items_; // keeps the items alive while the views point into them
    std::vector<std::string_view> views_;
};
