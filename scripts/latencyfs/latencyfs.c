/*
 * A passthrough FUSE file system over a backing directory that makes every request wait a fixed
 * latency before it is served, so that tests and benchmarks see slow storage.
 *
 *   latencyfs [--latency-ms=MS] [--fail-marker=STR] [--fail-from=BYTES] [--direct-io]
 *             [--stats-file=PATH] BACKING MOUNTPOINT -f
 *
 * --fail-marker: reads and writes of files whose name contains STR fail with EIO (open succeeds).
 * --fail-from: reads and writes of those files fail only from this offset on; one that starts
 *   before it reads or writes the bytes up to it, as storage that fails part-way through a file
 *   would. Marked files are opened with direct I/O, so each reply reaches the caller as it is:
 *   through the page cache, a short reply would read as the end of the file.
 * --direct-io: every file is opened with direct I/O, as network file systems often serve theirs:
 *   the kernel caches none of its pages and sends each read and write on to the daemon.
 * --stats-file: a file of four little-endian uint64 counters, kept current while mounted:
 *   requests served, requests in flight, the most ever in flight at once, statfs requests served.
 *
 * What reaches the daemon is what the kernel does not cache: names and attributes stay cached for
 * libfuse's default second, file pages until the file is next opened. Lookups of names in one
 * directory arrive one at a time: libfuse 3.14 never tells the kernel that parallel directory
 * operations are fine. Everything else runs on up to 128 threads at once.
 */
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 14)
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

// Enough workers that 64 concurrent requests overlap instead of queueing (libfuse's default is 10).
#define MAX_THREADS_OPTION "-omax_threads=128"

struct options {
    double latency_ms;
    char *fail_marker;
    long long fail_from;
    int direct_io;
    char *stats_file;
    char *backing;
};

struct stats {
    _Atomic uint64_t requests;
    _Atomic uint64_t in_flight;
    _Atomic uint64_t peak_in_flight;
    _Atomic uint64_t statfs_requests;
};

struct open_file {
    int fd;
    int fails; // opened under a name holding the fail marker
};

static struct options options = {.latency_ms = 20.0};
static struct stats *stats;
static int backing_fd;

static const struct fuse_opt option_specs[] = {
    {"--latency-ms=%lf", offsetof(struct options, latency_ms), 0},
    {"--fail-marker=%s", offsetof(struct options, fail_marker), 0},
    {"--fail-from=%lld", offsetof(struct options, fail_from), 0},
    {"--direct-io", offsetof(struct options, direct_io), 1},
    {"--stats-file=%s", offsetof(struct options, stats_file), 0},
    FUSE_OPT_END,
};

static void note_peak(uint64_t now) {
    uint64_t peak = atomic_load(&stats->peak_in_flight);
    while (now > peak && !atomic_compare_exchange_weak(&stats->peak_in_flight, &peak, now)) {
    }
}

// Called first by every operation; the wait is what counts as the request being in flight.
static void wait_latency(void) {
    note_peak(atomic_fetch_add(&stats->in_flight, 1) + 1);
    double seconds = options.latency_ms / 1000.0;
    struct timespec delay = {.tv_sec = (time_t)seconds,
                             .tv_nsec = (long)((seconds - (time_t)seconds) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &delay, &delay) == EINTR) {
    }
    atomic_fetch_sub(&stats->in_flight, 1);
    atomic_fetch_add(&stats->requests, 1);
}

// FUSE paths start at the mount's root ("/a/b"); the backing directory's *at() calls want "a/b".
static const char *relative(const char *path) { return path[1] ? path + 1 : "."; }

static int result(int rc) { return rc < 0 ? -errno : 0; }

static struct open_file *file_of(struct fuse_file_info *fi) {
    return (struct open_file *)(uintptr_t)fi->fh;
}

static int marked(const char *path) {
    if (!options.fail_marker)
        return 0;
    const char *slash = strrchr(path, '/');
    return strstr(slash ? slash + 1 : path, options.fail_marker) != NULL;
}

