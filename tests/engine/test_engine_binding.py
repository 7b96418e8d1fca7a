"""larkspan._engine.File: where each call runs, by storage, operation and state; what it raises; its
lock across threads.

With inline_only=True a call either runs at once and gives what the blocking call gives, or returns
WOULD_BLOCK having consumed nothing. Each table row runs one call on a File and on a builtin file
(open() in the same mode) over twins in the same state, and compares the results, errors included,
then what is left to read and what the files hold. A row that expects WOULD_BLOCK then makes the
call again blocking: had the first attempt consumed anything, the results would differ.

The builtin file is buffered, as open() makes it unless told, since its errors name the operation a
mode refuses as ours do; a row's end opens it unbuffered where the buffered layer cannot stand over
the stream (a pty opened for update) or refuses a seek without trying it. Designed differences:
builtin has no sync, so flush and fsync stand for it; read1() without a count asks for 256 KiB,
where builtin's buffered reader asks for its buffer's size, so the oracle is asked for as much; on a
closed object only the class of the error is builtin's, whose texts vary by layer.
"""

import errno
import fcntl
import functools
import io
import os
import shutil
import tempfile
import termios
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO, Any

import pytest
from conftest import TIMEOUT, disk, evict, fill, io_counter, outcome, run_child
from larkspan._engine import LARGE_COPY, WOULD_BLOCK, File

Opened = File | IO[Any]
Step = tuple[str, tuple[Any, ...]]  # a method and its arguments, without inline_only
Row = tuple[
    str, Any, list[Step], Step, bool
]  # mode, file size or cache state, setup, the call, runs inline

NOT_OPEN = (ValueError, "I/O operation on closed file.")
BLOCK = 0x40000  # the engine's line read-ahead block, and its write buffer
HALF = BLOCK // 2  # the largest write the buffer takes; larger ones go straight out
READ1_DEFAULT = 0x40000  # what read1() without a count asks for
UNFLAGGED = {"tell", "read_position", "restore_position", "fileno"}  # members without inline_only
SIZED = {"read", "readline", "readlines"}  # members whose size may be None


