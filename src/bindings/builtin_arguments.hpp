#pragma once

// The arguments of the asyncio front's files, converted as builtin files convert theirs, with the
// same exceptions, class and text: every method of the engine binding takes its arguments through
// these, so a wrong type is refused the same way wherever it is given. Each raises by throwing
// py::error_already_set with the Python error set.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

#include "py_arguments.hpp"

namespace py = pybind11;

// None or an integer, as the size of read(), readline() and readlines(): None gives -1.
// TypeError "argument should be integer or None, not 'str'"; OverflowError "cannot fit 'int'
// into an index-sized integer".
Py_ssize_t size_or_none(const py::handle &value);

// An integer that fits Py_ssize_t, as read1()'s size: TypeError "'NoneType' object cannot be
// interpreted as an integer"; OverflowError "Python int too large to convert to C ssize_t".
Py_ssize_t index_size(const py::handle &value);

// An integer that fits a C int, as seek()'s whence: OverflowError "Python int too large to
// convert to C int".
int c_int(const py::handle &value);

// seek()'s target: TypeError as index_size; ValueError "cannot fit 'int' into an offset-sized
// integer".
std::int64_t file_offset(const py::handle &value);

// truncate()'s size: TypeError as index_size; OverflowError "Python int too large to convert to
// C long".
std::int64_t file_length(const py::handle &value);

// The bytes written for `data`: a contiguous bytes-like object's in binary modes (TypeError "a
// bytes-like object is required, not 'str'"; BufferError for a strided view), a str's UTF-8 in
// text modes (TypeError "write() argument must
// be str, not bytes"; UnicodeEncodeError for lone surrogates).
class WrittenBytes {
public:
    WrittenBytes(PyObject *data, bool binary);
    std::string_view bytes() const { return bytes_; }

private:
    void take_buffer(PyObject *data);
    void take_text(PyObject *data);

    std::optional<BufferView> view_;
    std::string_view bytes_;
};

// The items of writelines()' list or tuple, converted in order up to the first that does not
// convert. As builtin's writelines() writes every item before that one and then raises, the items
// converted are kept with the failure, for the caller to write and then raise.
class WrittenLines {
public:
    WrittenLines(const py::handle &lines, bool binary);
    std::size_t count() const { return count_; } // items given, converted or not
    const std::vector<std::string_view> &views() const { return views_; }
    // Raises the conversion failure, if an item failed to convert.
    void raise_failure();

private:
    py::object items_; // keeps the items alive while the views point into them
    std::size_t count_ = 0;
    std::deque<WrittenBytes> converted_;
    std::vector<std::string_view> views_;
    std::optional<py::error_already_set> failure_;
};
