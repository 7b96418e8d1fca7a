#include "split_read_job.hpp"

#include <cerrno>
#include <utility>

#include "engine_errors.hpp"
#include "engine_file_locks.hpp"
#include "file_job.hpp"
#include "positional_io.hpp"
#include "presized_result.hpp"
#include "split_read.hpp"

bool read_may_split(const EngineFile &file, std::optional<std::uint64_t> count) {
    if (!file.regular_file()) {
        return false;
    }
    const SplitRead::Shape shape = SplitRead::shape_for(file.storage());
    return shape.piece != 0 && (!count || *count >= shape.least);
}

class SplitRun;

namespace {

// One piece, on an engine thread: it reads into the result's memory and touches nothing else.
class PieceJob final : public BoundJob {
public:
    PieceJob(std::shared_ptr<CompletionQueue> completions, std::shared_ptr<SplitRun> run,
             std::size_t index);

private:
    void run() noexcept override;
    py::object result() override { return py::none(); }
    void deliver() noexcept override;

    std::shared_ptr<SplitRun> run_;
    std::size_t index_;
};

} // namespace

// The pieces of one read, on the loop's thread: it keeps `depth` of them in flight, and when the
// last has come back, delivers the result and leaves the position after it.
class SplitRun : public std::enable_shared_from_this<SplitRun> {
public:
    SplitRun(py::object owner, EngineFile &file, Completions &completions, py::object deliver,
             SplitRead plan, std::size_t depth)
        : owner_(std::move(owner)), file_(file), completions_(py::cast(&completions)),
          deliver_(std::move(deliver)), plan_(std::move(plan)), depth_(depth) {}

    // Makes the result and starts the first pieces; a failure there is the call's, delivered
    // once the pieces already started are back.
    void launch() noexcept {
        try {
            result_ = py::reinterpret_steal<py::object>(
                PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan_.length())));
            if (!result_) {
                throw py::error_already_set();
            }
            memory_ = PyBytes_AS_STRING(result_.ptr());
            while (next_ < plan_.pieces() && next_ < depth_) {
                submit_next();
            }
        } catch (...) {
            give_up(std::current_exception());
        }
    }

    // On an engine thread.
    void read_piece(std::size_t index) noexcept {
        try {
            const EngineFile::PositionalUse use(file_);
            plan_.read_piece(use.descriptor(), memory_, index);
        } catch (const NotOpenError &) {
            plan_.piece(index).error_number = EBADF;
        }
    }

    void piece_done() noexcept {
        ++done_;
        if (next_ < plan_.pieces() && !failure_) {
            try {
                submit_next();
            } catch (...) {
                give_up(std::current_exception());
                return;
            }
        }
        finish_when_all_back();
    }

private:
    void submit_next() {
        Completions &completions = completions_.cast<Completions &>();
        completions.submit(
            std::make_unique<PieceJob>(completions.queue(), shared_from_this(), next_));
        ++next_;
    }

    // No piece after this one starts (no thread to run it, or no memory for the result).
    void give_up(std::exception_ptr failure) noexcept {
        failure_ = std::move(failure);
        skipped_ = plan_.pieces() - next_;
        next_ = plan_.pieces();
        finish_when_all_back();
    }

    void finish_when_all_back() noexcept {
        if (done_ + skipped_ == plan_.pieces()) {
            finish();
        }
    }

    void finish() noexcept {
        py::object outcome;
        try {
            outcome = py::make_tuple(true, result());
        } catch (...) {
            outcome = py::make_tuple(false, exception_of(std::current_exception()));
        }
        BoundJob::hand(deliver_, outcome);
    }

    // (start, bytes): the run of bytes that arrived from the start, the position left after it;
    // a failure that left no bytes at all is the call's.
    py::object result() {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        const SplitRead::Outcome outcome = plan_.outcome();
        if (outcome.arrived == 0 && outcome.error_number != 0) {
            throw IoError("Read failed", outcome.error_number);
        }
        PyObject *bytes = result_.release().ptr();
        if (outcome.arrived != plan_.length() &&
            _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(outcome.arrived)) != 0) {
            throw py::error_already_set();
        }
        py::object data = py::reinterpret_steal<py::object>(bytes);
        const auto start = static_cast<std::int64_t>(plan_.start());
        file_.restore_position(start + static_cast<std::int64_t>(outcome.arrived));
        return py::make_tuple(start, data);
    }

    py::object owner_; // keeps the file alive
    EngineFile &file_;
    py::object completions_;
    py::object deliver_;
    SplitRead plan_;
    std::size_t depth_;
    py::object result_;      // the bytes object the pieces fill
    char *memory_ = nullptr; // its storage
    std::size_t next_ = 0;   // the first piece not yet submitted
    std::size_t done_ = 0;
    std::size_t skipped_ = 0;
    std::exception_ptr failure_;
};

namespace {

PieceJob::PieceJob(std::shared_ptr<CompletionQueue> completions, std::shared_ptr<SplitRun> run,
                   std::size_t index)
    : BoundJob(std::move(completions), py::none()), run_(std::move(run)), index_(index) {}

void PieceJob::run() noexcept { run_->read_piece(index_); }

void PieceJob::deliver() noexcept { run_->piece_done(); }

// The first step: under the file's lock, the writes pending go out, the position and what is
// left to read are known, and a read too small to cut is done at once.
class ReadFirstJob final : public FileJob {
public:
    ReadFirstJob(const py::object &self, Completions &completions, py::object deliver,
                 std::optional<std::uint64_t> count, std::size_t expected)
        : FileJob(self, completions, std::move(deliver)), completions_(completions), count_(count),
          sink_(binary(), expected), shape_(SplitRead::shape_for(file().storage())) {}

private:
    void perform(AsyncFileCore &core) override {
        const std::uint64_t wanted = split_length(core);
        if (wanted < shape_.least) {
            length_ = core.read(count_, sink_);
            return;
        }
        plan_.emplace(static_cast<std::uint64_t>(start_), wanted, shape_.piece);
    }

    // What one read would bring from the position, by the file's size now: the size the stream
    // recorded may be older than writes by position that grew the file.
    std::uint64_t split_length(AsyncFileCore &core) {
        core.bytes_to_end(); // hands pending writes and the read-ahead over
        start_ = core.read_position();
        const auto size = file_size(core.descriptor());
        if (!size || start_ < 0) {
            return 0;
        }
        const auto start = static_cast<std::uint64_t>(start_);
        const std::uint64_t left = *size > start ? *size - start : 0;
        return count_ ? std::min(*count_, left) : left;
    }

    py::object make_result() override { return py::make_tuple(start_, sink_.take(length_)); }

    void deliver() noexcept override {
        if (!ran() || failed() || !plan_) {
            FileJob::deliver();
            return;
        }
        SplitRead plan = std::move(*plan_);
        std::make_shared<SplitRun>(owner(), file(), completions_, take_deliver(), std::move(plan),
                                   shape_.depth)
            ->launch();
    }

    Completions &completions_;
    std::optional<std::uint64_t> count_;
    PresizedResult sink_;
    SplitRead::Shape shape_;
    std::int64_t start_ = 0;
    std::size_t length_ = 0;
    std::optional<SplitRead> plan_; // set when the read goes on in pieces
};

} // namespace

std::unique_ptr<BoundJob> split_read_job(const py::object &self, Completions &completions,
                                         py::object deliver, std::optional<std::uint64_t> count,
                                         std::size_t expected) {
    return std::make_unique<ReadFirstJob>(self, completions, std::move(deliver), count, expected);
}
