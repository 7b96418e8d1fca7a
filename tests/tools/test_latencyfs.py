"""latencyfs, the slow and failing FUSE file system behind the `slow_fs` fixture: what is written
through the mount lands in the backing directory unchanged, marked files fail with EIO, a killed
daemon fails requests instead of hanging them, and concurrent requests wait out their latency
together rather than in turn.

Every operation on a mount runs through `bounded`, so a daemon that stops answering fails its test.
"""

import contextlib
import errno
import os
import stat
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import TypeVar

import pytest
from conftest import TIMEOUT, disk
from latencyfs import LatencyFs, mounted, unavailable_reason

T = TypeVar("T")
SlowFs = Callable[..., LatencyFs]


def bounded(call: Callable[[], T], timeout: float = TIMEOUT) -> T:
    """Runs `call` in a daemon thread and returns what it returns or raises what it raises; fails
    the test if it is still blocked after `timeout` seconds (the daemon thread cannot hold up exit).
    """
    outcome: list[tuple[bool, object]] = []

    def run() -> None:
        try:
            outcome.append((True, call()))
        except BaseException as error:  # handed to the caller's thread as it is
            outcome.append((False, error))

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout)
    if worker.is_alive():
        pytest.fail(f"still blocked after {timeout} s")
    returned, value = outcome[0]
    if not returned:
        raise value  # type: ignore[misc]
    return value  # type: ignore[return-value]


def write_through(path: Path, mode: str, chunks: list[bytes], offset: int = 0) -> None:
    with open(path, mode) as h:
        h.seek(offset, os.SEEK_SET if offset else os.SEEK_CUR)
        for chunk in chunks:
            h.write(chunk)


