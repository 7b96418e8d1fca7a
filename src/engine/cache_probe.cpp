#include "cache_probe.hpp"

#include <algorithm>
#include <atomic>

#include <sys/syscall.h>
#include <unistd.h>

#include "positional_io.hpp"

namespace {

#if defined(SYS_cachestat)
constexpr long kCachestat = SYS_cachestat;
#elif defined(__linux__) && !defined(__alpha__)
constexpr long kCachestat = 451; // the same on every architecture but alpha; older headers lack it
#else
constexpr long kCachestat = -1;
#endif

// The kernel's struct cachestat_range and struct cachestat, which older headers lack.
struct CachestatRange {
    std::uint64_t offset;
    std::uint64_t length;
};

struct Cachestat {
    std::uint64_t cached;
    std::uint64_t dirty;
    std::uint64_t writeback;
    std::uint64_t evicted;
    std::uint64_t recently_evicted;
};

// Whether the last probe of any file missed: a file just opened in a program reading cold files is
// likely cold too, and its first probe asks the page cache first as well.
std::atomic<bool> last_probe_missed{false};

std::uint64_t pages_spanned(std::size_t count, std::uint64_t offset) {
    static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return count == 0 ? 0 : (offset + count - 1) / page - offset / page + 1;
}

} // namespace

std::optional<std::uint64_t> cached_pages(int fd, std::size_t count, std::uint64_t offset) {
    if (kCachestat < 0 || count == 0) { // a length of 0 would ask to the end of the file
        return std::nullopt;
    }
    CachestatRange range{offset, count};
    Cachestat status{};
    if (::syscall(kCachestat, fd, &range, &status, 0) != 0) {
        return std::nullopt; // ENOSYS, EPERM under a sandbox's filter, EOPNOTSUPP, ...
    }
    return status.cached;
}

bool may_be_in_memory(int fd, std::size_t count, std::uint64_t offset) {
    const std::optional<std::uint64_t> cached = cached_pages(fd, count, offset);
    if (!cached || *cached >= pages_spanned(count, offset)) {
        return true;
    }
    // Pages past the end of the file are never cached, and a read there answers at once.
    const std::optional<std::uint64_t> size = file_size(fd);
    if (!size) {
        return true;
    }
    const std::uint64_t end = std::min<std::uint64_t>(offset + count, *size);
    return end <= offset || *cached >= pages_spanned(end - offset, offset);
}

std::optional<std::size_t> CacheProbe::read(int fd, char *destination, std::size_t count,
                                            std::uint64_t offset) {
    const bool cold = missed_ || last_probe_missed.load(std::memory_order_relaxed);
    if (cold && !may_be_in_memory(fd, count, offset)) {
        return std::nullopt;
    }
    const std::optional<std::size_t> got = read_at_if_cached(fd, destination, count, offset);
    missed_ = !got;
    last_probe_missed.store(!got, std::memory_order_relaxed);
    return got;
}
