#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "read_sink.hpp"

// Reads and writes at an offset of a descriptor, which they leave where it stands. They touch
// nothing but the descriptor and the memory given, so any number of threads may run them on
// one descriptor at once. Each retries only when a signal interrupted it, and reports a failure
// by throwing IoError with the errno.

// One pread(2): up to `count` bytes at `offset`; fewer at the end of the file.
std::size_t read_at(int fd, char *destination, std::size_t count, std::uint64_t offset);

// One pwrite(2): the number of bytes the kernel took, which may be fewer than given.
std::size_t write_at(int fd, std::string_view data, std::uint64_t offset);

// Up to `count` bytes at `offset` of a regular file, read only when the kernel has every one of
// them in memory (preadv2 with RWF_NOWAIT); nullopt when the read would have to wait for storage,
// or where the system cannot tell. The memory may have been written to either way.
std::optional<std::size_t> read_at_if_cached(int fd, char *destination, std::size_t count,
                                             std::uint64_t offset);

// The size of the file behind `fd` as fstat tells it; nullopt when fstat fails.
std::optional<std::uint64_t> file_size(int fd);

// The room a read of `count` bytes at `offset` starts with: for a regular file, what it holds
// past `offset` by fstat (at least `least`, as the file may have grown since), so a count far
// past the end costs only what is there; otherwise all of `count`. The fstat may wait.
std::uint64_t first_room(int fd, bool regular_file, std::uint64_t count, std::uint64_t offset,
                         std::uint64_t least);

// Up to `count` bytes at `offset` into `sink`, as one read of them would give: `read_piece(
// destination, size, offset)` reads each piece (an optional count, nullopt to give up), starting
// with `room` bytes and doubling while the pieces come back whole. nullopt when a piece gave up.
template <typename ReadPiece>
std::optional<std::size_t> read_positionally(ReadSink &sink, std::uint64_t count,
                                             std::uint64_t room, std::uint64_t offset,
                                             ReadPiece &&read_piece) {
    std::size_t got = 0;
    for (;;) {
        char *destination = sink.reserve(static_cast<std::size_t>(room)) + got;
        const std::size_t asked = static_cast<std::size_t>(room) - got;
        const std::optional<std::size_t> arrived = read_piece(destination, asked, offset + got);
        if (!arrived) {
            return std::nullopt;
        }
        got += *arrived;
        if (*arrived < asked || room == count) {
            return got;
        }
        room = room * 2 < count ? room * 2 : count;
    }
}
