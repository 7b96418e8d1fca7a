#include "file_jobs.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "builtin_arguments.hpp"
#include "byte_buffer.hpp"
#include "engine_errors.hpp"
#include "engine_file_locks.hpp"
#include "file_job.hpp"
#include "positional_io.hpp"
#include "presized_result.hpp"
#include "py_arguments.hpp"
#include "py_sinks.hpp"
#include "split_read_job.hpp"

namespace {

// Lines of read_lines(), kept end to end until the loop's thread makes the list.
class LineCollector final : public LineSink {
public:
    void add(std::string_view line) override {
        const std::size_t held = bytes_.size();
        bytes_.resize(held + line.size());
        std::memcpy(bytes_.data() + held, line.data(), line.size());
        ends_.push_back(bytes_.size());
    }

    py::list take(bool binary) const {
        py::list lines(ends_.size());
        std::size_t start = 0;
        for (std::size_t i = 0; i < ends_.size(); ++i) {
            const std::string_view line(bytes_.data() + start, ends_[i] - start);
            lines[i] = binary ? py::object(py::bytes(line.data(), line.size()))
                              : py::object(decode_utf8(line));
            start = ends_[i];
        }
        return lines;
    }

private:
    ByteBuffer bytes_;
    std::vector<std::size_t> ends_;
};

py::object bytes_or_text(bool binary, std::string_view data) {
    return binary ? py::object(py::bytes(data.data(), data.size())) : py::object(decode_utf8(data));
}

} // namespace

// ---- jobs that hold the file's lock -------------------------------------------------------

namespace {

// What one of the stream operations below returns, made on the loop's thread.
template <typename Operation> class StreamJob final : public FileJob {
public:
    template <typename... Arguments>
    StreamJob(const py::object &self, Completions &completions, py::object deliver,
              Arguments &&...arguments)
        : FileJob(self, completions, std::move(deliver)),
          operation_(binary(), std::forward<Arguments>(arguments)...) {}

private:
    void perform(AsyncFileCore &core) override { operation_.perform(core); }
    py::object make_result() override { return operation_.result(); }

    Operation operation_;
};

// A read from the position; its result comes with where it started.
struct Read {
    Read(bool binary, std::optional<std::uint64_t> count, bool once, std::size_t expected)
        : count(count), once(once), sink(binary, expected) {}
    void perform(AsyncFileCore &core) {
        core.flush_write_buffer(); // the read starts after them
        start = core.read_position();
        length = once ? core.read1(count, sink) : core.read(count, sink);
    }
    py::object result() { return py::make_tuple(start, sink.take(length)); }

    std::optional<std::uint64_t> count;
    bool once; // read1()
    PresizedResult sink;
    std::int64_t start = 0;
    std::size_t length = 0;
};

struct ReadInto {
    ReadInto(bool, const py::object &buffer) : target(buffer) {}
    void perform(AsyncFileCore &core) {
        core.flush_write_buffer();
        start = core.read_position();
        count = core.readinto({target.data(), target.size()});
    }
    py::object result() const { return py::make_tuple(start, count); }

    WritableTarget target;
    std::int64_t start = 0;
    std::size_t count = 0;
};

struct ReadLine {
    ReadLine(bool binary, std::optional<std::uint64_t> limit) : binary(binary), limit(limit) {}
    void perform(AsyncFileCore &core) {
        core.flush_write_buffer();
        start = core.read_position();
        const std::string_view read = core.read_line(limit); // valid until the next call
        line.resize(read.size());
        if (!read.empty()) { // at the end of input the buffer has no memory, and memcpy wants some
            std::memcpy(line.data(), read.data(), read.size());
        }
    }
    py::object result() const {
        return py::make_tuple(start, bytes_or_text(binary, {line.data(), line.size()}));
    }

    bool binary;
    std::optional<std::uint64_t> limit;
    ByteBuffer line;
    std::int64_t start = 0;
};

// Lines until their total length passes `budget`, or the input ends, as readlines(budget).
struct LinesWithin {
    LinesWithin(bool binary, std::uint64_t budget) : binary(binary), budget(budget) {}
    void perform(AsyncFileCore &core) {
        core.flush_write_buffer();
        start = core.read_position();
        std::uint64_t total = 0;
        while (total <= budget) {
            const std::string_view line = core.read_line(std::nullopt);
            if (line.empty()) {
                break;
            }
            lines.add(line);
            total += line.size();
        }
    }
    py::object result() const { return py::make_tuple(start, lines.take(binary)); }

