#include "engine_file.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "builtin_arguments.hpp"
#include "engine_errors.hpp"
#include "engine_file_locks.hpp"
#include "interpreter_lock.hpp"
#include "positional_io.hpp"
#include "py_arguments.hpp"
#include "py_errors.hpp"
#include "py_sinks.hpp"
#include "span_sink.hpp"

EngineFile::EngineFile(const std::string &filename, const std::string &mode)
    : core(filename, mode), is_binary(mode.find('b') != std::string::npos),
      readable_(mode.find_first_of("r+") != std::string::npos) {
    core.set_wait_gate(this);
    core.set_reads_follow_lines(true);
    core.set_size_is_a_hint(true);
    core.set_buffers_on_demand(true);
}

// Deallocation runs with the interpreter lock held and nobody else holding the object, so an
// open stream is closed without releasing it.
EngineFile::~EngineFile() { core.set_wait_gate(nullptr); }

void EngineFile::before_wait() noexcept {
    if (gate_releases_) {
        released_ = PyEval_SaveThread();
    }
}

void EngineFile::after_wait() noexcept {
    if (gate_releases_) {
        restore_thread_or_park(released_);
    }
}

py::object EngineFile::would_block() {
    // Converted once and never freed: it must outlive every module object that refers to it.
    static PyObject *const sentinel = py::cast(Blocked::WouldBlock).release().ptr();
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

long EngineFile::open_path(const std::string &path, int flags, const py::object &target) {
    require_no_nul(path);
    Adopted adopted{0, 0};
    {
        const Busy busy(*this);
        adopted = adopt_path(path, flags);
    }
    if (adopted.error_number != 0) {
        errno = adopted.error_number;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target.ptr());
        throw py::error_already_set();
    }
    return adopted.block_size;
}

EngineFile::Adopted EngineFile::adopt_path(const std::string &path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? Adopted{errno, 0} : adopt_descriptor(fd, true);
}

EngineFile::Adopted EngineFile::adopt_descriptor(int fd, bool owned) {
    struct stat status;
    const bool known = ::fstat(fd, &status) == 0;
    if (!known || S_ISDIR(status.st_mode)) {
        const int error_number = known ? EISDIR : errno;
        if (owned) {
            ::close(fd);
        }
        return {error_number, 0};
    }
    try {
        core.open_descriptor(fd);
    } catch (const OpenError &) {
        if (owned) {
            ::close(fd); // no stream took it
        }
        throw;
    }
    measure_storage();
    return {0, static_cast<long>(status.st_blksize)};
}

void EngineFile::take_storage() {
    const InterpreterReleased released; // a slow file system answers statfs slowly too
    measure_storage();
}

void EngineFile::measure_storage() {
    const Storage storage = storage_of(core.descriptor(), core.is_regular_file(), core.device());
    storage_.store(storage, std::memory_order_relaxed);
    core.submit_large_writes(storage == Storage::MayWait);
    regular_.store(core.is_regular_file(), std::memory_order_relaxed);
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
    switch (stop_positional_calls(inline_only)) {
    case PositionalCalls::Refused:
        return would_block();
    case PositionalCalls::Running: {
        const InterpreterReleased released; // before the wait: a starting call holds it
        await_positional_calls();
        break;
    }
    case PositionalCalls::None:
        break;
    }
    core.close_even_if_flush_fails();
    return py::none();
}

// From here on the descriptor shows closed, so no positional call starts; those running are
// reported, for the caller to wait for them. Inline, with some running, it changes nothing and
// says Refused: the loop never waits for them.
EngineFile::PositionalCalls EngineFile::stop_positional_calls(bool inline_only) {
    const std::lock_guard guard(positional_lock_);
    if (positional_calls_ != 0 && inline_only) {
        return PositionalCalls::Refused;
    }
    descriptor_.store(-1, std::memory_order_relaxed);
    return positional_calls_ == 0 ? PositionalCalls::None : PositionalCalls::Running;
}

void EngineFile::await_positional_calls() {
    std::unique_lock guard(positional_lock_);
    positional_ended_.wait(guard, [&] { return positional_calls_ == 0; });
}

