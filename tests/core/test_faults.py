"""Faults from the system: a full disk, a file size limit, too many open files, a file changed by
another handle while it is read, and offsets beyond 4 GiB.

What must hold after each: the error names what failed, tell() counts exactly the bytes accepted
(handed to the file or still pending), a retry writes no byte twice, and reads return only bytes
that the file held. Limits are set in a child interpreter, so the test process keeps its own.
"""

import gc
import json
import os
import pathlib
import sys
from collections.abc import Callable

import pytest
from conftest import descriptors, letters, run_child
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile

FullDisk = Callable[[], AsyncFile]

# ---- full disk: every write route, then close, then destruction ---------------------------------

# method, sizes (one call each for write, one call for writelines), the error, bytes left pending
FULL_DISK = [
    ("buffered", "write", [10], None, 10),
    ("exact-fill", "write", [131072, 131072], None, 262144),
    ("overflow", "write", [131072, 131072, 1], "Failed to flush write buffer", 262144),
    ("direct", "write", [131073], "Failed to write complete data", 0),
    ("direct-after-pending", "write", [10, 131073], "Failed to flush write buffer", 10),
    ("writelines-pending", "writelines", [100000, 100000], None, 200000),
    ("writelines-overflow", "writelines", [131072] * 3, "Failed to flush write buffer", 262144),
    ("writelines-direct", "writelines", [10, 131073], "Failed to flush write buffer", 10),
]


def write_all(f: AsyncFile, method: str, sizes: list[int]) -> None:
    if method == "writelines":
        f.writelines(letters(sizes))
    else:
        for chunk in letters(sizes):
            f.write(chunk)


def error_of(call: Callable[[], object]) -> str | None:
    """The text of the RuntimeError `call` raises; no traceback outlives it to keep the object
    alive."""
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return None


@pytest.mark.parametrize(
    ("method", "sizes", "error", "pending"),
    [c[1:] for c in FULL_DISK],
    ids=[c[0] for c in FULL_DISK],
)
def test_full_disk_route_close_and_destruction(
    full_disk: FullDisk,
    monkeypatch: pytest.MonkeyPatch,
    capfd: pytest.CaptureFixture[str],
    method: str,
    sizes: list[int],
    error: str | None,
    pending: int,
) -> None:
    unraisable: list[object] = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    before = descriptors()
    f = full_disk()
    assert error_of(lambda: write_all(f, method, sizes)) == error
    assert f.tell() == pending  # /dev/full takes nothing: tell counts only what is pending
    for _ in range(2):  # close keeps failing while bytes stay pending
        assert error_of(f.close) == ("Failed to flush write buffer" if pending else None)
        assert (f.seekable(), f.tell() if pending else 0) == (bool(pending), pending)
    del f  # destruction drops what is pending, silently, and closes the descriptor
    gc.collect()
    assert (unraisable, capfd.readouterr(), descriptors()) == ([], ("", ""), before)


# Every operation that hands pending bytes over fails on a full disk; the object stays open with
# all of them pending, and close fails the same way after it.
HANDING_OVER: dict[str, Callable[[AsyncFile], object]] = {
    "flush": AsyncFile.flush,
    "seek": lambda f: f.seek(0),
    "truncate": AsyncFile.truncate,
    "close": AsyncFile.close,
    "exit": lambda f: f.__exit__(None, None, None),
    "reopen": AsyncFile.open,
    "read(0)": lambda f: f.read(0),
    "read(1)": lambda f: f.read(1),
    "read(8193)": lambda f: f.read(8193),
    "read()": AsyncFile.read,
    "read1()": AsyncFile.read1,
    "readinto": lambda f: f.readinto(bytearray(8)),
    "readinto-empty": lambda f: f.readinto(bytearray()),
    "direct-write": lambda f: f.write(b"y" * 131073),
    "writelines-direct": lambda f: f.writelines([b"y" * 131073]),
    "overflowing-write": lambda f: f.write(
        b"y" * 131072
    ),  # overflows only what holds more than 131072
}
PENDING = {"small": [100], "largest-buffered": [131072], "two-writes": [70000, 70000]}
HANDING_CASES = [
    pytest.param(HANDING_OVER[op], sizes, id=f"{op}-{name}")
    for op in HANDING_OVER
    for name, sizes in PENDING.items()
    if op != "overflowing-write" or sum(sizes) > 131072
]