    bool binary;
    std::uint64_t budget;
    LineCollector lines;
    std::int64_t start = 0;
};

struct ReadLines {
    ReadLines(bool binary, std::optional<std::uint64_t> hint) : binary(binary), hint(hint) {}
    void perform(AsyncFileCore &core) {
        core.flush_write_buffer();
        start = core.read_position();
        core.read_lines(hint, lines);
    }
    py::object result() const { return py::make_tuple(start, lines.take(binary)); }

    bool binary;
    std::optional<std::uint64_t> hint;
    LineCollector lines;
    std::int64_t start = 0;
};

struct Write {
    Write(bool binary, const py::object &data) : data(data.ptr(), binary) {}
    void perform(AsyncFileCore &core) { count = core.write(data.bytes()); }
    py::object result() const { return py::int_(count); }

    WrittenBytes data;
    std::uint64_t count = 0;
};

// As the blocking call: the lines before one that did not convert are written, then the refusal.
struct WriteLines {
    WriteLines(bool binary, const py::object &lines) : lines(lines, binary) {}
    void perform(AsyncFileCore &core) {
        if (!lines.views().empty()) {
            core.writelines(lines.views());
        }
    }
    py::object result() {
        lines.raise_failure();
        return py::none();
    }

    WrittenLines lines;
};

struct Seek {
    Seek(bool, std::int64_t offset, int whence) : offset(offset), whence(whence) {}
    void perform(AsyncFileCore &core) {
        position = whence == SEEK_DATA || whence == SEEK_HOLE
                       ? core.seek_by_descriptor(offset, whence)
                       : core.seek(offset, whence);
    }
    py::object result() const { return py::int_(position); }

    std::int64_t offset;
    int whence;
    std::int64_t position = 0;
};

struct Flush {
    explicit Flush(bool) {}
    void perform(AsyncFileCore &core) { core.flush(); }
    py::object result() const { return py::none(); }
};

// As the blocking call: the flush of pending writes, then ftruncate's refusal of a negative size.
struct Truncate {
    Truncate(bool, std::optional<std::int64_t> length) : length(length) {}
    void perform(AsyncFileCore &core) {
        core.flush();
        if (length && *length < 0) {
            throw IoError("Truncate failed", EINVAL);
        }
        const auto cut = length ? std::optional(static_cast<std::uint64_t>(*length)) : std::nullopt;
        core.truncate(cut);
        size = length ? *length : core.tell();
    }
    py::object result() const { return py::int_(size); }

    std::optional<std::int64_t> length;
    std::int64_t size = 0;
};

struct IsATty {
    explicit IsATty(bool) {}
    void perform(AsyncFileCore &core) { answer = core.isatty(); }
    py::object result() const { return py::bool_(answer); }

    bool answer = false;
};

struct Sync {
    Sync(bool, bool data_only) : data_only(data_only) {}
    void perform(AsyncFileCore &core) { core.sync(data_only); }
    py::object result() const { return py::none(); }

    bool data_only;
};

} // namespace

// close(): after the positional calls in flight, which keep the descriptor open until they end.
class CloseJob final : public FileJob {
public:
    using FileJob::FileJob;

private:
    void perform(AsyncFileCore &core) override {
        if (file().stop_positional_calls(false) == EngineFile::PositionalCalls::Running) {
            file().await_positional_calls();
        }
        core.close_even_if_flush_fails();
    }
    py::object make_result() override { return py::none(); }
};

// ---- positional calls, which leave the lock to the others ------------------------------------

class PositionalJob : public EngineFileJob {
public:
    using EngineFileJob::EngineFileJob;

protected:
    // On the engine thread, with the descriptor kept open.
    virtual void perform(int descriptor) = 0;

    bool regular_file() const { return file().regular_.load(std::memory_order_relaxed); }
    void count_write() { file().positional_writes_.fetch_add(1, std::memory_order_release); }

private:
    void carry_out() final {
        if (file().pending_.load(std::memory_order_acquire) != 0) {
            const EngineFile::Busy busy(file(), EngineFile::OffInterpreter{});
            file().core.flush_write_buffer();
        }
        const EngineFile::PositionalUse use(file());
        perform(use.descriptor());
    }
};