def fsync_path(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def unlink_while_open(path: Path) -> None:
    """The file stays readable through its open handle, and no hidden rename shows in its
    directory."""
    with open(path, "rb") as h:
        os.unlink(path)
        assert os.listdir(path.parent) == []
        assert h.read() == ORIGINAL


# ---- what the mount does lands in the backing directory ------------------------------------------

ORIGINAL = b"0123456789"
# name, mode, offset, chunks; 131072 is the kernel's largest single write request
WRITES = [
    ("create-empty", "wb", 0, [b""]),
    ("create-one-byte", "wb", 0, [b"x"]),
    ("replace-past-one-request", "wb", 0, [b"a" * 131073, b"b" * 131073]),
    ("append", "ab", 0, [b"tail", b"more"]),
    ("overwrite-inside", "r+b", 3, [b"abc"]),
    ("overwrite-past-end", "r+b", 8, [b"xyz" * 1000]),
]


@pytest.mark.parametrize(
    ("mode", "offset", "chunks"), [w[1:] for w in WRITES], ids=[w[0] for w in WRITES]
)
def test_bytes_written_through_mount_are_backing_bytes(
    slow_fs: SlowFs, tmp_path: Path, mode: str, offset: int, chunks: list[bytes]
) -> None:
    fs = slow_fs(latency_ms=1)
    oracle = tmp_path / "oracle"
    for target in (fs.backing / "f", oracle):
        target.write_bytes(ORIGINAL)
    bounded(lambda: write_through(fs.mountpoint / "f", mode, chunks, offset))
    write_through(oracle, mode, chunks, offset)
    assert disk(fs.backing / "f") == disk(oracle)
    assert bounded(lambda: disk(fs.mountpoint / "f")) == disk(oracle)


# name, operation on the mount, what the backing directory then shows
NAMESPACE = [
    ("listdir", lambda m: None, lambda b: sorted(os.listdir(b)), ["f"]),
    ("mkdir", lambda m: os.mkdir(m / "d"), lambda b: (b / "d").is_dir(), True),
    (
        "rmdir",
        lambda m: (os.mkdir(m / "d"), os.rmdir(m / "d")),
        lambda b: sorted(os.listdir(b)),
        ["f"],
    ),
    ("rename", lambda m: os.rename(m / "f", m / "g"), lambda b: disk(b / "g"), ORIGINAL),
    ("unlink", lambda m: os.unlink(m / "f"), lambda b: os.listdir(b), []),
    ("unlink-while-open", lambda m: unlink_while_open(m / "f"), lambda b: os.listdir(b), []),
    ("truncate", lambda m: os.truncate(m / "f", 3), lambda b: disk(b / "f"), ORIGINAL[:3]),
    (
        "chmod",
        lambda m: os.chmod(m / "f", 0o640),
        lambda b: stat.S_IMODE(os.stat(b / "f").st_mode),
        0o640,
    ),
    (
        "utime",
        lambda m: os.utime(m / "f", ns=(1, 2 * 10**9)),
        lambda b: os.stat(b / "f").st_mtime_ns,
        2 * 10**9,
    ),
    (
        "mkfifo",
        lambda m: os.mkfifo(m / "p"),
        lambda b: stat.S_ISFIFO(os.stat(b / "p").st_mode),
        True,
    ),
    ("fsync", lambda m: fsync_path(m / "f"), lambda b: disk(b / "f"), ORIGINAL),
]


@pytest.mark.parametrize(
    ("operate", "observe", "expected"), [n[1:] for n in NAMESPACE], ids=[n[0] for n in NAMESPACE]
)
def test_namespace_changes_pass_through(
    slow_fs: SlowFs,
    operate: Callable[[Path], object],
    observe: Callable[[Path], object],
    expected: object,
) -> None:
    fs = slow_fs(latency_ms=1)
    (fs.backing / "f").write_bytes(ORIGINAL)
    bounded(lambda: operate(fs.mountpoint))
    assert observe(fs.backing) == expected
    assert bounded(lambda: observe(fs.mountpoint)) == expected


# ---- faults: marked names, a daemon that dies ---------------------------------------------------

# name, file under the mount, operation on its descriptor (opened read-write), errno expected
MARKED = [
    ("read-marked", "bad.txt", lambda fd: os.pread(fd, 10, 0), errno.EIO),
    ("write-marked", "bad.txt", lambda fd: os.pwrite(fd, b"x", 0), errno.EIO),
    ("read-unmarked", "good.txt", lambda fd: os.pread(fd, 10, 0), None),
    ("marker-in-directory-only", "bad/good.txt", lambda fd: os.pread(fd, 10, 0), None),
]


@pytest.mark.parametrize(
    ("name", "operate", "failure"), [m[1:] for m in MARKED], ids=[m[0] for m in MARKED]
)
def test_marked_files_fail_reads_and_writes_after_opening(
    slow_fs: SlowFs, name: str, operate: Callable[[int], object], failure: int | None
) -> None:
    fs = slow_fs(latency_ms=1, fail_marker="bad")
    (fs.backing / name).parent.mkdir(exist_ok=True)
    (fs.backing / name).write_bytes(ORIGINAL)
    fd = bounded(lambda: os.open(fs.mountpoint / name, os.O_RDWR))
    try:
        if failure is None:
            bounded(lambda: operate(fd))
        else:
            with pytest.raises(OSError) as raised:
                bounded(lambda: operate(fd))
            assert raised.value.errno == failure
    finally:
        bounded(lambda: os.close(fd))
    assert disk(fs.backing / name) == ORIGINAL


def reads_until_failure(fd: int, size: int) -> list[object]:
    """What each read of `size` bytes gives, up to and including the first error's errno."""
    results: list[object] = []
    while True:
        try:
            results.append(os.read(fd, size))
        except OSError as error:
            return [*results, error.errno]


# fail_from, reads of this size; what a reader gets: the bytes up to fail_from, however they are
# asked for, then EIO, and EIO again
FAILING_FROM = {
    "inside-first-read": (4, 100, [ORIGINAL[:4], errno.EIO]),
    "at-a-read-boundary": (5, 5, [ORIGINAL[:5], errno.EIO]),
    "from-the-start": (0, 100, [errno.EIO]),
}


@pytest.mark.parametrize(
    ("fail_from", "size", "expected"), FAILING_FROM.values(), ids=FAILING_FROM.keys()
)
def test_marked_files_fail_reads_from_an_offset(
    slow_fs: SlowFs, fail_from: int, size: int, expected: list[object]
) -> None:
    fs = slow_fs(latency_ms=1, fail_marker="bad", fail_from=fail_from)
    (fs.backing / "bad").write_bytes(ORIGINAL)
    fd = bounded(lambda: os.open(fs.mountpoint / "bad", os.O_RDONLY))
    try:
        assert bounded(lambda: reads_until_failure(fd, size)) == expected
        with pytest.raises(OSError) as again:
            bounded(lambda: os.read(fd, size))
        assert again.value.errno == errno.EIO
    finally:
        bounded(lambda: os.close(fd))


@pytest.mark.parametrize(("offset", "landed"), [(2, 3), (5, 0)], ids=["across", "from-it"])
def test_marked_files_fail_writes_from_an_offset(slow_fs: SlowFs, offset: int, landed: int) -> None:
    fs = slow_fs(latency_ms=1, fail_marker="bad", fail_from=5)
    (fs.backing / "bad").write_bytes(ORIGINAL)
    fd = bounded(lambda: os.open(fs.mountpoint / "bad", os.O_WRONLY))
    try:
        if landed:
            assert bounded(lambda: os.pwrite(fd, b"XYZW", offset)) == landed
        with pytest.raises(OSError) as failed:
            bounded(lambda: os.pwrite(fd, b"XYZW", offset + landed))
        assert failed.value.errno == errno.EIO
    finally:
        bounded(lambda: os.close(fd))
    expected = bytearray(ORIGINAL)
    expected[offset : offset + landed] = b"XYZW"[:landed]
    assert (fs.backing / "bad").read_bytes() == bytes(expected)


def kill_once_a_request_waits(fs: LatencyFs) -> None:
    deadline = time.monotonic() + TIMEOUT
    while fs.stats().in_flight == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    fs.kill()


@pytest.mark.parametrize("while_reading", [False, True], ids=["read-after-kill", "killed-mid-read"])
def test_killed_daemon_fails_reads_with_enotconn(slow_fs: SlowFs, while_reading: bool) -> None:
    fs = slow_fs(latency_ms=500)
    (fs.backing / "f").write_bytes(ORIGINAL)
    fd = bounded(lambda: os.open(fs.mountpoint / "f", os.O_RDONLY))
    killer = threading.Thread(
        target=kill_once_a_request_waits if while_reading else LatencyFs.kill, args=(fs,)
    )
    killer.start()
    if not while_reading:
        killer.join(TIMEOUT)
    with pytest.raises(OSError) as raised:
        bounded(lambda: os.pread(fd, 10, 0))
    assert raised.value.errno == errno.ENOTCONN
    with contextlib.suppress(OSError):  # closing flushes, which fails the same way
        bounded(lambda: os.close(fd))
    killer.join(TIMEOUT)
    assert os.listdir(fs.mountpoint) == []  # detached: the bare directory again


def skip_without_fuse() -> None:
    if (reason := unavailable_reason()) is not None:
        pytest.skip(reason)


def test_exit_after_kill_is_clean(tmp_path: Path) -> None:
    skip_without_fuse()
    with mounted(tmp_path / "backing", tmp_path / "mnt", latency_ms=1) as fs:
        fs.kill()
    assert fs.process.returncode is not None
    with open("/proc/self/mounts", encoding="utf-8") as table:
        assert str(tmp_path / "mnt") not in table.read()


def test_daemon_refusing_to_mount_raises_with_its_stderr(tmp_path: Path) -> None:
    skip_without_fuse()
    with (
        pytest.raises(RuntimeError, match="(?s)exited.*usage"),
        mounted(tmp_path / "backing", tmp_path / "mnt", latency_ms=-1),
    ):
        pass


# ---- concurrency: requests overlap rather than queue ---------------------------------------------


def read_together(fs: LatencyFs, places: list[tuple[str, int]]) -> None:
    """One thread per (name, offset): each opens its file, and once all have, reads at its
    offset."""
    start = threading.Barrier(len(places), timeout=TIMEOUT)

    def read(name: str, offset: int) -> None:
        fd = os.open(fs.mountpoint / name, os.O_RDONLY)
        try:
            start.wait()
            os.pread(fd, 4096, offset)
        finally:
            os.close(fd)

    readers = [threading.Thread(target=read, args=place) for place in places]
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join()


MIB = 1 << 20
# name, places read at once: separate files, or offsets of one sparse file far beyond each readahead
CONCURRENT = [
    ("16-files", [(f"f{i}", 0) for i in range(16)]),
    ("64-offsets", [("sparse", i * MIB) for i in range(64)]),
]


@pytest.mark.parametrize("places", [c[1] for c in CONCURRENT], ids=[c[0] for c in CONCURRENT])
def test_concurrent_reads_are_in_flight_together(
    slow_fs: SlowFs, places: list[tuple[str, int]]
) -> None:
    fs = slow_fs(latency_ms=100)
    for name, offset in places:
        with open(fs.backing / name, "ab") as h:
            h.truncate(offset + 4096)
    bounded(lambda: read_together(fs, places))
    # At most one request per thread; a busy machine (a sanitizer's build, another job) may start
    # many threads only after others finished: 47 of 64 was seen under AddressSanitizer. Serial
    # reads would give 1.
    assert fs.stats().peak_in_flight >= len(places) // 2
