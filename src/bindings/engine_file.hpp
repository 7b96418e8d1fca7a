#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <pybind11/pybind11.h>

#include "async_file_core.hpp"
#include "cache_probe.hpp"
#include "constructed_caster.hpp"
#include "storage.hpp"

namespace py = pybind11;

// What a call made inline_only returns in place of a result when it would have to wait: a Python
// enum with one member, so that type checkers tell it from every result.
enum class Blocked { WouldBlock };

// The file engine for the asyncio front, usable from any thread. Reads take up where lines
// left off, and lines come back as bytes in binary modes, as in Python's own files. Each call
// serializes on the object's own lock, and the interpreter lock is released around every system
// call that can wait, never around work on Python objects.
//
// Every operation takes `inline_only`. With it false the operation runs to completion, as on a
// worker thread. With it true the operation runs only if it cannot wait on storage or another
// process, as decided from what the kernel tells (the file's type and file system, and for reads
// whether the bytes are in the page cache), and only if it copies no more than kLargeCopy bytes;
// otherwise it returns WOULD_BLOCK having changed nothing.

class EngineFile final : private WaitGate {
public:
    // More than this in one call would hold the event loop for milliseconds even from memory.
    static constexpr std::uint64_t kLargeCopy = 4 << 20;

    EngineFile(const std::string &filename, const std::string &mode);
    ~EngineFile();
    EngineFile(const EngineFile &) = delete;
    EngineFile &operator=(const EngineFile &) = delete;

    void open();
    void open_descriptor(int descriptor);
    // open(path, flags, 0o666) and the stream over it, as builtin open() goes on past its checks,
    // on the calling thread, for a path whose opening cannot wait: the OSError (a directory's
    // IsADirectoryError included) names `target`. Returns the file's block size.
    long open_path(const std::string &path, int flags, const py::object &target);
    py::object close(bool inline_only);

    py::object read(const py::object &size, bool inline_only);
    py::object read1(const py::object &size, bool inline_only);
    py::object readinto(const py::object &buffer, bool inline_only);
    py::object readline(const py::object &size, bool inline_only);
    py::object readlines(const py::object &hint, bool inline_only);

    py::object write(const py::object &data, bool inline_only);
    py::object writelines(const py::object &lines, bool inline_only);

    py::object seek(const py::object &offset, const py::object &whence, bool inline_only);
    std::int64_t tell();
    py::object flush(bool inline_only);
    py::object truncate(const py::object &size, bool inline_only);
    py::object isatty(bool inline_only);
    py::object sync(bool data_only, bool inline_only);

    // os.pread and os.pwrite on the file's descriptor, after the writes still pending in its
    // buffer: the position stays where it is, and neither waits for the object's lock, so any
    // number of them may run at once, beside one call that holds it. A positional write makes
    // the reads through the stream that follow ask the file again.
    py::object pread(const py::object &size, const py::object &offset, bool inline_only);
    py::object pwrite(const py::object &data, const py::object &offset, bool inline_only);

    // For undoing a read whose result nobody took: the position it starts at (pending writes are
    // handed over first, as the read would), and back to it.
    std::int64_t read_position();
    bool restore_position(std::int64_t position);

    // These never wait for the object's lock, so the event loop can ask while a worker runs.
    bool closed() const;
    int fileno() const;
    bool seekable() const { return !closed(); }
    bool writable() const { return core.writable(); }
    bool readable() const { return readable_; }
    std::string storage_name() const;
    const std::string &name() const { return core.get_filename(); }
    const std::string &mode() const { return core.get_mode(); }
    // What may make calls wait, and whether the file is a regular one, as open() found them.
    Storage storage() const { return storage_.load(std::memory_order_relaxed); }
    bool regular_file() const { return regular_.load(std::memory_order_relaxed); }
    // A regular file's size by fstat, where asking cannot wait (not on storage that may); nullopt
    // otherwise, and once closed.
    std::optional<std::uint64_t> size_without_waiting() const;

    // Blocked::WouldBlock as a Python object, returned in place of a result by a call that would
    // have to wait. The first call converts it, after the module has registered the enum and with
    // the interpreter lock held; later calls return the same object.
    static py::object would_block();

private:
    friend class FileJob;
    friend class PositionalJob;
    friend class CloseJob;
    friend class OpenJob;
    friend class SplitRun;
    struct OffInterpreter {};
    class Busy;
    class PositionalUse;

    void before_wait() noexcept override;
    void after_wait() noexcept override;

    // Before the operation touches anything, as builtin files refuse it.
    void require_readable(const char *operation) const;
    void require_writable(const char *operation) const;
    void require_open() const;
    static std::optional<std::uint64_t> limit_of(Py_ssize_t size);
    void take_storage();
    // The stream over the open descriptor `fd`, a directory refused, with the object busy: the
    // block size, or the errno that refused it (`fd` closed then when `owned`). The stream's own
    // refusal (OpenError) is thrown, `fd` closed when `owned`.
    struct Adopted {
        int error_number;
        long block_size;
    };
    Adopted adopt_descriptor(int fd, bool owned);
    // open(path, flags, 0o666), then adopt_descriptor, which owns the new descriptor.
    Adopted adopt_path(const std::string &path, int flags);

    // With the lock held:
    bool is_closed() const { return core.descriptor() < 0; }
    bool open_may_wait() const { return !is_closed() && storage() == Storage::MayWait; }
    template <typename Read>
    py::object read_inline(std::optional<std::uint64_t> count, Read &&read);
    bool line_runs_inline(std::optional<std::uint64_t> limit);
    bool rest_runs_inline();
    bool write_runs_inline(bool stays_buffered, std::uint64_t total) const;
    void forget_input_behind_positional_writes();
    enum class PositionalCalls { None, Running, Refused };
    PositionalCalls stop_positional_calls(bool inline_only);
    void await_positional_calls();
    void measure_storage();

    // Without the lock:
    bool hand_over_pending(bool inline_only);
    bool positional_runs_inline(std::uint64_t count) const;

    AsyncFileCore core;
    bool is_binary;                                  // data results are bytes rather than str
    bool readable_;                                  // the mode reads: "r" or "+"
    std::atomic<Storage> storage_{Storage::MayWait}; // set by open()
    std::atomic<int> descriptor_{-1};                // the stream's, after each operation
    std::atomic<bool> regular_{false};               // a regular file: set by open()
    std::mutex lock_;                                // held for the whole of each operation
    std::atomic<std::thread::id> owner_{};           // the thread holding lock_, to refuse reentry
    PyThreadState *released_ = nullptr;     // while the interpreter lock is released around a wait
    bool gate_releases_ = true;             // false while an engine thread holds lock_
    std::atomic<std::uint64_t> pending_{0}; // the core's pending_bytes(), after each operation

    std::mutex positional_lock_;                      // guards positional_calls_
    std::condition_variable positional_ended_;        // told when positional_calls_ falls to 0
    int positional_calls_ = 0;                        // pread/pwrite using the descriptor now
    std::atomic<std::uint64_t> positional_writes_{0}; // pwrite calls that have landed bytes
    std::uint64_t positional_writes_seen_ = 0; // as many as the stream had forgotten input for
    CacheProbe pread_probe_; // the inline preads', on the thread that holds the interpreter lock
};

template <>
class pybind11::detail::type_caster<EngineFile> : public constructed_caster<EngineFile> {};