namespace {

class PreadJob final : public PositionalJob {
public:
    PreadJob(const py::object &self, Completions &completions, py::object deliver,
             std::uint64_t count, std::uint64_t offset, std::size_t expected)
        : PositionalJob(self, completions, std::move(deliver)), count_(count), offset_(offset),
          sink_(true, expected) {}

private:
    void perform(int descriptor) override {
        const std::uint64_t room =
            first_room(descriptor, regular_file(), count_, offset_, AsyncFileCore::kSmallRead);
        // The pieces never give up here, so there is always a length.
        length_ =
            read_positionally(sink_, count_, room, offset_,
                              [&](char *destination, std::size_t size, std::uint64_t at) {
                                  return std::optional(read_at(descriptor, destination, size, at));
                              })
                .value_or(0);
    }
    py::object make_result() override { return sink_.take(length_); }

    std::uint64_t count_;
    std::uint64_t offset_;
    PresizedResult sink_;
    std::size_t length_ = 0;
};

class PwriteJob final : public PositionalJob {
public:
    PwriteJob(const py::object &self, Completions &completions, py::object deliver,
              const py::object &data, std::uint64_t offset)
        : PositionalJob(self, completions, std::move(deliver)), view_(data.ptr(), PyBUF_SIMPLE),
          offset_(offset) {}

private:
    void perform(int descriptor) override {
        const std::string_view bytes(static_cast<const char *>(view_.get().buf),
                                     static_cast<std::size_t>(view_.get().len));
        taken_ = write_at(descriptor, bytes, offset_);
        if (taken_ != 0) {
            count_write();
        }
    }
    py::object make_result() override { return py::int_(taken_); }

    BufferView view_;
    std::uint64_t offset_;
    std::size_t taken_ = 0;
};

} // namespace

// ---- opening --------------------------------------------------------------------------------

class OpenJob final : public EngineFileJob {
public:
    OpenJob(const py::object &self, Completions &completions, py::object deliver,
            const py::object &path, int flags, int descriptor, bool close_on_failure,
            const py::object &target)
        : EngineFileJob(self, completions, std::move(deliver)), target_(target), flags_(flags),
          descriptor_(descriptor), close_on_failure_(close_on_failure) {
        if (!path.is_none()) {
            path_ = path.cast<std::string>();
            require_no_nul(path_);
            opens_path_ = true;
        }
    }

    // A descriptor given to be closed on failure is closed too when the job never ran.
    ~OpenJob() override {
        if (!ran() && descriptor_ >= 0 && close_on_failure_) {
            ::close(descriptor_);
        }
    }

private:
    // As builtin open() does past its checks: the descriptor, a directory refused, the stream.
    void carry_out() override {
        const EngineFile::Busy busy(file(), EngineFile::OffInterpreter{});
        const EngineFile::Adopted adopted =
            opens_path_ ? file().adopt_path(path_, flags_)
                        : file().adopt_descriptor(descriptor_, close_on_failure_);
        error_number_ = adopted.error_number;
        block_size_ = adopted.block_size;
    }

    py::object make_result() override {
        if (error_number_ != 0) {
            errno = error_number_;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target_.ptr());
            throw py::error_already_set();
        }
        return py::int_(block_size_);
    }

    py::object target_; // named by the error, as builtin open() names it
    std::string path_;
    bool opens_path_ = false;
    int flags_;
    int descriptor_;
    bool close_on_failure_;
    int error_number_ = 0;
    long block_size_ = 0;
};

// ---- starting them -----------------------------------------------------------------------------

namespace {

// How much a read of `count` (nullopt: to the end) is expected to bring, judged on the loop's
// thread without waiting: a small count as it is (a short result costs less than an fstat); a
// regular file's size bounds a larger one where fstat cannot wait; elsewhere a given count up to
// the first chunk of a stream read; otherwise nothing is made beforehand.
std::size_t expected_read(const EngineFile &file, std::optional<std::uint64_t> count) {
    constexpr std::uint64_t kFirstChunk = 1 << 22;
    if (count && *count <= AsyncFileCore::kSmallRead) {
        return static_cast<std::size_t>(*count);
    }
    if (const auto size = file.size_without_waiting()) {
        return static_cast<std::size_t>(count ? std::min(*count, *size) : *size);
    }
    return static_cast<std::size_t>(count ? std::min(*count, kFirstChunk) : 0);
}

template <typename Operation, typename... Arguments>
std::unique_ptr<BoundJob> stream_job(const py::object &self, Completions &completions,
                                     py::object deliver, Arguments &&...arguments) {
    return std::make_unique<StreamJob<Operation>>(self, completions, std::move(deliver),
                                                  std::forward<Arguments>(arguments)...);
}

py::object argument(const py::args &args, std::size_t index) {
    if (index >= args.size()) {
        throw py::type_error("missing argument for the call");
    }
    return args[index];
}

// A size as read(), readline() and readlines() take it: None or negative means no limit.
std::optional<std::uint64_t> limit_of(const py::object &size) {
    const Py_ssize_t count = size_or_none(size);
    return count < 0 ? std::nullopt : std::optional<std::uint64_t>(count);
}

} // namespace

