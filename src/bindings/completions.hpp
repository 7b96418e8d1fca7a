#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "completion_queue.hpp"
#include "job.hpp"

namespace py = pybind11;

class Ticket;

// A job whose outcome goes back to Python: made on an event loop's thread, run by an engine
// thread, and delivered on the loop's thread again, where `deliver` receives (True, result),
// (False, exception), or (False, CancelledError()) when it was cancelled before it started. It
// is destroyed there too, so it may hold Python objects; its run() must not touch them.
class BoundJob : public Job {
public:
    BoundJob(std::shared_ptr<CompletionQueue> completions, py::object deliver);
    ~BoundJob() override;

    // With the interpreter lock held: the Python result of what run() did, or raises. For a
    // posted job, the whole outcome.
    virtual py::object result() = 0;
    virtual bool posted() const { return false; }

    // Hands the outcome to `deliver`; an exception there is reported as unraisable, so the jobs
    // delivered after it still are. A job that goes on in further jobs delivers when they end.
    virtual void deliver() noexcept;

    // Calls `deliver` with `outcome`, reporting an exception there as unraisable.
    static void hand(const py::object &deliver, const py::object &outcome) noexcept;

protected:
    // The callable that receives the outcome, for a job that hands it on.
    py::object take_deliver() { return std::move(deliver_); }

private:
    friend class Ticket;
    py::object deliver_;
    Ticket *ticket_ = nullptr; // the ticket that can cancel it, while both live
};

// What submit() returns: cancel() keeps the job from running if it has not started.
class Ticket {
public:
    explicit Ticket(BoundJob &job);
    ~Ticket();
    Ticket(const Ticket &) = delete;
    Ticket &operator=(const Ticket &) = delete;

    // True when the job will never run; false once it started, or was delivered.
    bool cancel();

private:
    friend class BoundJob;
    BoundJob *job_; // null once the job is delivered
};

// One event loop's completion queue: the loop watches fileno() and calls drain() when it is
// readable, which delivers every job that has run since, oldest first.
class Completions {
public:
    Completions();

    int fileno() const { return queue_->wake_descriptor(); }
    void drain();
    // As drain(), for a queue whose loop has closed: the jobs are dropped undelivered.
    void discard();
    // Outcomes still to come: jobs submitted, and posts expected, that drain() has not taken.
    std::size_t in_flight() const { return in_flight_; }

    // Hands `job` to the engine's threads; its outcome comes back through this queue. The
    // ticket lives as long as the Python object that the caller makes of it.
    std::unique_ptr<Ticket> submit(std::unique_ptr<BoundJob> job);
    // For work that only the interpreter can do (a Python callable on a thread of the
    // interpreter's): expect() when it is handed over, on the loop's thread; post() from the
    // thread that did it, with its outcome, which deliver then receives as a job's.
    void expect() { ++in_flight_; }
    void post(py::object deliver, py::object outcome);

    const std::shared_ptr<CompletionQueue> &queue() const { return queue_; }

private:
    std::shared_ptr<CompletionQueue> queue_;
    std::size_t in_flight_ = 0; // changed with the interpreter lock held
};

// The Python exception for a failure a job recorded: what translate_front_error makes of it.
py::object exception_of(const std::exception_ptr &failure);

// The engine's threads, as the module shows them: how many may wait at once (at least 1), how
// many run now, and a fresh start in a child process just forked.
void set_max_engine_threads(std::size_t count);
std::size_t max_engine_threads();
std::size_t engine_threads();
void forget_engine_threads_after_fork();