void EngineFile::forget_input_behind_positional_writes() {
    const std::uint64_t landed = positional_writes_.load(std::memory_order_acquire);
    if (landed != positional_writes_seen_) {
        positional_writes_seen_ = landed;
        core.forget_read_ahead();
    }
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

// ---- by position -----------------------------------------------------------------

namespace {

// The integer os.pread and os.pwrite take for a count (Py_ssize_t) or an offset (off_t, as C
// long), converted and refused in their words.
template <typename Integer, Integer (*convert)(PyObject *)>
Integer os_integer(const py::object &value) {
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    const Integer converted = convert(index.ptr());
    if (converted == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return converted;
}

constexpr auto os_count = os_integer<Py_ssize_t, PyLong_AsSsize_t>;
constexpr auto os_offset = os_integer<long, PyLong_AsLong>;

} // namespace

bool EngineFile::hand_over_pending(bool inline_only) {
    if (pending_.load(std::memory_order_acquire) == 0) {
        return true;
    }
    if (inline_only) {
        const Busy busy(*this, std::try_to_lock);
        if (!busy.held() || open_may_wait()) {
            return false; // the loop never waits for a call on a worker, nor for storage
        }
        core.flush_write_buffer();
        return true;
    }
    const Busy busy(*this);
    core.flush_write_buffer();
    return true;
}

bool EngineFile::positional_runs_inline(std::uint64_t count) const {
    return storage() != Storage::MayWait && count <= kLargeCopy;
}

py::object EngineFile::pread(const py::object &size, const py::object &offset, bool inline_only) {
    const Py_ssize_t count = os_count(size);
    const long at = os_offset(offset);
    if (closed()) {
        throw NotOpenError();
    }
    if (!readable_) {
        throw ModeError("File not open for reading", "pread");
    }
    if (count < 0 || at < 0) {
        throw IoError("pread failed", EINVAL);
    }
    if (!hand_over_pending(inline_only)) {
        return would_block();
    }
    const PositionalUse use(*this);
    const auto wanted = static_cast<std::uint64_t>(count);
    if (inline_only && !positional_runs_inline(wanted)) {
        return would_block();
    }
    const int fd = use.descriptor();
    const auto start = static_cast<std::uint64_t>(at);
    const bool regular = regular_.load(std::memory_order_relaxed);
    std::uint64_t room;
    if (inline_only) {
        room = first_room(fd, regular, wanted, start, AsyncFileCore::kSmallRead);
    } else {
        const InterpreterReleased released;
        room = first_room(fd, regular, wanted, start, AsyncFileCore::kSmallRead);
    }
    const bool from_memory = storage() == Storage::Memory;
    py::object result = read_result(true, [&](ReadSink &sink) {
        return read_positionally(sink, wanted, room, start,
                                 [&](char *destination, std::size_t size,
                                     std::uint64_t offset) -> std::optional<std::size_t> {
                                     if (!inline_only) {
                                         const InterpreterReleased released;
                                         return read_at(fd, destination, size, offset);
                                     }
                                     if (from_memory) {
                                         return read_at(fd, destination, size, offset);
                                     }
                                     return pread_probe_.read(fd, destination, size, offset);
                                 });
    });
    return result ? result : would_block();
}

py::object EngineFile::pwrite(const py::object &data, const py::object &offset, bool inline_only) {
    const BufferView view(data.ptr(), PyBUF_SIMPLE);
    const long at = os_offset(offset);
    if (closed()) {
        throw NotOpenError();
    }
    if (!core.writable()) {
        throw ModeError("File not open for writing", "pwrite");
    }
    if (at < 0) {
        throw IoError("pwrite failed", EINVAL);
    }
    if (!hand_over_pending(inline_only)) {
        return would_block();
    }
    const PositionalUse use(*this);
    const std::string_view bytes(static_cast<const char *>(view.get().buf),
                                 static_cast<std::size_t>(view.get().len));
    if (inline_only && !positional_runs_inline(bytes.size())) {
        return would_block();
    }
    std::size_t taken;
    if (inline_only) {
        taken = write_at(use.descriptor(), bytes, static_cast<std::uint64_t>(at));
    } else {
        const InterpreterReleased released;
        taken = write_at(use.descriptor(), bytes, static_cast<std::uint64_t>(at));
    }
    if (taken != 0) {
        positional_writes_.fetch_add(1, std::memory_order_release);
    }
    return py::int_(taken);
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

std::optional<std::uint64_t> EngineFile::size_without_waiting() const {
    const int descriptor = descriptor_.load(std::memory_order_relaxed);
    if (descriptor < 0 || storage() == Storage::MayWait) {
        return std::nullopt;
    }
    return file_size(descriptor);
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