static int keep_open_file(const char *path, int fd, struct fuse_file_info *fi) {
    if (fd < 0)
        return -errno;
    struct open_file *file = malloc(sizeof *file);
    if (!file) {
        close(fd);
        return -ENOMEM;
    }
    *file = (struct open_file){.fd = fd, .fails = marked(path)};
    fi->fh = (uintptr_t)file;
    fi->direct_io = file->fails || options.direct_io;
    return 0;
}

static void *lfs_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    (void)conn;
    // Open files stay usable after unlink without the library's hidden renames in the backing
    // directory: handlers given a file or directory handle use it, as they get no path then.
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    return NULL;
}

static int lfs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    wait_latency();
    if (fi)
        return result(fstat(file_of(fi)->fd, st));
    return result(fstatat(backing_fd, relative(path), st, AT_SYMLINK_NOFOLLOW));
}

static int lfs_opendir(const char *path, struct fuse_file_info *fi) {
    wait_latency();
    int fd = openat(backing_fd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? NULL : fdopendir(fd);
    if (!dir) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        return -error;
    }
    fi->fh = (uintptr_t)dir;
    return 0;
}

static int lfs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                       struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    (void)path, (void)offset, (void)flags;
    wait_latency();
    DIR *dir = (DIR *)(uintptr_t)fi->fh;
    // Each call lists the whole directory (offsets 0 to the filler), so it starts from the top.
    rewinddir(dir);
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        struct stat st = {.st_ino = entry->d_ino, .st_mode = (mode_t)DTTOIF(entry->d_type)};
        if (fill(buf, entry->d_name, &st, 0, 0))
            break;
    }
    return 0;
}

static int lfs_releasedir(const char *path, struct fuse_file_info *fi) {
    (void)path;
    wait_latency();
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}

static int lfs_open(const char *path, struct fuse_file_info *fi) {
    wait_latency();
    return keep_open_file(path, openat(backing_fd, relative(path), fi->flags | O_CLOEXEC), fi);
}

