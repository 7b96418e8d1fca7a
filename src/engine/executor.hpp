#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "job.hpp"

// The engine's own threads, which carry out the calls that can wait: each takes the oldest job,
// runs it unless it was cancelled first, and hands it to its completion queue. Threads start only
// when a job finds none idle, up to max_threads(); they are detached and the executor is never
// destroyed, so a thread still waiting on a device when the process exits holds nothing up and
// touches nothing freed.
class Executor {
public:
    // Most threads waiting at once unless set_max_threads says otherwise.
    static constexpr std::size_t kDefaultMaxThreads = 64;

    // The process's executor.
    static Executor &shared();
    // In a child process just forked: the threads stayed behind in the parent, so a new executor
    // starts from nothing; the old one, whose lock a parent thread may have held, is left alone.
    static void forget_after_fork();

    void submit(std::unique_ptr<Job> job);

    // Lowering it lets threads beyond the new limit end once idle; jobs wait for a free thread.
    void set_max_threads(std::size_t count);
    std::size_t max_threads() const;
    // Threads now running, busy or idle.
    std::size_t threads() const;

private:
    Executor() = default;
    void work() noexcept;

    mutable std::mutex lock_; // guards everything below
    std::condition_variable job_ready_;
    std::deque<std::unique_ptr<Job>> queued_;
    std::size_t max_threads_ = kDefaultMaxThreads;
    std::size_t threads_ = 0; // started and not yet ended
    std::size_t idle_ = 0;    // of those, waiting for a job
};
