#include "submitted_write.hpp"

#include <cerrno>
#include <cstdint>
#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// An AIO context per thread, made on first use: io_destroy waits for an RCU grace period (33 ms
// here), far too long to pay per write. Where io_setup is refused (no AIO in the kernel, a seccomp
// filter, aio-max-nr reached) the thread never asks again.
class ThreadContext {
public:
    ThreadContext() = default;
    ThreadContext(const ThreadContext &) = delete;
    ThreadContext &operator=(const ThreadContext &) = delete;
    ~ThreadContext() { drop(); }

    aio_context_t get() {
        if (id_ == 0 && !refused_ && ::syscall(SYS_io_setup, 1, &id_) != 0) {
            id_ = 0;
            refused_ = true;
        }
        return id_;
    }

    // Waits for what the context still has in flight, then lets it go.
    void drop() {
        if (id_ != 0) {
            ::syscall(SYS_io_destroy, id_);
            id_ = 0;
        }
    }

private:
    aio_context_t id_ = 0;
    bool refused_ = false;
};

thread_local ThreadContext context;

} // namespace

std::optional<ssize_t> write_submitted(int fd, const char *data, std::size_t size, off_t offset) {
    const aio_context_t id = context.get();
    if (id == 0) {
        return std::nullopt;
    }
    iocb request{};
    request.aio_fildes = static_cast<std::uint32_t>(fd);
    request.aio_lio_opcode = IOCB_CMD_PWRITE;
    request.aio_buf = reinterpret_cast<std::uintptr_t>(data);
    request.aio_nbytes = size;
    request.aio_offset = offset;
    iocb *requests[] = {&request};
    // Refused here (a context a fork left behind, a file without asynchronous writes): nothing is
    // in flight, and write(2) will say what is wrong, if anything.
    if (::syscall(SYS_io_submit, id, 1, requests) != 1) {
        return std::nullopt;
    }
    io_event event{};
    while (::syscall(SYS_io_getevents, id, 1, 1, &event, nullptr) != 1) {
        if (errno != EINTR) {
            const int failure = errno;
            context.drop(); // returns only once the write is over: the data may be freed then
            return -failure;
        }
    }
    return static_cast<ssize_t>(event.res);
}
