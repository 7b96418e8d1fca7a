#include "completion_queue.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include "engine_errors.hpp"
#include "job.hpp"

CompletionQueue::CompletionQueue() {
#ifdef __linux__
    read_end_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (read_end_ >= 0) {
        write_end_ = read_end_;
        return;
    }
#endif
    int ends[2];
    if (::pipe(ends) != 0) {
        throw IoError("Failed to make a completion queue", errno);
    }
    for (const int end : ends) {
        ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    read_end_ = ends[0];
    write_end_ = ends[1];
}

CompletionQueue::~CompletionQueue() {
    ::close(read_end_);
    if (write_end_ != read_end_) {
        ::close(write_end_);
    }
}

void CompletionQueue::push(std::unique_ptr<Job> job) noexcept {
    bool wake_reader;
    {
        const std::lock_guard guard(lock_);
        finished_.push_back(std::move(job));
        wake_reader = !std::exchange(woken_, true);
    }
    if (wake_reader) {
        wake();
    }
}

std::vector<std::unique_ptr<Job>> CompletionQueue::take() noexcept {
    // Cleared before the jobs are taken: a push after this either lands in this batch or wakes
    // the reader again.
    clear_wake_up();
    std::vector<std::unique_ptr<Job>> taken;
    const std::lock_guard guard(lock_);
    taken.swap(finished_);
    woken_ = false;
    return taken;
}

void CompletionQueue::wake() const noexcept {
    const std::uint64_t one = 1;
    // A full pipe already holds a wake-up; nothing else can fail that matters here.
    while (::write(write_end_, &one, write_end_ == read_end_ ? sizeof one : 1) < 0 &&
           errno == EINTR) {
    }
}

void CompletionQueue::clear_wake_up() const noexcept {
    char drained[64];
    for (;;) {
        const ssize_t got = ::read(read_end_, drained, sizeof drained);
        if (got > 0 && read_end_ != write_end_) {
            continue; // a pipe may hold several
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return;
    }
}