@pytest.mark.parametrize(("operation", "sizes"), HANDING_CASES)
def test_pending_bytes_on_full_disk(
    full_disk: FullDisk, operation: Callable[[AsyncFile], object], sizes: list[int]
) -> None:
    f = full_disk()
    for size in sizes:
        f.write(b"x" * size)
    for attempt in (operation, AsyncFile.close, AsyncFile.close):
        assert error_of(lambda: attempt(f)) == "Failed to flush write buffer"
        assert (f.seekable(), f.tell()) == (True, sum(sizes))


# ---- a file size limit cuts writes short ------------------------------------------------------

# The child writes each step's letters under RLIMIT_FSIZE. At the first failure it checks that the
# disk holds a prefix of what was written, raises the limit and retries what tell() says was not
# accepted: data[tell() - start:] for a write, the rest of the lines for writelines, the call
# itself for flush and close. The limit counts from where the file started. It prints the failure
# and whether the file ends up holding exactly what was written.
SHORT_WRITES = r"""
import json, resource, signal, sys
from _larkspan_core import AsyncFile

path, mode, limit, steps = sys.argv[1], sys.argv[2], int(sys.argv[3]), json.loads(sys.argv[4])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
with open(path, "rb") as h:
    written = h.read()
existing = len(written)
failure = None
f = AsyncFile(path, mode).open()
resource.setrlimit(resource.RLIMIT_FSIZE, (existing + limit, hard))
for index, (kind, sizes) in enumerate(steps):
    data = [bytes([97 + (index + i) % 26]) * n for i, n in enumerate(sizes)]
    written += b"".join(data)
    start = f.tell()
    try:
        if kind == "write":
            f.write(data[0])
        elif kind == "writelines":
            f.writelines(data)
        else:
            getattr(f, kind)()
    except RuntimeError as error:
        accepted = f.tell() - start
        with open(path, "rb") as h:
            on_disk = h.read()
        landed = len(on_disk) - existing
        failure = [index, str(error), accepted, landed, written.startswith(on_disk)]
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        if kind in ("write", "writelines"):
            f.write(b"".join(data)[accepted:])
        else:
            getattr(f, kind)()
f.close()
with open(path, "rb") as h:
    print(json.dumps([failure, h.read() == written]))
"""

# steps, the limit, the failure: (step, message, bytes of that step accepted, bytes on disk then)
SHORT_WRITE_CASES = [
    (
        "overflowing-write",
        [("write", [131072]), ("write", [131072]), ("write", [10])],
        100000,
        [2, "Failed to flush write buffer", 0, 100000],
    ),
    ("direct", [("write", [300000])], 100000, [0, "Failed to write complete data", 100000, 100000]),
    (
        "direct-after-pending",
        [("write", [50000]), ("write", [300000])],
        100000,
        [1, "Failed to write complete data", 50000, 100000],
    ),
    (
        "direct-cut-in-pending",
        [("write", [120000]), ("write", [300000])],
        100000,
        [1, "Failed to flush write buffer", 0, 100000],
    ),
    (
        "writelines",
        [("writelines", [100000] * 6)],
        250000,
        [0, "Failed to flush write buffer", 400000, 250000],
    ),
    (
        "flush",
        [("write", [50000]), ("write", [50000]), ("flush", [])],
        60000,
        [2, "Failed to flush write buffer", 0, 60000],
    ),
    (
        "close",
        [("write", [70000]), ("close", [])],
        60000,
        [1, "Failed to flush write buffer", 0, 60000],
    ),
]