@functools.cache
def lines(size: int) -> bytes:
    """`size` bytes of numbered 8-byte lines."""
    return b"".join(b"%07d\n" % i for i in range(size // 8 + 1))[:size]


def filled(read_into: Callable[[bytearray], Any], size: int) -> Any:
    """readinto's count and the bytes it stored in a buffer of `size` bytes."""
    buffer = bytearray(size)
    count = read_into(buffer)
    return count if count is WOULD_BLOCK else (count, bytes(buffer[:count]))


def call_ours(f: File, name: str, args: tuple[Any, ...], inline_only: bool) -> Any:
    flag = () if name in UNFLAGGED else (inline_only,)
    if name == "readinto":
        return filled(lambda buffer: f.readinto(buffer, *flag), *args)
    return getattr(f, name)(*args, *flag)


def call_builtin(f: IO[Any], name: str, args: tuple[Any, ...]) -> Any:
    if name == "readinto":
        return filled(f.readinto, *args)
    if name == "sync":
        f.flush()
        return (os.fdatasync if args[0] else os.fsync)(f.fileno())
    if name == "read1" and (args[0] is None or args[0] < 0):
        args = (READ1_DEFAULT,)
    elif name in SIZED and args == (None,):
        args = (-1,)  # builtin's text and write-only files take only -1 for "no limit"
    return getattr(f, name)(*args)


def call(f: Opened, step: Step, inline_only: bool = False) -> Any:
    """The outcome of `step` on `f`. readinto's argument is a buffer size and its result includes
    the bytes read."""
    name, args = step
    if isinstance(f, File):
        return outcome(lambda: call_ours(f, name, args, inline_only))
    result = outcome(lambda: call_builtin(f, name, args))
    closed = (
        isinstance(result, tuple)
        and result[0] is ValueError
        and str(result[1]).endswith("closed file")
    )
    return NOT_OPEN if closed else result  # builtin's text for a closed file depends on the layer


def set_up(ours: File, oracle: IO[Any], setup: list[Step]) -> None:
    for step in setup:
        assert call(ours, step) == call(oracle, step)


def check_placement(ours: File, oracle: IO[Any], step: Step, inline: bool) -> None:
    """`step` runs inline, or returns WOULD_BLOCK and then runs blocking, and gives the oracle's
    result."""
    result = call(ours, step, inline_only=True)
    if inline:
        assert result is not WOULD_BLOCK
    else:
        assert result is WOULD_BLOCK
        result = call(ours, step)
    assert result == call(oracle, step)


def open_file(path: str, mode: str) -> File:
    f = File(path, mode)
    f.open()
    return f


def open_builtin(path: str, mode: str, buffering: int = -1) -> IO[Any]:
    return open(path, mode, buffering=buffering, encoding=None if "b" in mode else "utf-8")


def open_twins(directory: Path, content: bytes, mode: str) -> tuple[File, IO[Any]]:
    for name in ("ours", "oracle"):
        (directory / name).write_bytes(content)
    return open_file(str(directory / "ours"), mode), open_builtin(str(directory / "oracle"), mode)


def leftovers(f: Opened) -> tuple[Any, ...]:
    """Where a regular file's object stands, what it has left to read, and what the file holds once
    closed."""
    state = call(f, ("tell", ())), call(f, ("read", (-1,)))  # files that cannot read take no None
    call(f, ("close", ()))
    return *state, disk(f.name)


# ---- memory: everything inline but copies past LARGE_COPY ----------------------------------------

SMALL, BIG = 1000, LARGE_COPY + 1
PENDING = [("write", (b"xy",))]
LINE = [("readline", (None,))]  # leaves the rest of the read-ahead block unread
MEMORY: dict[str, Row] = {
    "read-all": ("rb", SMALL, [], ("read", (None,)), True),
    "read-all-negative": ("rb", SMALL, [], ("read", (-1,)), True),
    "read-all-bigger": ("rb", BIG, [], ("read", (None,)), False),
    "read-all-negative-bigger": ("rb", BIG, [], ("read", (-1,)), False),
    "read-all-bigger-after-pending": ("r+b", BIG + 2, PENDING, ("read", (None,)), False),
    "read-all-bigger-near-end": ("rb", BIG, [("seek", (-5, 2))], ("read", (None,)), True),
    "read-all-bigger-after-line": ("rb", BIG + 8, LINE, ("read", (None,)), False),
    "read-past-limit": ("rb", SMALL, [], ("read", (BIG,)), True),
    "read-past-limit-bigger": ("rb", BIG, [], ("read", (BIG,)), False),
    "read-at-limit-bigger": ("rb", BIG, [], ("read", (LARGE_COPY,)), True),
    "read-after-line": ("rb", SMALL, LINE, ("read", (10,)), True),
    "read1": ("rb", BIG, [], ("read1", (-1,)), True),
    "read1-negative": ("rb", BIG, [], ("read1", (-5,)), True),
    "read1-after-line": ("rb", SMALL, LINE, ("read1", (5,)), True),
    "read1-past-limit-bigger": ("rb", BIG, [], ("read1", (BIG,)), False),
    "readinto-at-limit": ("rb", SMALL, [], ("readinto", (LARGE_COPY,)), True),
    "readinto-past-limit": ("rb", SMALL, [], ("readinto", (BIG,)), False),
    "readinto-after-line": ("rb", SMALL, LINE, ("readinto", (5,)), True),
    "readline": ("r", BIG, [], ("readline", (None,)), True),
    "readline-binary": ("rb", BIG, [], ("readline", (None,)), True),
    "readline-negative": ("rb", SMALL, [], ("readline", (-1,)), True),
    "readline-limit": ("rb", SMALL, [], ("readline", (3,)), True),
    "readline-at-end": ("rb", SMALL, [("read", (None,))], ("readline", (None,)), True),
    "readlines": ("r", SMALL, [], ("readlines", (None,)), True),
    "readlines-binary-after-line": ("rb", SMALL, LINE, ("readlines", (-1,)), True),
    "readlines-bigger": ("r", BIG, [], ("readlines", (None,)), False),
    "write-after-line": ("r+b", SMALL, LINE, ("write", (b"XY",)), True),
    "write-direct": ("r+b", SMALL, PENDING, ("write", (lines(HALF + 1),)), True),
    "write-at-limit": ("r+b", SMALL, [], ("write", (lines(LARGE_COPY),)), True),
    "write-past-limit": ("r+b", SMALL, PENDING, ("write", (lines(BIG),)), False),
    "writelines": ("ab", SMALL, [], ("writelines", ([b"a\n", bytearray(b"b\n")],)), True),
    "writelines-past-limit": (
        "ab",
        SMALL,
        PENDING,
        ("writelines", ([lines(BLOCK)] * 16 + [b"x"],)),
        False,
    ),
    "seek": ("r+b", SMALL, PENDING, ("seek", (-3, 2)), True),
    "seek-from-line": ("rb", SMALL, LINE, ("seek", (3, 1)), True),
    "seek-negative": ("r+b", SMALL, PENDING, ("seek", (-1, 0)), True),
    "tell-after-line": ("rb", SMALL, LINE, ("tell", ()), True),
    "flush": ("r+b", SMALL, PENDING, ("flush", ()), True),
    "truncate": ("r+b", SMALL, PENDING, ("truncate", (None,)), True),
    "truncate-after-line": ("r+b", SMALL, LINE, ("truncate", (None,)), True),
    "truncate-grows": ("r+b", SMALL, PENDING, ("truncate", (5000,)), True),
    "truncate-negative": ("r+b", SMALL, PENDING, ("truncate", (-1,)), True),
    "isatty": ("rb", SMALL, [], ("isatty", ()), True),
    "sync": ("r+b", SMALL, PENDING, ("sync", (False,)), True),
    "close": ("r+b", SMALL, PENDING, ("close", ()), True),
}


@pytest.fixture
def shm() -> Iterator[Path]:
    if not os.path.isdir("/dev/shm"):
        pytest.skip("needs /dev/shm")
    directory = tempfile.mkdtemp(prefix="larkspan-test-", dir="/dev/shm")
    yield Path(directory)
    shutil.rmtree(directory)


@pytest.mark.parametrize(
    ("mode", "size", "setup", "step", "inline"), MEMORY.values(), ids=MEMORY.keys()
)
def test_memory(
    shm: Path, mode: str, size: int, setup: list[Step], step: Step, inline: bool
) -> None:
    ours, oracle = open_twins(shm, lines(size), mode)
    assert ours.storage == "memory"
    set_up(ours, oracle, setup)
    check_placement(ours, oracle, step, inline)
    assert leftovers(ours) == leftovers(oracle)


# ---- local disk: reads inline only from the page cache -------------------------------------------


def warm_only(path: str, start: int, end: int) -> None:
    """Leaves the pages of [start, end) alone in the page cache."""
    evict(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)  # no read-ahead past the range
        os.pread(fd, end - start, start)
    finally:
        os.close(fd)


CACHE: dict[str, Callable[[str], Any]] = {
    "cold": evict,
    "warm": lambda path: (evict(path), disk(path)),
    "warm-first-block": lambda path: warm_only(path, 0, BLOCK),
}
READS: dict[str, tuple[str, Step]] = {
    "read": ("rb", ("read", (10,))),
    "read-stream": ("rb", ("read", (9000,))),
    "read-all": ("rb", ("read", (None,))),
    "read1": ("rb", ("read1", (5,))),
    "readinto": ("rb", ("readinto", (5,))),
    "readline": ("r", ("readline", (None,))),
    "readlines": ("r", ("readlines", (None,))),
}
LOCAL_DISK: dict[str, Row] = {
    **{
        f"{name}-{cache}": (mode, cache, [], step, cache == "warm")
        for name, (mode, step) in READS.items()
        for cache in ("cold", "warm")
    },
    "read-nothing-write-only": ("wb", "warm", [], ("read", (0,)), True),  # refused before anything
    "readline-from-block-cold": ("r", "cold", LINE, ("readline", (None,)), True),
    "read-after-line-block-cold": (
        "r",
        "cold",
        LINE,
        ("read", (10,)),
        False,
    ),  # the block is given back
    "tell-after-line-cold": ("rb", "cold", LINE, ("tell", ()), True),
    "seek-from-line-cold": ("rb", "cold", LINE, ("seek", (5, 1)), True),
    # The pending writes go out first and move the read past the warm block.
    "readline-after-pending-writes": (
        "r+",
        "warm-first-block",
        [("write", ("w" * HALF,))] * 2,
        ("readline", (None,)),
        False,
    ),
    "write": ("r+b", "cold", [], ("write", (b"xy",)), True),
    "write-direct": ("r+b", "cold", PENDING, ("write", (lines(HALF + 1),)), True),
    "writelines": ("r+b", "cold", [], ("writelines", ([b"a\n", b"b\n"],)), True),
    "seek": ("r+b", "cold", PENDING, ("seek", (3, 0)), True),
    "flush": ("r+b", "cold", PENDING, ("flush", ()), True),
    "truncate": ("r+b", "cold", PENDING, ("truncate", (5,)), True),
    "isatty": ("rb", "cold", [], ("isatty", ()), True),
    "close": ("r+b", "cold", PENDING, ("close", ()), True),
    "sync": ("r+b", "cold", PENDING, ("sync", (False,)), False),
    "sync-data": ("r+b", "warm", PENDING, ("sync", (True,)), False),
}


# A read of an evicted page starts the kernel's read-ahead before it answers that it would wait, and
# a fast disk can bring the page in within that call: the read then runs inline, rightly. A row that
# expects a wait is tried again then, and must see the wait once in a few tries.
COLD_TRIES = 5


@pytest.mark.parametrize(
    ("mode", "cache", "setup", "step", "inline"), LOCAL_DISK.values(), ids=LOCAL_DISK.keys()
)
def test_local_disk(
    tmp_path: Path, mode: str, cache: str, setup: list[Step], step: Step, inline: bool
) -> None:
    for tries_left in reversed(range(1 if inline else COLD_TRIES)):
        ours, oracle = open_twins(tmp_path, lines(3 * BLOCK + 100), mode)
        if ours.storage != "local disk":
            pytest.skip(f"the temporary directory is on {ours.storage}")
        set_up(ours, oracle, setup)
        CACHE[cache](ours.name)
        result = call(ours, step, inline_only=True)
        if inline:
            assert result is not WOULD_BLOCK
        elif result is not WOULD_BLOCK and tries_left:
            ours.close()
            oracle.close()
            continue
        else:
            assert result is WOULD_BLOCK, (
                f"{step} found the evicted pages in memory in {COLD_TRIES} tries"
            )
            result = call(ours, step)
        assert result == call(oracle, step)
        assert leftovers(ours) == leftovers(oracle)
        return


PAGE = 4096
PROBES: dict[str, Callable[[File, int], Any]] = {
    "read": lambda f, offset: (f.seek(offset, 0, True), f.read(PAGE, True))[1],
    "pread": lambda f, offset: f.pread(PAGE, offset, True),
}


@pytest.mark.parametrize("probe", PROBES.values(), ids=PROBES.keys())
def test_probes_after_a_miss_start_no_read_of_storage(
    tmp_path: Path, probe: Callable[[File, int], Any]
) -> None:
    """A probe of evicted pages by preadv2(RWF_NOWAIT) starts the kernel's read of them on the
    probing thread, the event loop's, before it answers that it would wait. Once one probe has
    missed, the next ask the page cache first, and leave the read to the thread that will wait:
    those of the file, and the first of a file opened next."""
    content = os.urandom(64 * PAGE)
    path = tmp_path / "cold"
    path.write_bytes(content)
    for tries_left in reversed(range(COLD_TRIES)):
        f = open_file(str(path), "rb")
        if f.storage != "local disk":
            pytest.skip(f"the temporary directory is on {f.storage}")
        evict(f.name)
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_RANDOM)  # only the page asked for
        if probe(f, 0) is WOULD_BLOCK:
            break
        f.close(False)  # the disk brought the page in within the call; the first miss is wanted
        assert tries_left, f"no probe missed in {COLD_TRIES} tries"
    before = io_counter("read_bytes")
    probed = [probe(f, offset) for offset in range(8 * PAGE, 64 * PAGE, 8 * PAGE)]
    assert (probed, io_counter("read_bytes") - before) == ([WOULD_BLOCK] * 7, 0)
    assert probe(f, len(content)) == b""  # no page to read at the end: answered at once
    probe(f, 8 * PAGE)  # a miss again
    (tmp_path / "other").write_bytes(content)
    evict(tmp_path / "other")
    other = open_file(str(tmp_path / "other"), "rb")
    before = io_counter("read_bytes")
    assert (probe(other, 0), io_counter("read_bytes") - before) == (WOULD_BLOCK, 0)
    other.close(False)
    disk(f.name)  # into the page cache
    assert probe(f, 9 * PAGE) == content[9 * PAGE : 10 * PAGE]
    f.close(False)


# ---- pipes and terminals: only what stays in the object's own buffers runs inline ----------------


def fifo_reader(
    path: Path, opener: Callable[[str, str], Opened]
) -> tuple[Opened, Callable[[Opened], Any]]:
    """The read end of a FIFO that holds FED and then ends; the rest is what the object reads
    after."""
    os.mkfifo(path)
    keeper = os.open(path, os.O_RDWR)  # a writer is there, so opening the read end does not wait
    f = opener(str(path), "rb")
    os.write(keeper, FED)
    os.close(keeper)
    return f, lambda f: (call(f, ("read", (None,))), call(f, ("close", ())))


def fifo_writer(
    path: Path, opener: Callable[[str, str], Opened]
) -> tuple[Opened, Callable[[Opened], Any]]:
    """The write end of a FIFO with room for every row's bytes; the rest is what arrived by
    close."""
    os.mkfifo(path)
    reader = os.open(
        path, os.O_RDONLY | os.O_NONBLOCK
    )  # a reader is there, so opening the write end does not wait
    fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 1 << 20)
    return opener(str(path), "wb"), lambda f: (call(f, ("close", ())), drain(reader))


