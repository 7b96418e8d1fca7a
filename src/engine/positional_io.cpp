#include "positional_io.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "engine_errors.hpp"

std::size_t read_at(int fd, char *destination, std::size_t count, std::uint64_t offset) {
    for (;;) {
        const ssize_t got = ::pread(fd, destination, count, static_cast<off_t>(offset));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            throw IoError("pread failed", errno);
        }
    }
}

std::size_t write_at(int fd, std::string_view data, std::uint64_t offset) {
    for (;;) {
        const ssize_t taken = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (taken >= 0) {
            return static_cast<std::size_t>(taken);
        }
        if (errno != EINTR) {
            throw IoError("pwrite failed", errno);
        }
    }
}

std::optional<std::size_t> read_at_if_cached(int fd, char *destination, std::size_t count,
                                             std::uint64_t offset) {
#ifdef RWF_NOWAIT
    iovec piece{destination, count};
    // Even for no bytes: a descriptor that cannot read fails here as a read would.
    const ssize_t got = ::preadv2(fd, &piece, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    if (got < 0) {
        return std::nullopt;
    }
    if (got > 0 && static_cast<std::size_t>(got) < count) {
        // Short: the end of the file, or a page the kernel does not hold. Only a read that
        // finds nothing more, at once, tells the end (as one that found nothing just did).
        char probe;
        iovec next{&probe, 1};
        if (::preadv2(fd, &next, 1, static_cast<off_t>(offset) + got, RWF_NOWAIT) != 0) {
            return std::nullopt;
        }
    }
    return static_cast<std::size_t>(got);
#else
    (void)fd;
    (void)destination;
    (void)count;
    (void)offset;
    return std::nullopt;
#endif
}

std::optional<std::uint64_t> file_size(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0 || status.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

std::uint64_t first_room(int fd, bool regular_file, std::uint64_t count, std::uint64_t offset,
                         std::uint64_t least) {
    if (count <= least || !regular_file) {
        return count;
    }
    const auto size = file_size(fd);
    if (!size) {
        return count;
    }
    const std::uint64_t held = *size > offset ? *size - offset : 0;
    return std::min(count, std::max(held, least));
}
