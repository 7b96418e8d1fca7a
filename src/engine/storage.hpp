#pragma once

#include <cstdint>
#include <optional>

// What may make a call on an open descriptor wait, as far as the kernel tells.
enum class Storage {
    Memory,    // a regular file on a file system held in memory (tmpfs, ramfs)
    LocalDisk, // a regular file on a local block device: reads wait unless cached
    MayWait,   // a pipe, FIFO, socket or device, or a network or FUSE file system
};

// Classifies open descriptor `fd` by what fstat told of it: a regular file or not, and its
// device, whose file system's kind is remembered, so a slow file system is asked once. On a
// system that cannot tell, MayWait.
Storage storage_of(int fd, bool regular_file, std::uint64_t device);

// Records that regular files on `device` may wait, as a mount table tells without asking the file
// system (a statfs on a network or FUSE file system is itself a request that waits). Replaces what
// was remembered, since a device number freed by an unmount is given to the next mount.
void remember_may_wait(std::uint64_t device);

// Whether every page of `fd` that holds a byte of [offset, offset + length) is in the page cache;
// nullopt where the kernel cannot say.
std::optional<bool> range_is_cached(int fd, std::uint64_t offset, std::uint64_t length);