@pytest.mark.parametrize("mode", ["wb", "ab"])
@pytest.mark.parametrize(
    ("steps", "limit", "failure"),
    [c[1:] for c in SHORT_WRITE_CASES],
    ids=[c[0] for c in SHORT_WRITE_CASES],
)
def test_short_writes_keep_order_and_retry_without_duplicates(
    tmp_path: pathlib.Path, mode: str, steps: list, limit: int, failure: list
) -> None:
    path = tmp_path / "limited"
    path.write_bytes(b"z" * 1000 if mode == "ab" else b"")
    got, complete = json.loads(
        run_child(SHORT_WRITES, str(path), mode, str(limit), json.dumps(steps))
    )
    assert got == [*failure, True]  # the disk held a prefix of what was written, in order
    assert complete


# ---- too many open files ------------------------------------------------------------------------

# Opens objects until the descriptor limit refuses one and reopens an open object at the limit;
# then, with the limit raised again, checks that the refused object is closed and still usable.
NO_DESCRIPTORS = r"""
import json, os, resource, sys
from _larkspan_core import AsyncFile

path = sys.argv[1]
def descriptors():
    return sorted(os.listdir("/proc/self/fd"))
# One failed open while descriptors are free: the undefined-behaviour sanitizer, when loaded, checks
# an object's type through a pipe the first time, which it could not make at the limit.
try:
    AsyncFile(os.path.dirname(path), "wb").open()
except RuntimeError:
    pass
before = descriptors()
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(map(int, before)) + 4, hard))
files, refused = [], None
while refused is None and len(files) < 100:
    f = AsyncFile(path, "r+b")
    try:
        files.append(f.open())
    except RuntimeError as error:
        refused = [str(error)]
files[0].write(b"kept")
reopened = files[0].open() is files[0]  # hands "kept" out and closes before it opens again
resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
refused.append(f.seekable())
try:
    f.read()
except RuntimeError as error:
    refused.append(str(error))
refused.append(f.close())
late = f.open() is f
late_read = f.read(4).decode()
for g in [f, *files]:
    g.close()
print(json.dumps([refused, reopened, late, late_read, len(files) > 0, descriptors() == before]))
"""