static int lfs_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
    wait_latency();
    int fd = openat(backing_fd, relative(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
    return keep_open_file(path, fd, fi);
}

static int lfs_read(const char *path, char *buf, size_t size, off_t offset,
                    struct fuse_file_info *fi) {
    (void)path;
    wait_latency();
    if (file_of(fi)->fails) {
        if (offset >= options.fail_from)
            return -EIO;
        if ((long long)size > options.fail_from - offset)
            size = (size_t)(options.fail_from - offset);
    }
    ssize_t n = pread(file_of(fi)->fd, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int lfs_write(const char *path, const char *buf, size_t size, off_t offset,
                     struct fuse_file_info *fi) {
    (void)path;
    wait_latency();
    if (file_of(fi)->fails) {
        if (offset >= options.fail_from)
            return -EIO;
        if ((long long)size > options.fail_from - offset)
            size = (size_t)(options.fail_from - offset);
    }
    ssize_t n = pwrite(file_of(fi)->fd, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int lfs_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
    wait_latency();
    if (fi)
        return result(ftruncate(file_of(fi)->fd, size));
    int fd = openat(backing_fd, relative(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int rc = result(ftruncate(fd, size));
    close(fd);
    return rc;
}

static int lfs_flush(const char *path, struct fuse_file_info *fi) {
    (void)path;
    wait_latency();
    // Closing a duplicate reports what closing the backing file would, and keeps it open.
    return result(close(dup(file_of(fi)->fd)));
}

static int lfs_release(const char *path, struct fuse_file_info *fi) {
    (void)path;
    wait_latency();
    close(file_of(fi)->fd);
    free(file_of(fi));
    return 0;
}

static int lfs_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
    (void)path;
    wait_latency();
    int fd = file_of(fi)->fd;
    return result(datasync ? fdatasync(fd) : fsync(fd));
}

static int lfs_unlink(const char *path) {
    wait_latency();
    return result(unlinkat(backing_fd, relative(path), 0));
}

static int lfs_mkdir(const char *path, mode_t mode) {
    wait_latency();
    return result(mkdirat(backing_fd, relative(path), mode));
}

static int lfs_rmdir(const char *path) {
    wait_latency();
    return result(unlinkat(backing_fd, relative(path), AT_REMOVEDIR));
}

static int lfs_rename(const char *from, const char *to, unsigned int flags) {
    wait_latency();
    return result(renameat2(backing_fd, relative(from), backing_fd, relative(to), flags));
}

static int lfs_statfs(const char *path, struct statvfs *st) {
    (void)path;
    wait_latency();
    atomic_fetch_add(&stats->statfs_requests, 1);
    return result(fstatvfs(backing_fd, st));
}

static int lfs_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
    wait_latency();
    if (fi)
        return result(futimens(file_of(fi)->fd, tv));
    return result(utimensat(backing_fd, relative(path), tv, AT_SYMLINK_NOFOLLOW));
}

static int lfs_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
    wait_latency();
    if (fi)
        return result(fchmod(file_of(fi)->fd, mode));
    return result(fchmodat(backing_fd, relative(path), mode, 0));
}

static int lfs_access(const char *path, int mask) {
    wait_latency();
    return result(faccessat(backing_fd, relative(path), mask, 0));
}

static int lfs_mknod(const char *path, mode_t mode, dev_t rdev) {
    wait_latency();
    return result(mknodat(backing_fd, relative(path), mode, rdev));
}

static const struct fuse_operations operations = {
    .init = lfs_init,
    .getattr = lfs_getattr,
    .opendir = lfs_opendir,
    .readdir = lfs_readdir,
    .releasedir = lfs_releasedir,
    .open = lfs_open,
    .create = lfs_create,
    .read = lfs_read,
    .write = lfs_write,
    .truncate = lfs_truncate,
    .flush = lfs_flush,
    .release = lfs_release,
    .fsync = lfs_fsync,
    .unlink = lfs_unlink,
    .mkdir = lfs_mkdir,
    .rmdir = lfs_rmdir,
    .rename = lfs_rename,
    .statfs = lfs_statfs,
    .utimens = lfs_utimens,
    .chmod = lfs_chmod,
    .access = lfs_access,
    .mknod = lfs_mknod,
};

// The first plain argument is the backing directory; the second, the mount point, goes to libfuse.
static int take_backing(void *data, const char *arg, int key, struct fuse_args *outargs) {
    (void)data, (void)outargs;
    if (key != FUSE_OPT_KEY_NONOPT || options.backing)
        return 1;
    options.backing = strdup(arg);
    return 0;
}

// Counters live in a shared mapping of the stats file, so readers see them without asking.
static struct stats *open_stats(const char *path) {
    static struct stats private_stats;
    if (!path)
        return &private_stats;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, sizeof(struct stats)) != 0)
        return NULL;
    void *mapped = mmap(NULL, sizeof(struct stats), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return mapped == MAP_FAILED ? NULL : mapped;
}

int main(int argc, char *argv[]) {
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &options, option_specs, take_backing) != 0)
        return 2;
    if (!options.backing || !(options.latency_ms >= 0) || options.fail_from < 0) {
        fprintf(stderr,
                "usage: %s [--latency-ms=MS] [--fail-marker=STR] [--fail-from=BYTES] [--direct-io] "
                "[--stats-file=PATH] BACKING MOUNTPOINT [FUSE options]\n",
                argv[0]);
        return 2;
    }
    backing_fd = open(options.backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (backing_fd < 0) {
        perror(options.backing);
        return 1;
    }
    stats = open_stats(options.stats_file);
    if (!stats) {
        perror(options.stats_file);
        return 1;
    }
    umask(0); // the kernel has already applied the caller's umask to the modes it sends
    fuse_opt_add_arg(&args, MAX_THREADS_OPTION);
    int rc = fuse_main(args.argc, args.argv, &operations, NULL);
    fuse_opt_free_args(&args);
    return rc;
}
