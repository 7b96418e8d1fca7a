#include "engine_file.hpp"

#include <cerrno>
#include <stdexcept>

#include "builtin_arguments.hpp"
#include "engine_errors.hpp"
#include "interpreter_lock.hpp"
#include "py_arguments.hpp"
#include "py_errors.hpp"
#include "py_sinks.hpp"
#include "span_sink.hpp"

// Holds the object's lock for one operation. As CPython's buffered files do, a caller first
// tries the lock and only waits for it with the interpreter lock released, so the thread that
// holds it can finish; the same thread coming back while it holds the lock is refused.
class EngineFile::Busy {
public:
    explicit Busy(EngineFile &file) : file_(file) {
        const unsigned long me = PyThread_get_thread_ident();
        if (!file_.lock_.try_lock()) {
            if (file_.owner_.load(std::memory_order_relaxed) == me) {
                throw std::runtime_error("reentrant call on a file in use by this thread");
            }
            const InterpreterReleased released;
            file_.lock_.lock();
        }
        file_.owner_.store(me, std::memory_order_relaxed);
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;
    ~Busy() {
        file_.descriptor_.store(file_.core.descriptor(), std::memory_order_relaxed);
        file_.owner_.store(0, std::memory_order_relaxed);
        file_.lock_.unlock();
    }

private:
    EngineFile &file_;
};

EngineFile::EngineFile(const std::string &filename, const std::string &mode)
    : core(filename, mode), is_binary(mode.find('b') != std::string::npos),
      readable_(mode.find_first_of("r+") != std::string::npos) {
    core.set_wait_gate(this);
    core.set_reads_follow_lines(true);
    core.set_size_is_a_hint(true);
}

// Deallocation runs with the interpreter lock held and nobody else holding the object, so an
// open stream is closed without releasing it.
EngineFile::~EngineFile() { core.set_wait_gate(nullptr); }

void EngineFile::before_wait() noexcept { released_ = PyEval_SaveThread(); }

void EngineFile::after_wait() noexcept { restore_thread_or_park(released_); }

py::object EngineFile::would_block() {
    // Made once and never freed: it must outlive every module object that refers to it.
    static PyObject *const sentinel =
        PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    return py::reinterpret_borrow<py::object>(sentinel);
}

void EngineFile::open() {
    const Busy busy(*this);
    core.open();
    take_storage();
}

void EngineFile::open_descriptor(int descriptor) {
    const Busy busy(*this);
    core.open_descriptor(descriptor);
    take_storage();
}

void EngineFile::take_storage() {
    const InterpreterReleased released; // a slow file system answers statfs slowly too
    storage_.store(storage_of(core.descriptor(), core.is_regular_file(), core.device()),
                   std::memory_order_relaxed);
}

// As builtin's buffered files, whose classes lack what the mode refuses: open or closed, the
// refusal comes first.
void EngineFile::require_readable(const char *operation) const {
    if (!readable_) {
        throw ModeError("File not open for reading", operation);
    }
}

void EngineFile::require_writable(const char *operation) const {
    if (!core.writable()) {
        throw ModeError("File not open for writing", operation);
    }
}

void EngineFile::require_open() const {
    if (is_closed()) {
        throw NotOpenError();
    }
}

// A size below 0 means no limit, as for builtin's unbuffered files.
std::optional<std::uint64_t> EngineFile::limit_of(Py_ssize_t size) {
    return size < 0 ? std::nullopt : std::optional<std::uint64_t>(size);
}

py::object EngineFile::close(bool inline_only) {
    const Busy busy(*this);
    if (inline_only && open_may_wait()) {
        return would_block();
    }
    core.close_even_if_flush_fails();
    return py::none();
}

// ---- reading ---------------------------------------------------------------------

template <typename Read>
py::object EngineFile::read_inline(std::optional<std::uint64_t> count, Read &&read) {
    if (is_closed()) {
        return read_result(is_binary, read); // fails at once
    }
    if (storage() == Storage::MayWait) {
        return would_block();
    }
    // A large count near the end of the file copies only what is left.
    const std::uint64_t wanted = count ? *count : core.bytes_to_end();
    if (wanted > kLargeCopy && (!count || core.bytes_to_end() > kLargeCopy)) {
        return would_block();
    }
    if (storage() == Storage::Memory) {
        return read_result(is_binary, read);
    }
    py::object result =
        read_result(is_binary, [&](ReadSink &sink) { return core.read_if_cached(count, sink); });
    return result ? result : would_block();
}

py::object EngineFile::read(const py::object &size, bool inline_only) {
    if (!readable_) {
        c_int(size); // a file that cannot read takes only a plain int, as builtin's writers
        require_readable("read");
    }
    const auto count = limit_of(size_or_none(size));
    const Busy busy(*this);
    auto read = [&](ReadSink &sink) { return core.read(count, sink); };
    return inline_only ? read_inline(count, read) : read_result(is_binary, read);
}

py::object EngineFile::read1(const py::object &size, bool inline_only) {
    if (!readable_) {
        c_int(size);
        require_readable("read1");
    }
    const auto count = limit_of(index_size(size));
    const Busy busy(*this);
    auto read = [&](ReadSink &sink) { return core.read1(count, sink); };
    if (!inline_only) {
        return read_result(is_binary, read);
    }
    return read_inline(count.value_or(AsyncFileCore::kRead1Default), read);
}

namespace {

// The target as builtin files take it, refused in their words: WritableTarget's own refusals are
// the old binding's, and a ValueError for a buffer that is not contiguous.
WritableTarget read_write_target(const py::object &buffer) {
    try {
        return WritableTarget(buffer);
    } catch (const py::builtin_exception &) {
        const char *type = buffer.is_none() ? "None" : Py_TYPE(buffer.ptr())->tp_name;
        throw py::type_error("readinto() argument must be read-write bytes-like object, not " +
                             std::string(type));
    }
}

} // namespace

py::object EngineFile::readinto(const py::object &buffer, bool inline_only) {
    const WritableTarget target = read_write_target(buffer);
    const std::span<char> destination{target.data(), target.size()};
    require_readable("read");
    const Busy busy(*this);
    if (inline_only && !is_closed()) {
        if (storage() == Storage::MayWait || destination.size() > kLargeCopy) {
            return would_block();
        }
        if (storage() == Storage::LocalDisk) {
            SpanSink sink(destination);
            const auto got = core.read_if_cached(destination.size(), sink);
            return got ? py::int_(*got) : would_block();
        }
    }
    return py::int_(core.readinto(destination));
}

bool EngineFile::line_runs_inline(std::optional<std::uint64_t> limit) {
    if (is_closed()) {
        return true;
    }
    if (core.line_is_buffered(limit)) {
        return core.pending_bytes() == 0 || !open_may_wait();
    }
    if (storage() != Storage::LocalDisk) {
        return storage() == Storage::Memory;
    }
    // The refill reads where the pending writes leave the stream, so they go out first.
    core.flush_write_buffer();
    const auto cached =
        range_is_cached(core.descriptor(), core.refill_position(), AsyncFileCore::kLineBlock);
    return cached.value_or(false);
}

py::object EngineFile::readline(const py::object &size, bool inline_only) {
    const auto limit = limit_of(size_or_none(size));
    if (!readable_ && limit == 0) {
        return is_binary ? py::object(py::bytes()) : py::object(py::str()); // asks for nothing
    }
    require_readable("read");
    const Busy busy(*this);
    if (inline_only && !line_runs_inline(limit)) {
        return would_block();
    }
    const std::string_view line = core.read_line(limit);
    if (is_binary) {
        return py::bytes(line.data(), line.size());
    }
    return decode_utf8(line);
}

bool EngineFile::rest_runs_inline() {
    if (is_closed()) {
        return true;
    }
    if (storage() == Storage::MayWait) {
        return false;
    }
    const std::uint64_t rest = core.bytes_to_end();
    if (rest > kLargeCopy) {
        return false;
    }
    return storage() == Storage::Memory ||
           range_is_cached(core.descriptor(), core.read_position(), rest).value_or(false);
}

py::object EngineFile::readlines(const py::object &hint, bool inline_only) {
    const auto count = limit_of(size_or_none(hint));
    const Busy busy(*this);
    require_open(); // builtin's readlines() asks before it reads a line
    require_readable("read");
    if (inline_only && !rest_runs_inline()) {
        return would_block();
    }
    LineList lines(is_binary);
    core.read_lines(count, lines);
    return lines.take();
}

// ---- writing ---------------------------------------------------------------------

bool EngineFile::write_runs_inline(bool stays_buffered, std::uint64_t total) const {
    return is_closed() || stays_buffered || (storage() != Storage::MayWait && total <= kLargeCopy);
}

py::object EngineFile::write(const py::object &data, bool inline_only) {
    require_writable("write"); // before the data is looked at, as builtin's readers refuse it
    const WrittenBytes bytes(data.ptr(), is_binary);
    const std::uint64_t count = bytes.bytes().size();
    const Busy busy(*this);
    if (inline_only && !write_runs_inline(core.write_stays_buffered(count), count)) {
        return would_block();
    }
    return py::int_(core.write(bytes.bytes()));
}

// As builtin's: a closed file refuses first, then each line is written in turn, so the lines
// before one that is refused (by the mode, or by its type) are written and the refusal raised.
py::object EngineFile::writelines(const py::object &lines, bool inline_only) {
    if (closed()) {
        throw NotOpenError();
    }
    WrittenLines items(lines, is_binary);
    if (items.count() != 0) {
        require_writable("write");
    }
    std::uint64_t total = 0;
    std::uint64_t longest = 0;
    for (const std::string_view line : items.views()) {
        total += line.size();
        longest = std::max<std::uint64_t>(longest, line.size());
    }
    const Busy busy(*this);
    if (inline_only && !write_runs_inline(core.lines_stay_buffered(total, longest), total)) {
        return would_block();
    }
    if (!items.views().empty()) {
        core.writelines(items.views());
    }
    items.raise_failure();
    return py::none();
}

// ---- positioning and the rest ------------------------------------------------------

// In builtin's order: whence, a closed file, then the offset.
py::object EngineFile::seek(const py::object &offset, const py::object &whence, bool inline_only) {
    const int from = c_int(whence);
    if (from != SEEK_SET && from != SEEK_CUR && from != SEEK_END && from != SEEK_DATA &&
        from != SEEK_HOLE) {
        PyErr_Format(PyExc_ValueError, "whence value %d unsupported", from);
        throw py::error_already_set();
    }
    const Busy busy(*this);
    require_open();
    const std::int64_t target = file_offset(offset);
    if (inline_only && open_may_wait()) {
        return would_block();
    }
    if (from == SEEK_DATA || from == SEEK_HOLE) {
        return py::int_(core.seek_by_descriptor(target, from));
    }
    return py::int_(core.seek(target, from));
}

std::int64_t EngineFile::tell() {
    const Busy busy(*this);
    return core.tell();
}

py::object EngineFile::flush(bool inline_only) {
    const Busy busy(*this);
    if (inline_only && open_may_wait() && core.pending_bytes() != 0) {
        return would_block();
    }
    core.flush();
    return py::none();
}

// In builtin's order: a closed file, the mode, the flush of pending writes, then the size.
py::object EngineFile::truncate(const py::object &size, bool inline_only) {
    const Busy busy(*this);
    require_open();
    require_writable("truncate");
    if (inline_only && open_may_wait()) {
        return would_block();
    }
    core.flush();
    std::optional<std::uint64_t> length;
    if (!size.is_none()) {
        const std::int64_t wanted = file_length(size);
        if (wanted < 0) {
            throw IoError("Truncate failed", EINVAL); // ftruncate's refusal
        }
        length = static_cast<std::uint64_t>(wanted);
    }
    core.truncate(length);
    return py::int_(length ? static_cast<std::int64_t>(*length) : core.tell()); // the new size
}

py::object EngineFile::isatty(bool inline_only) {
    const Busy busy(*this);
    if (inline_only && open_may_wait()) {
        return would_block();
    }
    return py::bool_(core.isatty());
}

py::object EngineFile::sync(bool data_only, bool inline_only) {
    const Busy busy(*this);
    if (inline_only && !is_closed() && storage() != Storage::Memory) {
        return would_block();
    }
    core.sync(data_only);
    return py::none();
}

std::int64_t EngineFile::read_position() {
    const Busy busy(*this);
    // A read hands the pending writes over first and starts after them, not before.
    core.flush_write_buffer();
    return core.read_position();
}

bool EngineFile::restore_position(std::int64_t position) {
    const Busy busy(*this);
    return core.restore_position(position);
}

// ---- queries that never wait for the object ------------------------------------------

bool EngineFile::closed() const { return descriptor_.load(std::memory_order_relaxed) < 0; }

int EngineFile::fileno() const {
    const int descriptor = descriptor_.load(std::memory_order_relaxed);
    if (descriptor < 0) {
        throw NotOpenError();
    }
    return descriptor;
}

std::string EngineFile::storage_name() const {
    switch (storage()) {
    case Storage::Memory:
        return "memory";
    case Storage::LocalDisk:
        return "local disk";
    case Storage::MayWait:
        break;
    }
    return "may wait";
}
