#pragma once

#include <memory>
#include <mutex>
#include <vector>

class Job;

// Jobs that have run, on their way back to the thread of one event loop, which watches
// wake_descriptor() (an eventfd, or a pipe's read end where there is none) and takes them all
// at once when it becomes readable. A push wakes the reader only when it finds the queue idle,
// so a burst of completions costs one wake-up.
class CompletionQueue {
public:
    // Throws IoError when no descriptor can be made.
    CompletionQueue();
    // Never holds a job then: each queued job keeps its queue alive (Job::completions), so jobs
    // that nobody takes (their loop closed) stay, untouched, rather than being destroyed here.
    ~CompletionQueue();
    CompletionQueue(const CompletionQueue &) = delete;
    CompletionQueue &operator=(const CompletionQueue &) = delete;

    int wake_descriptor() const { return read_end_; }

    // From any thread; the queue owns `job` from here until take() returns it.
    void push(std::unique_ptr<Job> job) noexcept;

    // On the reader's thread: every job pushed so far, oldest first, and the wake-up cleared.
    std::vector<std::unique_ptr<Job>> take() noexcept;

private:
    void wake() const noexcept;
    void clear_wake_up() const noexcept;

    int read_end_ = -1;  // readable while a wake-up is pending
    int write_end_ = -1; // the same eventfd, or the pipe's write end
    std::mutex lock_;    // guards the two below
    std::vector<std::unique_ptr<Job>> finished_;
    bool woken_ = false; // a wake-up is pending that the reader has not yet cleared
};