std::unique_ptr<Ticket> start_call(const py::object &self, Completions &completions,
                                   py::object deliver, std::string_view method,
                                   const py::args &args) {
    EngineFile &file = self.cast<EngineFile &>();
    FileJob::refuse_by_mode(file, method);
    std::unique_ptr<BoundJob> job;
    if (method == "read") {
        const auto count = limit_of(argument(args, 0));
        const std::size_t expected = expected_read(file, count);
        job = read_may_split(file, count)
                  ? split_read_job(self, completions, std::move(deliver), count, expected)
                  : stream_job<Read>(self, completions, std::move(deliver), count, false, expected);
    } else if (method == "read1") {
        const Py_ssize_t size = index_size(argument(args, 0));
        const std::uint64_t count = size < 0 ? AsyncFileCore::kRead1Default : size;
        job = stream_job<Read>(self, completions, std::move(deliver), count, true,
                               expected_read(file, count));
    } else if (method == "readinto") {
        job = stream_job<ReadInto>(self, completions, std::move(deliver), argument(args, 0));
    } else if (method == "readline") {
        job = stream_job<ReadLine>(self, completions, std::move(deliver),
                                   limit_of(argument(args, 0)));
    } else if (method == "readlines") {
        job = stream_job<ReadLines>(self, completions, std::move(deliver),
                                    limit_of(argument(args, 0)));
    } else if (method == "lines_within") {
        job = stream_job<LinesWithin>(self, completions, std::move(deliver),
                                      argument(args, 0).cast<std::uint64_t>());
    } else if (method == "write") {
        job = stream_job<Write>(self, completions, std::move(deliver), argument(args, 0));
    } else if (method == "writelines") {
        job = stream_job<WriteLines>(self, completions, std::move(deliver), argument(args, 0));
    } else if (method == "seek") {
        const int whence = c_int(argument(args, 1));
        job = stream_job<Seek>(self, completions, std::move(deliver),
                               file_offset(argument(args, 0)), whence);
    } else if (method == "flush") {
        job = stream_job<Flush>(self, completions, std::move(deliver));
    } else if (method == "truncate") {
        const py::object size = argument(args, 0);
        job = stream_job<Truncate>(self, completions, std::move(deliver),
                                   size.is_none() ? std::nullopt
                                                  : std::optional<std::int64_t>(file_length(size)));
    } else if (method == "isatty") {
        job = stream_job<IsATty>(self, completions, std::move(deliver));
    } else if (method == "sync") {
        job =
            stream_job<Sync>(self, completions, std::move(deliver), argument(args, 0).cast<bool>());
    } else if (method == "close") {
        job = std::make_unique<CloseJob>(self, completions, std::move(deliver));
    } else if (method == "pread") {
        const auto count = argument(args, 0).cast<std::uint64_t>();
        const auto offset = argument(args, 1).cast<std::uint64_t>();
        job = std::make_unique<PreadJob>(self, completions, std::move(deliver), count, offset,
                                         expected_read(file, count));
    } else if (method == "pwrite") {
        job = std::make_unique<PwriteJob>(self, completions, std::move(deliver), argument(args, 0),
                                          argument(args, 1).cast<std::uint64_t>());
    } else {
        throw py::value_error("no such call on a file: " + std::string(method));
    }
    return completions.submit(std::move(job));
}

std::unique_ptr<Ticket> start_open(const py::object &self, Completions &completions,
                                   py::object deliver, const py::object &path, int flags,
                                   int descriptor, bool close_on_failure,
                                   const py::object &target) {
    return completions.submit(std::make_unique<OpenJob>(
        self, completions, std::move(deliver), path, flags, descriptor, close_on_failure, target));
}
