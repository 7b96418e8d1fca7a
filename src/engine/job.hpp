#pragma once

#include <atomic>
#include <memory>
#include <utility>

class CompletionQueue;

// One call carried out off the caller's thread: the executor runs it on a thread of its own,
// then hands it to the completion queue it names, whose reader takes it back. A job has one
// owner at a time (the executor's queue, its thread, the completion queue, the reader); only the
// reader destroys it, so a job may hold what only the reader's thread may release.
class Job {
public:
    explicit Job(std::shared_ptr<CompletionQueue> completions)
        : completions_(std::move(completions)) {}
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;
    virtual ~Job() = default;

    // Claims the job for its thread; false when it was cancelled first, and then it never runs.
    bool start() noexcept { return exchange(State::Queued, State::Running); }
    // Keeps a job that has not started from ever running; false once it has.
    bool cancel() noexcept { return exchange(State::Queued, State::Cancelled); }
    bool ran() const noexcept { return state_.load(std::memory_order_acquire) == State::Running; }

    // The work itself, on an executor thread: it records its outcome in the job and touches
    // nothing that belongs to the reader's thread.
    virtual void run() noexcept = 0;

    const std::shared_ptr<CompletionQueue> &completions() const { return completions_; }

private:
    enum class State { Queued, Running, Cancelled };

    bool exchange(State from, State to) noexcept {
        return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel);
    }

    std::atomic<State> state_{State::Queued};
    std::shared_ptr<CompletionQueue> completions_; // where it goes when it has run (or not)
};
