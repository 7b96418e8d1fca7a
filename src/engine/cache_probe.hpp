#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// Reads of a regular file that happen only when the kernel holds every byte in memory, for a
// caller that must not wait (the event loop's thread). preadv2(RWF_NOWAIT) is such a read, but on
// a page not in memory it first starts the read-ahead, page allocation and device submission
// included, on the calling thread, and only then answers that it would wait. So after a miss (of
// this file's probes, or the last of any file's), the next probe asks the page cache first
// (cachestat, which reads nothing) and leaves the read, and its submission, to the thread that
// will wait for it. A hit goes back to preadv2 alone, which costs a cached read nothing more. One
// object per file; not for two threads at once.
class CacheProbe {
public:
    // Up to `count` bytes at `offset`, as read_at_if_cached gives them; nullopt when the read
    // would have to wait, or where the system cannot tell.
    std::optional<std::size_t> read(int fd, char *destination, std::size_t count,
                                    std::uint64_t offset);

private:
    bool missed_ = false; // the last probe found bytes not in memory
};

// How many pages of `count` bytes at `offset` of the file behind `fd` the page cache holds, asked
// without reading (cachestat, Linux 6.5); nullopt where the kernel cannot tell.
std::optional<std::uint64_t> cached_pages(int fd, std::size_t count, std::uint64_t offset);

// Whether a read of `count` bytes at `offset` may find every byte it takes in memory: false only
// when the page cache lacks a page of it within the file.
bool may_be_in_memory(int fd, std::size_t count, std::uint64_t offset);
