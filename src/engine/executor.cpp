#include "executor.hpp"

#include <atomic>
#include <system_error>
#include <thread>

#include "completion_queue.hpp"
#include "engine_errors.hpp"

namespace {

std::atomic<Executor *> current{nullptr};
std::once_flag made;

} // namespace

Executor &Executor::shared() {
    std::call_once(made, [] { current.store(new Executor(), std::memory_order_release); });
    return *current.load(std::memory_order_acquire);
}

void Executor::forget_after_fork() {
    if (current.load(std::memory_order_acquire) != nullptr) {
        current.store(new Executor(), std::memory_order_release); // the old one is never freed
    }
}

void Executor::submit(std::unique_ptr<Job> job) {
    std::unique_lock guard(lock_);
    queued_.push_back(std::move(job));
    if (idle_ > queued_.size() - 1 || threads_ >= max_threads_) {
        guard.unlock();
        job_ready_.notify_one();
        return;
    }
    ++threads_;
    try {
        std::thread([this] { work(); }).detach();
    } catch (const std::system_error &error) {
        --threads_;
        if (threads_ == 0) {
            // Nobody would ever run it: the caller learns now, with the job still its own.
            job = std::move(queued_.back());
            queued_.pop_back();
            throw IoError("Failed to start an engine thread", error.code().value());
        }
    }
}

void Executor::work() noexcept {
    std::unique_lock guard(lock_);
    for (;;) {
        if (threads_ > max_threads_) {
            --threads_; // beyond a lowered limit
            if (!queued_.empty()) {
                job_ready_.notify_one(); // the wake-up may have been meant for a job
            }
            return;
        }
        if (queued_.empty()) {
            ++idle_;
            job_ready_.wait(guard, [&] { return !queued_.empty() || threads_ > max_threads_; });
            --idle_;
            continue;
        }
        std::unique_ptr<Job> job = std::move(queued_.front());
        queued_.pop_front();
        guard.unlock();
        if (job->start()) {
            job->run();
        }
        // Held across the push: the reader may destroy the job, and with it the last owner of
        // its queue, before push returns.
        const std::shared_ptr<CompletionQueue> completions = job->completions();
        completions->push(std::move(job));
        guard.lock();
    }
}

void Executor::set_max_threads(std::size_t count) {
    {
        const std::lock_guard guard(lock_);
        max_threads_ = count;
    }
    job_ready_.notify_all();
}

std::size_t Executor::max_threads() const {
    const std::lock_guard guard(lock_);
    return max_threads_;
}

std::size_t Executor::threads() const {
    const std::lock_guard guard(lock_);
    return threads_;
}