def test_too_many_open_files(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "many"
    path.write_bytes(b"")
    printed = run_child(NO_DESCRIPTORS, str(path))
    refused, reopened, late, late_read, opened_some, same_descriptors = json.loads(printed)
    assert refused == [
        f"Failed to open file: {path} - Too many open files",
        False,
        "File not open",
        None,
    ]
    assert (reopened, late, late_read, opened_some, same_descriptors) == (
        True,
        True,
        "kept",
        True,
        True,
    )


# ---- the file changes under a reader ----------------------------------------------------------

SIZE = 600000  # more than two read-ahead blocks


# Numbered lines of growing length, so a misplaced or repeated piece shows. The file is SIZE bytes;
# growth appends the next ones.
CONTENT = b"".join(b"%d:" % i + b"x" * (i % 200) + b"\n" for i in range(2 * SIZE // 50))[: 2 * SIZE]


def read_into(f: AsyncFile) -> bytes:
    buffer = bytearray(70000)
    return bytes(buffer[: f.readinto(buffer)])


def append_rest(path: str) -> None:
    with open(path, "ab") as h:
        h.write(CONTENT[SIZE:])


READERS: dict[str, Callable[[AsyncFile], bytes]] = {
    "small": lambda f: f.read(4096),
    "large": lambda f: f.read(100000),
    "read1": lambda f: f.read1(),
    "whole": lambda f: f.read(),
    "readinto": read_into,
    "readline": lambda f: f.readline().encode(),
    "next": lambda f: next(f, "").encode(),
    "readlines": lambda f: "".join(f.readlines()).encode(),
}
# how the file changes after the first read, and its size afterwards
CHANGES: dict[str, tuple[Callable[[str], None], int]] = {
    "truncated-half": (lambda p: os.truncate(p, SIZE // 2), SIZE // 2),
    "truncated-empty": (lambda p: os.truncate(p, 0), 0),
    "extended": (append_rest, 2 * SIZE),
    "unlinked": (os.unlink, SIZE),
}
# Reads to the end stop at the size measured by the first of them, before the file grew.
MEASURED_ONCE = {"whole", "readlines"}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("reader", READERS)
def test_file_changed_by_another_handle_while_read(
    make_file: Callable[..., str], reader: str, change: str
) -> None:
    path = make_file(CONTENT[:SIZE])
    f = AsyncFile(path, "rb").open()
    pieces = [READERS[reader](f)]
    make_change, size_after = CHANGES[change]
    make_change(path)
    while pieces[-1] and len(pieces) < 100000:  # a bound, should the end never come
        pieces.append(READERS[reader](f))
    f.close()
    got = b"".join(pieces)
    assert CONTENT.startswith(got)  # only bytes the file held, each from its own offset
    if change.startswith("truncated"):  # stale buffered bytes may follow the new end
        assert len(got) >= max(len(pieces[0]), size_after)
    else:
        assert len(got) == (SIZE if reader in MEASURED_ONCE else size_after)


# ---- offsets beyond 4 GiB ---------------------------------------------------------------------

GIB = 2**30


@pytest.fixture
def sparse_path(tmp_path: pathlib.Path) -> str:
    probe = tmp_path / "probe"
    probe.write_bytes(b"")
    try:
        os.truncate(probe, 8 * GIB)
    except OSError as error:
        pytest.skip(f"no large files here: {error}")
    if probe.stat().st_blocks * 512 > 2**20:
        pytest.skip("the file system does not keep files sparse")
    probe.unlink()
    return str(tmp_path / "sparse")


def test_offsets_beyond_4_gib(sparse_path: str) -> None:
    big = b"q" * 131073
    with AsyncFile(sparse_path, "w+b").open() as f:
        assert (f.seek(5 * GIB), f.write(b"abc"), f.tell()) == (5 * GIB, 3, 5 * GIB + 3)  # pending
        assert (f.seek(4 * GIB - 2), f.write(b"wxyz")) == (4 * GIB - 2, 4)  # across the 4 GiB line
        f.flush()
        assert os.path.getsize(sparse_path) == 5 * GIB + 3
        assert (f.seek(4 * GIB - 3), f.read(6), f.tell()) == (
            4 * GIB - 3,
            b"\0wxyz\0",
            4 * GIB + 3,
        )  # positional
        assert (f.seek(5 * GIB - 9000), f.read(9003)) == (
            5 * GIB - 9000,
            bytes(9000) + b"abc",
        )  # stream route
        assert (f.seek(-3, 2), f.read(), f.tell()) == (
            5 * GIB,
            b"abc",
            5 * GIB + 3,
        )  # the measured size is exact
        assert (f.seek(5 * GIB), f.readline(), f.truncate(5 * GIB + 1)) == (5 * GIB, "abc", None)
        assert (os.path.getsize(sparse_path), f.tell()) == (5 * GIB + 1, 5 * GIB + 3)
        assert (f.seek(5 * GIB), f.read()) == (5 * GIB, b"a")  # truncate dropped the old size
        assert (f.seek(8 * GIB), f.write(big), f.tell()) == (
            8 * GIB,
            len(big),
            8 * GIB + len(big),
        )  # direct
        assert (f.truncate(), f.seek(0, 2)) == (None, 8 * GIB + len(big))
    with open(sparse_path, "rb") as h:
        h.seek(8 * GIB)
        assert h.read() == big


def test_seek_beyond_the_largest_file_the_system_allows(make_file: Callable[..., str]) -> None:
    far = 2**62  # more than ext4 allows, less than tmpfs does
    path = make_file(bytes(range(100)))
    with open(path, "rb") as h:
        try:
            allowed = os.lseek(h.fileno(), far, os.SEEK_SET) == far
        except OSError:
            allowed = False
    with AsyncFile(path, "rb").open() as f:
        assert f.read(60) == bytes(range(60))
        if allowed:
            assert f.seek(far) == far
            assert (f.read(10000), f.tell()) == (b"", far)
        else:
            with pytest.raises(RuntimeError) as e:
                f.seek(far)
            assert str(e.value) == "Seek failed"
            assert (f.tell(), f.read(10000)) == (60, bytes(range(60, 100)))