def fifo_without_reader(
    path: Path, opener: Callable[[str, str], Opened]
) -> tuple[Opened, Callable[[Opened], Any]]:
    """The write end of a FIFO whose reader has gone, so that writing fails with EPIPE; the rest is
    how close ends."""
    os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    f = opener(str(path), "wb")
    os.close(reader)
    return f, lambda f: call(f, ("close", ()))


def terminal(
    path: Path, opener: Callable[[str, str], Opened]
) -> tuple[Opened, Callable[[Opened], Any]]:
    """A pty's slave, canonical without echo or output processing, holding FED; the rest is what its
    master received by close. The 0x04 at a line's start ends the input for the reads."""
    master, slave = os.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[1] &= ~termios.OPOST
    attributes[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    f = opener(f"/proc/self/fd/{slave}", "r+b")
    os.write(master, FED + b"\x04")
    os.close(slave)
    return f, lambda f: (call(f, ("close", ())), drain(master))


def drain(fd: int) -> bytes:
    """Whatever `fd` holds now; closes it."""
    os.set_blocking(fd, False)
    chunks = []
    try:
        while chunk := os.read(fd, 1 << 16):
            chunks.append(chunk)
    except OSError:
        pass  # nothing more for now (EAGAIN), or a master whose slave is gone (EIO)
    os.close(fd)
    return b"".join(chunks)


def full_device(
    path: Path, opener: Callable[[str, str], Opened]
) -> tuple[Opened, Callable[[Opened], Any]]:
    """/dev/full, which refuses every byte with ENOSPC; the rest is how close ends."""
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    return opener("/dev/full", "wb"), lambda f: call(f, ("close", ()))


FED = b"one\ntwo\nthree\n"
Maker = Callable[[Path, Callable[[str, str], Opened]], tuple[Opened, Callable[[Opened], Any]]]
ENDS: dict[str, tuple[Maker, int]] = {  # how to make the end, and the builtin file's buffering
    "fifo-read": (fifo_reader, -1),
    "fifo-read-unbuffered": (
        fifo_reader,
        0,
    ),  # tries the seek that a buffered reader refuses untried
    "fifo-write": (fifo_writer, -1),
    "fifo-orphan": (fifo_without_reader, -1),
    "pty": (terminal, 0),  # a buffered file for update needs a stream that seeks
    "full": (full_device, -1),
}
FULL_BUFFER = [("write", (lines(HALF),))] * 2
MAY_WAIT: dict[str, tuple[str, list[Step], Step, bool]] = {  # the end, setup, the call, runs inline
    "fifo-read-all": ("fifo-read", [], ("read", (None,)), False),
    "fifo-read-small": (
        "fifo-read",
        [],
        ("read", (2,)),
        False,
    ),  # no pread on a pipe: through the stream
    "fifo-read-after-line": ("fifo-read", LINE, ("read", (6,)), False),
    "fifo-read1": ("fifo-read", [], ("read1", (2,)), False),
    "fifo-read1-after-line": ("fifo-read", LINE, ("read1", (100,)), False),
    "fifo-readinto": ("fifo-read", [], ("readinto", (2,)), False),
    "fifo-readinto-after-line": ("fifo-read", LINE, ("readinto", (6,)), False),
    "fifo-readline": ("fifo-read", [], ("readline", (None,)), False),
    "fifo-readline-buffered": ("fifo-read", LINE, ("readline", (None,)), True),
    "fifo-readline-after-block": ("fifo-read", LINE * 3, ("readline", (None,)), False),
    "fifo-readline-after-end": (
        "fifo-read",
        LINE * 4,
        ("readline", (None,)),
        False,
    ),  # asks the pipe again
    "fifo-readlines-after-line": ("fifo-read", LINE, ("readlines", (None,)), False),
    "fifo-tell": ("fifo-read", [], ("tell", ()), True),
    "fifo-seek": ("fifo-read-unbuffered", [], ("seek", (0, 1)), False),
    "fifo-truncate": (
        "fifo-read",
        [],
        ("truncate", (None,)),
        True,
    ),  # refused by the mode before anything
    "fifo-isatty": ("fifo-read", [], ("isatty", ()), False),
    "fifo-flush": ("fifo-read", [], ("flush", ()), True),
    "fifo-close": ("fifo-read", [], ("close", ()), False),
    "fifo-write": ("fifo-write", [], ("write", (b"xy",)), True),
    "fifo-write-fills-buffer": ("fifo-write", FULL_BUFFER[:1], ("write", (lines(HALF),)), True),
    "fifo-write-overflows-buffer": ("fifo-write", FULL_BUFFER, ("write", (b"x",)), False),
    "fifo-write-direct": ("fifo-write", [], ("write", (lines(HALF + 1),)), False),
    "fifo-writelines": ("fifo-write", [], ("writelines", ([b"a\n", b"b\n"],)), True),
    "fifo-writelines-overflow": (
        "fifo-write",
        PENDING,
        ("writelines", ([lines(HALF)] * 2,)),
        False,
    ),
    "fifo-write-read": (
        "fifo-write",
        PENDING,
        ("read", (1,)),
        True,
    ),  # refused by the mode before anything
    "fifo-write-tell-pending": ("fifo-write", PENDING, ("tell", ()), True),
    "fifo-write-truncate": (
        "fifo-write",
        PENDING,
        ("truncate", (None,)),
        False,
    ),  # no position to cut at
    "fifo-flush-nothing-pending": ("fifo-write", [], ("flush", ()), True),
    "fifo-flush-pending": ("fifo-write", PENDING, ("flush", ()), False),
    "fifo-close-pending": ("fifo-write", PENDING, ("close", ()), False),
    "fifo-orphan-write": ("fifo-orphan", [], ("write", (b"xy",)), True),
    "fifo-orphan-write-direct": ("fifo-orphan", [], ("write", (lines(HALF + 1),)), False),
    "fifo-orphan-flush": ("fifo-orphan", PENDING, ("flush", ()), False),
    "pty-read-all": ("pty", [], ("read", (None,)), False),
    "pty-read-small": ("pty", [], ("read", (3,)), False),
    "pty-readline": ("pty", [], ("readline", (None,)), False),
    "pty-readlines": ("pty", [], ("readlines", (None,)), False),
    "pty-write": ("pty", [], ("write", (b"xy",)), True),
    "pty-flush-pending": ("pty", PENDING, ("flush", ()), False),
    "pty-seek": ("pty", [], ("seek", (0, 1)), False),
    "pty-truncate": ("pty", PENDING, ("truncate", (None,)), False),
    "pty-isatty": ("pty", [], ("isatty", ()), False),
    "pty-close": ("pty", PENDING, ("close", ()), False),
    "full-write": ("full", [], ("write", (b"xy",)), True),
    "full-write-direct": ("full", PENDING, ("write", (lines(HALF + 1),)), False),
    "full-flush": ("full", PENDING, ("flush", ()), False),
    "full-truncate-negative": ("full", PENDING, ("truncate", (-1,)), False),
}


@pytest.mark.parametrize(("end", "setup", "step", "inline"), MAY_WAIT.values(), ids=MAY_WAIT.keys())
def test_may_wait(tmp_path: Path, end: str, setup: list[Step], step: Step, inline: bool) -> None:
    make, buffering = ENDS[end]
    ours, rest_of_ours = make(tmp_path / "ours", open_file)
    oracle, rest_of_oracle = make(
        tmp_path / "oracle", functools.partial(open_builtin, buffering=buffering)
    )
    assert ours.storage == "may wait"
    set_up(ours, oracle, setup)
    check_placement(ours, oracle, step, inline)
    assert rest_of_ours(ours) == rest_of_oracle(oracle)


def test_line_refill_is_placed_by_the_pages_it_reads(tmp_path: Path) -> None:
    """A line that runs past the read-ahead block is finished from a refill at the block's end, so
    the pages there decide whether it may run inline, not those from where the line starts."""
    page = os.sysconf("SC_PAGE_SIZE")
    started = 3 * page  # bytes of the long line in the first block
    content = b"a" * (BLOCK - started - 1) + b"\n" + b"b" * (started + page) + b"\n" + lines(BLOCK)
    ours, oracle = open_twins(tmp_path, content, "rb")
    if ours.storage != "local disk":
        pytest.skip(f"the temporary directory is on {ours.storage}")
    set_up(ours, oracle, LINE)
    warm_only(
        ours.name, BLOCK - started, 2 * BLOCK - started
    )  # a block from the line's start, not the refill's
    check_placement(ours, oracle, LINE[0], inline=False)
    assert leftovers(ours) == leftovers(oracle)


# ---- closed objects, refusals by mode, arguments -------------------------------------------------

CLOSED_CALLS: list[Step] = [
    ("read", (None,)),
    ("read", (1,)),
    ("read", (BIG,)),
    ("read1", (-1,)),
    ("readinto", (1,)),
    ("readinto", (BIG,)),
    ("readline", (None,)),
    ("readline", (0,)),
    ("readlines", (None,)),
    ("write", (b"x",)),
    ("write", (lines(BIG),)),
    ("writelines", ([b"x"],)),
    ("seek", (0, 0)),
    ("flush", ()),
    ("truncate", (None,)),
    ("truncate", (-1,)),
    ("isatty", ()),
    ("sync", (False,)),
    ("tell", ()),
    ("read_position", ()),
    ("restore_position", (0,)),
    ("fileno", ()),
]
NOT_BUILTIN = {"read_position", "restore_position"}


CLOSES = {"never-opened": 0, "closed": 1, "closed-twice": 2}


@pytest.mark.parametrize("inline_only", [True, False], ids=["inline", "blocking"])
@pytest.mark.parametrize("closes", CLOSES.values(), ids=CLOSES.keys())
def test_closed_file_refuses_all_but_close_and_queries(
    make_file: Callable[..., str], closes: int, inline_only: bool
) -> None:
    f = File(make_file(b"abc\n"), "r+b")
    if closes:
        f.open()
        f.write(b"x", True)
    assert [f.close(inline_only) for _ in range(closes)] == [None] * closes
    assert [call(f, step, inline_only) for step in CLOSED_CALLS] == [NOT_OPEN] * len(CLOSED_CALLS)
    # The queries answer from the mode where builtin's raise: the front asks them only of open
    # files.
    assert (f.closed, f.seekable(), f.writable(), f.readable()) == (True, False, True, True)
    builtin = open_builtin(make_file(b"abc\n"), "r+b")
    builtin.close()
    shared = [step for step in CLOSED_CALLS if step[0] not in NOT_BUILTIN]
    assert [call(builtin, step) for step in shared] == [NOT_OPEN] * len(shared)


# A mode's refusal comes before anything else: the pending writes stay pending, a line's read-ahead
# stays.
REFUSED: dict[str, tuple[str, Step]] = {  # mode, the call
    "read-write-only": ("wb", ("read", (-1,))),
    "read-nothing-write-only": ("wb", ("read", (0,))),
    "read-bigger-append-only": ("ab", ("read", (BIG,))),
    "read1-write-only": ("wb", ("read1", (1,))),
    "readinto-nothing-write-only": ("wb", ("readinto", (0,))),
    "readline-append-only": ("ab", ("readline", (None,))),
    "readlines-write-only": ("wb", ("readlines", (None,))),
    "write-nothing-read-only": ("rb", ("write", (b"",))),
    "write-bigger-read-only": ("rb", ("write", (lines(BIG),))),
    "writelines-read-only": ("rb", ("writelines", ([b"x"],))),
    "truncate-read-only": ("rb", ("truncate", (None,))),
    "truncate-negative-read-only": ("rb", ("truncate", (-1,))),
}


@pytest.mark.parametrize("inline_only", [True, False], ids=["inline", "blocking"])
@pytest.mark.parametrize(("mode", "step"), REFUSED.values(), ids=REFUSED.keys())
def test_mode_refuses_before_anything_happens(
    tmp_path: Path, mode: str, step: Step, inline_only: bool
) -> None:
    ours, oracle = open_twins(tmp_path, lines(SMALL), mode)
    set_up(ours, oracle, LINE if "r" in mode else PENDING)
    refusal = call(ours, step, inline_only)
    assert refusal == call(oracle, step)
    assert refusal[0] is io.UnsupportedOperation
    assert leftovers(ours) == leftovers(oracle)


NOT_READ_WRITE: dict[str, Callable[[], object]] = {
    "str": lambda: "abc",
    "int": lambda: 5,
    "none": lambda: None,
    "bytes": lambda: b"abc",
    "read-only-view": lambda: memoryview(bytearray(4)).toreadonly(),
    "strided-view": lambda: memoryview(bytearray(8))[::2],
}


@pytest.mark.parametrize("inline_only", [True, False], ids=["inline", "blocking"])
@pytest.mark.parametrize("target", NOT_READ_WRITE.values(), ids=NOT_READ_WRITE.keys())
def test_readinto_refuses_what_builtin_refuses(
    tmp_path: Path, target: Callable[[], object], inline_only: bool
) -> None:
    ours, oracle = open_twins(tmp_path, lines(SMALL), "rb")
    refusal = outcome(lambda: ours.readinto(target(), inline_only))
    assert refusal == outcome(lambda: oracle.readinto(target()))
    assert refusal[0] is TypeError
    assert leftovers(ours) == leftovers(oracle)


OPEN_MODES = ["rb", "r+b", "wb", "w+b", "ab", "a+b", "r", "r+", "w", "a+"]


@pytest.mark.parametrize("mode", OPEN_MODES)
def test_readable_and_writable_are_builtins(make_file: Callable[..., str], mode: str) -> None:
    ours, builtin = open_file(make_file(), mode), open_builtin(make_file(), mode)
    answers = (ours.readable(), ours.writable())
    assert answers == (builtin.readable(), builtin.writable())
    ours.close(False)
    builtin.close()
    assert (ours.readable(), ours.writable()) == answers


# ---- close whose flush fails ---------------------------------------------------------------------


def full_file_system(request: pytest.FixtureRequest) -> str:
    """A file on a full 1 MiB tmpfs, holding a block written before the file system filled up."""
    directory: Path = request.getfixturevalue("small_tmpfs")
    (directory / "file").write_bytes(b"b" * 65536)
    fill(directory)
    return str(directory / "file")


def full_device(request: pytest.FixtureRequest) -> str:
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    return "/dev/full"


FULL: dict[str, Callable[[pytest.FixtureRequest], str]] = {
    "tmpfs": full_file_system,
    "dev-full": full_device,
}


@pytest.mark.parametrize("where", FULL.values(), ids=FULL.keys())
def test_close_whose_flush_fails_raises_and_releases_the_descriptor(
    request: pytest.FixtureRequest, where: Callable[[pytest.FixtureRequest], str]
) -> None:
    path = where(request)
    ours, builtin = open_file(path, "ab"), open_builtin(path, "ab")
    descriptor = ours.fileno()
    for f in (ours, builtin):
        call(f, ("write", (b"pending",)))
    failures = [call(f, ("close", ())) for f in (ours, builtin)]
    assert failures[0] == failures[1] == (OSError, "[Errno 28] No space left on device")
    assert (ours.closed, call(ours, ("close", ()))) == (True, None)
    with pytest.raises(OSError) as released:
        os.fstat(descriptor)
    assert released.value.errno == errno.EBADF
    if path != "/dev/full":  # an unlinked file's blocks come back once nothing holds it
        os.unlink(path)
        directory = os.statvfs(os.path.dirname(path))
        assert directory.f_bfree * directory.f_bsize >= 65536


# ---- storage that fails: the bytes that arrived, then the failure, never an early end ------------

FAILING_CONTENT = b"line one\nline two\n"
ARRIVED = 12  # the storage fails from this byte on
EIO_FAILURE = (OSError, "[Errno 5] Input/output error")
FAILING_STEPS: dict[
    str, tuple[Step, Any]
] = {  # the call, and what it gives when the storage fails part-way
    "read-all": (("read", (None,)), FAILING_CONTENT[:ARRIVED]),
    "read-positional": (("read", (100,)), FAILING_CONTENT[:ARRIVED]),
    "read-stream": (("read", (9000,)), FAILING_CONTENT[:ARRIVED]),
    "read1": (("read1", (100,)), FAILING_CONTENT[:ARRIVED]),
    "readinto": (("readinto", (9000,)), (ARRIVED, FAILING_CONTENT[:ARRIVED])),
    "readline": (("readline", (None,)), b"line one\n"),
    "readlines": (("readlines", (None,)), [b"line one\n", b"lin"]),
}


@pytest.mark.parametrize("fail_from", [0, ARRIVED], ids=["at-once", "part-way"])
@pytest.mark.parametrize(("step", "arrived"), FAILING_STEPS.values(), ids=FAILING_STEPS.keys())
def test_failing_storage_raises_after_the_bytes_that_arrived(
    slow_fs: Callable[..., Any], step: Step, arrived: Any, fail_from: int
) -> None:
    fs = slow_fs(1.0, fail_marker="bad", fail_from=fail_from)
    (fs.backing / "bad").write_bytes(FAILING_CONTENT)
    f = open_file(str(fs.mountpoint / "bad"), "rb")
    assert [call(f, step) for _ in range(2)] == ([arrived] if fail_from else [EIO_FAILURE]) + [
        EIO_FAILURE
    ]
    if fail_from:  # a seek leaves the failure behind: reads from a place the storage serves go on
        assert (call(f, ("seek", (0, 0))), call(f, ("read", (4,)))) == (0, b"line")
    f.close(False)


# ---- files whose size is no guide: /proc and sysfs report 0 or a page, whatever they hold --------

PSEUDO_FILES = [
    "/proc/version",
    "/proc/self/cmdline",
    "/sys/kernel/mm/transparent_hugepage/enabled",
]
TO_THE_END: dict[str, Step] = {
    "read": ("read", (None,)),
    "readlines": ("readlines", (None,)),
    "readline": ("readline", (None,)),
}


@pytest.mark.parametrize("inline_only", [True, False], ids=["inline", "blocking"])
@pytest.mark.parametrize("step", TO_THE_END.values(), ids=TO_THE_END.keys())
@pytest.mark.parametrize("path", PSEUDO_FILES)
def test_files_that_report_no_size_are_read_to_their_end(
    path: str, step: Step, inline_only: bool
) -> None:
    if not os.path.exists(path):
        pytest.skip(f"needs {path}")
    ours, oracle = open_file(path, "rb"), open_builtin(path, "rb")
    got = call(ours, step, inline_only)
    if got is WOULD_BLOCK:
        got = call(ours, step)
    assert got == call(oracle, step) and len(got) > 0
    ours.close(False)
    oracle.close()


SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# Builtin's read() of an endless device grows its result until memory runs out; so must ours, within
# an address space limited to 2 GiB, and both must raise MemoryError rather than return what they
# hold.
ENDLESS = """
import resource, sys
from larkspan._engine import File
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
f = File("/dev/zero", "rb")
f.open()
for read in (lambda: f.read(None, False), lambda: open("/dev/zero", "rb").read()):
    try:
        print(len(read()))
    except MemoryError as error:
        print(type(error).__name__)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves terabytes of address space")
def test_endless_device_read_to_its_end_raises_memory_error() -> None:
    if not os.path.exists("/dev/zero"):
        pytest.skip("needs /dev/zero")
    assert run_child(ENDLESS).split() == ["MemoryError", "MemoryError"]


# ---- opening a path ------------------------------------------------------------------------------

# what stands at the path, the mode: the failure must be builtin's, class, errno, text and filename
REFUSED_PATHS: dict[str, tuple[str, str]] = {
    "missing": ("missing", "rb"),
    "missing-directory": ("missing/file", "wb"),
    "directory-for-writing": ("directory", "wb"),
    "nul-in-name": ("a\0b", "rb"),
}


@pytest.mark.parametrize(("name", "mode"), REFUSED_PATHS.values(), ids=REFUSED_PATHS.keys())
def test_open_of_a_path_fails_as_builtin(tmp_path: Path, name: str, mode: str) -> None:
    (tmp_path / "directory").mkdir()
    path = os.path.join(tmp_path, name)

    def described(open_it: Callable[[], object]) -> tuple[Any, ...]:
        with pytest.raises(Exception) as failure:
            open_it()
        error = failure.value
        return (
            type(error),
            str(error),
            getattr(error, "errno", None),
            getattr(error, "filename", None),
        )

    f = File(path, mode)
    assert described(f.open) == described(lambda: open(path, mode))
    assert f.closed


# ---- opening a descriptor ------------------------------------------------------------------------


def test_open_descriptor_starts_at_its_offset_and_owns_it(make_file: Callable[..., str]) -> None:
    path = make_file(lines(SMALL))
    ours, theirs = (os.open(path, os.O_RDONLY) for _ in range(2))
    os.lseek(ours, 5, os.SEEK_SET)
    os.lseek(theirs, 5, os.SEEK_SET)
    f, builtin = File(path, "rb"), open(theirs, "rb")
    f.open_descriptor(ours)
    assert f.fileno() == ours
    steps: list[Step] = [("tell", ()), ("readline", (None,)), ("read", (None,))]
    assert [call(f, step) for step in steps] == [call(builtin, step) for step in steps]
    f.close(False)
    builtin.close()
    with pytest.raises(OSError) as closed:
        os.fstat(ours)
    assert closed.value.errno == errno.EBADF


def closed_descriptor(path: str) -> int:
    fd = os.open(path, os.O_RDONLY)
    os.close(fd)
    return fd


DESCRIPTORS: dict[
    str, tuple[str, Callable[[str], int], int]
] = {  # mode, the descriptor, errno of the failure
    "negative": ("rb", lambda path: -1, errno.EBADF),
    "closed": ("rb", closed_descriptor, errno.EBADF),
    "read-only-for-writing": ("wb", lambda path: os.open(path, os.O_RDONLY), errno.EINVAL),
    "write-only-for-reading": ("rb", lambda path: os.open(path, os.O_WRONLY), errno.EINVAL),
}


@pytest.mark.parametrize(
    ("mode", "descriptor", "error"), DESCRIPTORS.values(), ids=DESCRIPTORS.keys()
)
def test_open_descriptor_failure_leaves_it_to_the_caller(
    make_file: Callable[..., str], mode: str, descriptor: Callable[[str], int], error: int
) -> None:
    path = make_file(b"abc\n")
    fd = descriptor(path)
    f = File(path, mode)
    with pytest.raises(OSError) as failure:
        f.open_descriptor(fd)
    assert (type(failure.value), failure.value.errno, f.closed) == (OSError, error, True)
    if error == errno.EINVAL:
        os.close(fd)  # still open: the caller's to close


# ---- lines at the end, undoing reads -------------------------------------------------------------


def grow(path: str) -> None:
    """Appends a line, to a file or through a FIFO whose reader is open."""
    writer = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK)
    os.write(writer, b"more\n")
    os.close(writer)


def lines_around_growth(f: Opened, inline_only: bool) -> list[Any]:
    """readline to the end and once more, then twice after the file has grown."""
    before = [call(f, LINE[0], inline_only) for _ in range(FED.count(b"\n") + 1)]
    grow(f.name)
    return before + [call(f, LINE[0], inline_only) for _ in range(2)]


@pytest.mark.parametrize("kind", ["memory", "fifo"])
def test_readline_at_the_end_asks_the_file_again(shm: Path, kind: str) -> None:
    if kind == "memory":
        ours, oracle = open_twins(shm, FED, "rb")
    else:
        ours, _ = fifo_reader(shm / "ours", open_file)
        oracle, _ = fifo_reader(shm / "oracle", open_builtin)
    expected = [*FED.splitlines(keepends=True), b"", b"more\n", b""]
    assert (
        lines_around_growth(ours, inline_only=kind == "memory")
        == lines_around_growth(oracle, False)
        == expected
    )
    ours.close(False)
    oracle.close()


UNDONE_READS: dict[str, Step] = {
    "readline": ("readline", (None,)),
    "read": ("read", (5,)),
    "read-stream": ("read", (9000,)),
    "read-all": ("read", (None,)),
    "read1": ("read1", (None,)),
    "readinto": ("readinto", (9000,)),
    "readlines": ("readlines", (None,)),
}


@pytest.mark.parametrize("pending", ["", "XY"], ids=["nothing-pending", "after-pending-writes"])
@pytest.mark.parametrize("step", UNDONE_READS.values(), ids=UNDONE_READS.keys())
def test_restore_position_reads_the_same_bytes_again(shm: Path, step: Step, pending: str) -> None:
    (shm / "file").write_bytes(lines(BLOCK + 20_000))
    f = open_file(str(shm / "file"), "r+")
    f.readline(
        None, False
    )  # the reads start inside the read-ahead block unless writes give it back
    if pending:
        f.write(pending, True)
    start = f.read_position()
    first = call(f, step), f.tell()
    assert f.restore_position(start) is True
    assert (call(f, step), f.tell()) == first


def test_restore_position_on_a_fifo_changes_nothing(tmp_path: Path) -> None:
    f, rest = fifo_reader(tmp_path / "fifo", open_file)
    assert f.read1(4, False) == b"one\n"
    assert (f.restore_position(f.read_position()), f.restore_position(0)) == (False, False)
    assert rest(f) == (b"two\nthree\n", None)


# ---- threads -------------------------------------------------------------------------------------


def run_threads(targets: list[Callable[[], None]]) -> None:
    threads = [threading.Thread(target=target) for target in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads)


def numbered(index: int, size: int) -> bytes:
    return (b"<%d:" % index).ljust(size - 1, b".") + b">"


@pytest.mark.threads
@pytest.mark.parametrize("size", [100, 10_000], ids=["positional-reads", "stream-reads"])
def test_threads_reading_one_file_get_every_byte_once(
    make_file: Callable[..., str], size: int
) -> None:
    records = [numbered(i, size) for i in range((2 << 20) // size)]
    f = open_file(make_file(b"".join(records)), "rb")
    chunks: list[list[bytes]] = [[] for _ in range(4)]

    def read_all(mine: list[bytes]) -> None:
        while chunk := f.read(size, False):
            mine.append(chunk)

    run_threads([functools.partial(read_all, mine) for mine in chunks])
    assert (
        sorted((c for mine in chunks for c in mine), key=lambda c: int(c[1 : c.index(b":")]))
        == records
    )


@pytest.mark.threads
def test_threads_writing_one_file_land_every_record_whole(tmp_path: Path) -> None:
    sizes = [40, 3000, HALF + 1]  # kept in the buffer, filling it, and going straight out

    def record(thread: int, index: int) -> bytes:
        return numbered(thread * 1000 + index, sizes[index % len(sizes)]) + b"\n"

    f = open_file(str(tmp_path / "records"), "wb")

    def write_records(thread: int) -> None:
        for index in range(30):
            if f.write(record(thread, index), True) is WOULD_BLOCK:
                f.write(record(thread, index), False)

    run_threads([functools.partial(write_records, thread) for thread in range(4)])
    f.close(False)
    expected = sorted(record(thread, index) for thread in range(4) for index in range(30))
    assert sorted(disk(f.name).splitlines(keepends=True)) == expected


# A File on a FIFO whose read end opened beside a writer that the script closes last. The first
# thread waits in readline(None, False) until the input ends; meanwhile the main thread opens the
# other end and writes, and in "second-call-waits" a second thread calls readline on the same object
# first.
FIFO_THREADS = """
import os, sys, threading, time
from larkspan._engine import File

def waiting_on(thread, fd):
    with open(f"/proc/self/task/{thread.native_id}/syscall") as status:
        fields = status.read().split()
    return len(fields) > 1 and fields[1] == hex(fd)

def sleeping(thread):
    with open(f"/proc/self/task/{thread.native_id}/stat") as status:
        return status.read().rsplit(")", 1)[1].split()[0] == "S"

def wait_until(condition):
    while not condition():
        time.sleep(0.001)

fifo, scenario = sys.argv[1:]
os.mkfifo(fifo)
keeper = os.open(fifo, os.O_RDWR)
f = File(fifo, "rb")
f.open()
results = {}

def readline(name):
    try:
        results[name] = f.readline(None, False)
    except Exception as error:
        results[name] = repr(error)

threads = [threading.Thread(target=readline, args=(name,)) for name in ("first", "second")]
threads[0].start()
wait_until(lambda: waiting_on(threads[0], f.fileno()))
if scenario == "second-call-waits":
    threads[1].start()
    wait_until(lambda: sleeping(threads[1]))
with open(fifo, "wb") as writer:
    writer.write(b"one\\ntwo\\n")
os.close(keeper)
for thread in threads:
    if thread.ident:
        thread.join()
print(sorted(results.items()))
"""
FIFO_THREAD_RESULTS = {
    "writer-opens": [("first", b"one\n")],
    "second-call-waits": [("first", b"one\n"), ("second", b"two\n")],
}


@pytest.mark.threads
@pytest.mark.parametrize("scenario", FIFO_THREAD_RESULTS)
def test_thread_waiting_in_readline_on_a_fifo_lets_others_run(
    tmp_path: Path, scenario: str
) -> None:
    output = run_child(FIFO_THREADS, str(tmp_path / "fifo"), scenario)
    assert output == f"{FIFO_THREAD_RESULTS[scenario]}\n"
