#include "storage.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/syscall.h>
#include <sys/vfs.h>
#ifndef SYS_cachestat
#define SYS_cachestat 451 // Linux 6.5, the same number on every architecture
#endif
#endif

namespace {

#ifdef __linux__
// File system magic numbers (statfs(2)).
constexpr long kTmpfs = 0x01021994;
constexpr long kRamfs = 0x858458f6;
// Each request may cross a network or reach a user-space daemon.
constexpr long kWaitingFileSystems[] = {
    0x65735546,                         // FUSE
    0x6969,                             // NFS
    0x517B,     0xFE534D42, 0xFF534D42, // SMB, SMB2, CIFS
    0x00c36400,                         // Ceph
    0x01021997,                         // 9p
    0x5346414F,                         // AFS
    0x73757245,                         // Coda
    0x0BD00BD0,                         // Lustre
    0x19980122,                         // OrangeFS
    0x47504653,                         // GPFS
    0x01161970,                         // GFS2
    0x7461636f,                         // OCFS2
};

Storage storage_of_file_system(int fd) {
    struct statfs info;
    if (::fstatfs(fd, &info) != 0) {
        return Storage::MayWait;
    }
    const long type = static_cast<long>(info.f_type);
    if (type == kTmpfs || type == kRamfs) {
        return Storage::Memory;
    }
    for (const long waiting : kWaitingFileSystems) {
        if (type == waiting) {
            return Storage::MayWait;
        }
    }
    return Storage::LocalDisk;
}
#else
Storage storage_of_file_system(int) { return Storage::MayWait; }
#endif

// Devices keep their file system while mounted; the map is shared by every thread.
std::mutex known_lock;
std::unordered_map<dev_t, Storage> known_devices;

Storage remembered_storage(dev_t device, int fd) {
    {
        const std::lock_guard guard(known_lock);
        if (const auto found = known_devices.find(device); found != known_devices.end()) {
            return found->second;
        }
    }
    const Storage storage = storage_of_file_system(fd); // may wait: asked outside the lock
    const std::lock_guard guard(known_lock);
    known_devices.emplace(device, storage);
    return storage;
}

} // namespace

void remember_may_wait(std::uint64_t device) {
    const std::lock_guard guard(known_lock);
    known_devices.insert_or_assign(static_cast<dev_t>(device), Storage::MayWait);
}

Storage storage_of(int fd, bool regular_file, std::uint64_t device) {
    return regular_file ? remembered_storage(static_cast<dev_t>(device), fd) : Storage::MayWait;
}

std::optional<bool> range_is_cached(int fd, std::uint64_t offset, std::uint64_t length) {
#ifdef __linux__
    // Pages past the end of the file are never cached; only the bytes a read can return count.
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        return std::nullopt;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    length = offset < size ? std::min(length, size - offset) : 0;
    if (length == 0) {
        return true;
    }
    struct {
        std::uint64_t offset, length;
    } range{offset, length};
    struct {
        std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
    } counts{};
    if (::syscall(SYS_cachestat, fd, &range, &counts, 0) != 0) {
        return std::nullopt;
    }
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t pages = (offset + length + page - 1) / page - offset / page;
    return counts.cached >= pages;
#else
    (void)fd;
    (void)offset;
    (void)length;
    return std::nullopt;
#endif
}
