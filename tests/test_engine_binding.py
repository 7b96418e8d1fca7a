"""larkspan._engine.File: where each call runs, by storage, operation and state; its lock across threads.

With inline_only=True a call either runs at once and gives what the blocking call gives, or returns
WOULD_BLOCK having consumed nothing. Each table row runs one call on a File and on _larkspan_core.AsyncFile
(the same engine, always blocking) over twins in the same state, and compares the results, then what is
left to read and what the files hold. A row that expects WOULD_BLOCK then makes the call again blocking:
had the first attempt consumed anything, the results would differ.
"""

import faulthandler
import fcntl
import functools
import os
import shutil
import tempfile
import termios
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from _larkspan_core import AsyncFile
from conftest import TIMEOUT, disk, run_child
from larkspan._engine import LARGE_COPY, WOULD_BLOCK, File

Opened = File | AsyncFile
Step = tuple[str, tuple[Any, ...]]  # a method and its arguments, without inline_only
Row = tuple[str, Any, list[Step], Step, bool]  # mode, file size or cache state, setup, the call, runs inline

NOT_OPEN = (RuntimeError, "File not open")
BLOCK = 0x40000  # the engine's line read-ahead block, and its write buffer
HALF = BLOCK // 2  # the largest write the buffer takes; larger ones go straight out
UNFLAGGED = {"tell", "read_position", "restore_position", "fileno"}  # members without inline_only


@functools.cache
def lines(size: int) -> bytes:
    """`size` bytes of numbered 8-byte lines."""
    return b"".join(b"%07d\n" % i for i in range(size // 8 + 1))[:size]


def call(f: Opened, step: Step, inline_only: bool = False) -> Any:
    """The result of `step` on `f`, or its error's class and text. readinto's argument is a buffer size
    and its result includes the bytes read. The old binding has no sync; on a regular file flush leaves
    the same bytes."""
    name, args = step
    flag = (inline_only,) if isinstance(f, File) and name not in UNFLAGGED else ()
    if isinstance(f, AsyncFile) and name == "sync":
        name, args = "flush", ()
    try:
        if name == "readinto":
            buffer = bytearray(args[0])
            count = f.readinto(buffer, *flag)
            return count if count is WOULD_BLOCK else (count, bytes(buffer[:count]))
        return getattr(f, name)(*args, *flag)
    except Exception as error:
        return type(error), str(error)


def set_up(ours: File, oracle: AsyncFile, setup: list[Step]) -> None:
    for step in setup:
        assert call(ours, step) == call(oracle, step)


def check_placement(ours: File, oracle: AsyncFile, step: Step, inline: bool) -> None:
    """`step` runs inline, or returns WOULD_BLOCK and then runs blocking, and gives the oracle's result."""
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


def open_twins(directory: Path, content: bytes, mode: str) -> tuple[File, AsyncFile]:
    for name in ("ours", "oracle"):
        (directory / name).write_bytes(content)
    return open_file(str(directory / "ours"), mode), AsyncFile(str(directory / "oracle"), mode).open()


def leftovers(f: Opened) -> tuple[Any, ...]:
    """Where a regular file's object stands, what it has left to read, and what the file holds once closed."""
    state = call(f, ("tell", ())), call(f, ("read", (None,)))
    call(f, ("close", ()))
    return *state, disk(f.name)


# ---- memory: everything inline but copies past LARGE_COPY -------------------------------------------

SMALL, BIG = 1000, LARGE_COPY + 1
PENDING = [("write", (b"xy",))]
MEMORY: dict[str, Row] = {
    "read-all": ("rb", SMALL, [], ("read", (None,)), True),
    "read-all-bigger": ("rb", BIG, [], ("read", (None,)), False),
    "read-all-bigger-after-pending": ("r+b", BIG + 2, PENDING, ("read", (None,)), False),
    "read-all-bigger-near-end": ("rb", BIG, [("seek", (-5, 2))], ("read", (None,)), True),
    "read-past-limit": ("rb", SMALL, [], ("read", (BIG,)), True),
    "read-past-limit-bigger": ("rb", BIG, [], ("read", (BIG,)), False),
    "read-at-limit-bigger": ("rb", BIG, [], ("read", (LARGE_COPY,)), True),
    "read1": ("rb", BIG, [], ("read1", (None,)), True),
    "read1-past-limit-bigger": ("rb", BIG, [], ("read1", (BIG,)), False),
    "readinto-at-limit": ("rb", SMALL, [], ("readinto", (LARGE_COPY,)), True),
    "readinto-past-limit": ("rb", SMALL, [], ("readinto", (BIG,)), False),
    "readline": ("r", BIG, [], ("readline", (None,)), True),
    "readlines": ("r", SMALL, [], ("readlines", (None,)), True),
    "readlines-bigger": ("r", BIG, [], ("readlines", (None,)), False),
    "write-direct": ("r+b", SMALL, PENDING, ("write", (lines(HALF + 1),)), True),
    "write-at-limit": ("r+b", SMALL, [], ("write", (lines(LARGE_COPY),)), True),
    "write-past-limit": ("r+b", SMALL, PENDING, ("write", (lines(BIG),)), False),
    "writelines": ("ab", SMALL, [], ("writelines", ([b"a\n", "b\n"],)), True),
    "writelines-past-limit": ("ab", SMALL, PENDING, ("writelines", ([lines(BLOCK)] * 16 + [b"x"],)), False),
    "seek": ("r+b", SMALL, PENDING, ("seek", (-3, 2)), True),
    "flush": ("r+b", SMALL, PENDING, ("flush", ()), True),
    "truncate": ("r+b", SMALL, PENDING, ("truncate", (None,)), True),
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


@pytest.mark.parametrize(("mode", "size", "setup", "step", "inline"), MEMORY.values(), ids=MEMORY.keys())
def test_memory(shm: Path, mode: str, size: int, setup: list[Step], step: Step, inline: bool) -> None:
    ours, oracle = open_twins(shm, lines(size), mode)
    assert ours.storage == "memory"
    set_up(ours, oracle, setup)
    check_placement(ours, oracle, step, inline)
    assert leftovers(ours) == leftovers(oracle)


# ---- local disk: reads inline only from the page cache ------------------------------------------------


def evict(path: str) -> None:
    """Writes the file's dirty pages out and drops them all from the page cache."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def warm_first_block(path: str) -> None:
    evict(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)  # no read-ahead past the block
        os.pread(fd, BLOCK, 0)
    finally:
        os.close(fd)


CACHE: dict[str, Callable[[str], Any]] = {
    "cold": evict,
    "warm": lambda path: (evict(path), disk(path)),
    "warm-first-block": warm_first_block,
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
    **{f"{name}-{cache}": (mode, cache, [], step, cache == "warm") for name, (mode, step) in READS.items()
       for cache in ("cold", "warm")},
    "read-nothing-write-only": ("wb", "warm", [], ("read", (0,)), False),  # the blocking read fails
    "readline-from-block-cold": ("r", "cold", [("readline", (None,))], ("readline", (None,)), True),
    "read-after-line-block-cold": ("r", "cold", [("readline", (None,))], ("read", (10,)), False),
    # The pending writes go out first and move the read past the warm block.
    "readline-after-pending-writes": ("r+", "warm-first-block", [("write", ("w" * HALF,))] * 2,
                                      ("readline", (None,)), False),
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
}  # fmt: skip


@pytest.mark.parametrize(("mode", "cache", "setup", "step", "inline"), LOCAL_DISK.values(), ids=LOCAL_DISK.keys())
def test_local_disk(tmp_path: Path, mode: str, cache: str, setup: list[Step], step: Step, inline: bool) -> None:
    ours, oracle = open_twins(tmp_path, lines(3 * BLOCK + 100), mode)
    if ours.storage != "local disk":
        pytest.skip(f"the temporary directory is on {ours.storage}")
    set_up(ours, oracle, setup)
    CACHE[cache](ours.name)
    check_placement(ours, oracle, step, inline)
    assert leftovers(ours) == leftovers(oracle)


# ---- pipes and terminals: only what stays in the object's own buffers runs inline -----------------------


@pytest.fixture
def watchdog() -> Iterator[None]:
    """Ends the run with every thread's traceback should a call wait for ever."""
    faulthandler.dump_traceback_later(TIMEOUT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def fifo_reader(path: Path, opener: Callable[[str, str], Opened]) -> tuple[Opened, Callable[[Opened], Any]]:
    """The read end of a FIFO that holds FED and then ends; the rest is what the object reads after."""
    os.mkfifo(path)
    keeper = os.open(path, os.O_RDWR)  # a writer is there, so opening the read end does not wait
    f = opener(str(path), "rb")
    os.write(keeper, FED)
    os.close(keeper)
    return f, lambda f: (call(f, ("read", (None,))), call(f, ("close", ())))


def fifo_writer(path: Path, opener: Callable[[str, str], Opened]) -> tuple[Opened, Callable[[Opened], Any]]:
    """The write end of a FIFO with room for every row's bytes; the rest is what arrived by close."""
    os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # a reader is there, so opening the write end does not wait
    fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 1 << 20)
    return opener(str(path), "wb"), lambda f: (call(f, ("close", ())), drain(reader))


def terminal(path: Path, opener: Callable[[str, str], Opened]) -> tuple[Opened, Callable[[Opened], Any]]:
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


FED = b"one\ntwo\nthree\n"
ENDS = {"fifo-read": fifo_reader, "fifo-write": fifo_writer, "pty": terminal}
FULL_BUFFER = [("write", (lines(HALF),))] * 2
MAY_WAIT: dict[str, tuple[str, list[Step], Step, bool]] = {  # the end, setup, the call, runs inline
    "fifo-read-all": ("fifo-read", [], ("read", (None,)), False),
    "fifo-read1": ("fifo-read", [], ("read1", (2,)), False),
    "fifo-readinto": ("fifo-read", [], ("readinto", (2,)), False),
    "fifo-readline": ("fifo-read", [], ("readline", (None,)), False),
    "fifo-readline-buffered": ("fifo-read", [("readline", (None,))], ("readline", (None,)), True),
    "fifo-readline-after-block": ("fifo-read", [("readline", (None,))] * 3, ("readline", (None,)), False),
    "fifo-readline-after-end": ("fifo-read", [("readline", (None,))] * 4, ("readline", (None,)), True),
    "fifo-seek": ("fifo-read", [], ("seek", (0, 1)), False),
    "fifo-truncate": ("fifo-read", [], ("truncate", (None,)), False),
    "fifo-isatty": ("fifo-read", [], ("isatty", ()), False),
    "fifo-flush": ("fifo-read", [], ("flush", ()), True),
    "fifo-close": ("fifo-read", [], ("close", ()), False),
    "fifo-write": ("fifo-write", [], ("write", (b"xy",)), True),
    "fifo-write-fills-buffer": ("fifo-write", FULL_BUFFER[:1], ("write", (lines(HALF),)), True),
    "fifo-write-overflows-buffer": ("fifo-write", FULL_BUFFER, ("write", (b"x",)), False),
    "fifo-write-direct": ("fifo-write", [], ("write", (lines(HALF + 1),)), False),
    "fifo-writelines": ("fifo-write", [], ("writelines", ([b"a\n", b"b\n"],)), True),
    "fifo-writelines-overflow": ("fifo-write", PENDING, ("writelines", ([lines(HALF)] * 2,)), False),
    "fifo-flush-nothing-pending": ("fifo-write", [], ("flush", ()), True),
    "fifo-flush-pending": ("fifo-write", PENDING, ("flush", ()), False),
    "fifo-close-pending": ("fifo-write", PENDING, ("close", ()), False),
    "pty-read-all": ("pty", [], ("read", (None,)), False),
    "pty-readline": ("pty", [], ("readline", (None,)), False),
    "pty-readlines": ("pty", [], ("readlines", (None,)), False),
    "pty-write": ("pty", [], ("write", (b"xy",)), True),
    "pty-flush-pending": ("pty", PENDING, ("flush", ()), False),
    "pty-isatty": ("pty", [], ("isatty", ()), False),
    "pty-close": ("pty", PENDING, ("close", ()), False),
}


@pytest.mark.usefixtures("watchdog")
@pytest.mark.parametrize(("end", "setup", "step", "inline"), MAY_WAIT.values(), ids=MAY_WAIT.keys())
def test_may_wait(tmp_path: Path, end: str, setup: list[Step], step: Step, inline: bool) -> None:
    ours, rest_of_ours = ENDS[end](tmp_path / "ours", open_file)
    oracle, rest_of_oracle = ENDS[end](tmp_path / "oracle", lambda path, mode: AsyncFile(path, mode).open())
    assert ours.storage == "may wait"
    set_up(ours, oracle, setup)
    check_placement(ours, oracle, step, inline)
    assert rest_of_ours(ours) == rest_of_oracle(oracle)


# ---- closed objects and undoing reads ---------------------------------------------------------------

CLOSED_CALLS: list[Step] = [
    ("read", (None,)), ("read", (1,)), ("read", (BIG,)), ("read1", (None,)), ("readinto", (1,)),
    ("readinto", (BIG,)), ("readline", (None,)), ("readline", (0,)), ("readlines", (None,)), ("write", (b"x",)),
    ("write", (lines(BIG),)), ("writelines", ([b"x"],)), ("seek", (0, 0)), ("flush", ()), ("truncate", (None,)),
    ("isatty", ()), ("sync", (False,)), ("tell", ()), ("read_position", ()), ("restore_position", (0,)),
    ("fileno", ()),
]  # fmt: skip


CLOSES = {"never-opened": 0, "closed": 1, "closed-twice": 2}


@pytest.mark.parametrize("inline_only", [True, False], ids=["inline", "blocking"])
@pytest.mark.parametrize("closes", CLOSES.values(), ids=CLOSES.keys())
def test_closed_file_refuses_all_but_close_and_queries(make_file: Callable[..., str], closes: int,
                                                      inline_only: bool) -> None:  # fmt: skip
    f = File(make_file(b"abc\n"), "r+b")
    if closes:
        f.open()
        f.write(b"x", True)
    assert [f.close(inline_only) for _ in range(closes)] == [None] * closes
    assert [call(f, step, inline_only) for step in CLOSED_CALLS] == [NOT_OPEN] * len(CLOSED_CALLS)
    assert (f.closed, f.seekable(), f.writable()) == (True, False, True)


UNDONE_READS: dict[str, Step] = {
    "read": ("read", (5,)),
    "read-stream": ("read", (9000,)),
    "read-all": ("read", (None,)),
    "read1": ("read1", (None,)),
    "readinto": ("readinto", (9000,)),
    "readlines": ("readlines", (None,)),
}


@pytest.mark.parametrize("pending", [b"", b"XY"], ids=["nothing-pending", "after-pending-writes"])
@pytest.mark.parametrize("step", UNDONE_READS.values(), ids=UNDONE_READS.keys())
def test_restore_position_reads_the_same_bytes_again(shm: Path, step: Step, pending: bytes) -> None:
    (shm / "file").write_bytes(lines(BLOCK + 20_000))
    f = open_file(str(shm / "file"), "r+")
    f.readline(None, False)  # the read-ahead block stays as it is
    f.write(pending, True)
    start = f.read_position()
    first = call(f, step), f.tell()
    assert f.restore_position(start) is True
    assert (call(f, step), f.tell()) == first


@pytest.mark.usefixtures("watchdog")
def test_restore_position_on_a_fifo_changes_nothing(tmp_path: Path) -> None:
    f, rest = fifo_reader(tmp_path / "fifo", open_file)
    assert f.read1(4, False) == b"one\n"
    assert (f.restore_position(f.read_position()), f.restore_position(0)) == (False, False)
    assert rest(f) == (b"two\nthree\n", None)


# ---- threads ----------------------------------------------------------------------------------------


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
@pytest.mark.usefixtures("watchdog")
@pytest.mark.parametrize("size", [100, 10_000], ids=["positional-reads", "stream-reads"])
def test_threads_reading_one_file_get_every_byte_once(make_file: Callable[..., str], size: int) -> None:
    records = [numbered(i, size) for i in range((2 << 20) // size)]
    f = open_file(make_file(b"".join(records)), "rb")
    chunks: list[list[bytes]] = [[] for _ in range(4)]

    def read_all(mine: list[bytes]) -> None:
        while chunk := f.read(size, False):
            mine.append(chunk)

    run_threads([functools.partial(read_all, mine) for mine in chunks])
    assert sorted((c for mine in chunks for c in mine), key=lambda c: int(c[1 : c.index(b":")])) == records


@pytest.mark.threads
@pytest.mark.usefixtures("watchdog")
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


# A File on a FIFO whose read end opened beside a writer that the script closes last. The first thread
# waits in readline(None, False) until the input ends; meanwhile the main thread opens the other end and
# writes, and in "second-call-waits" a second thread calls readline on the same object first.
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
    "writer-opens": [("first", "one\n")],
    "second-call-waits": [("first", "one\n"), ("second", "two\n")],
}


@pytest.mark.threads
@pytest.mark.parametrize("scenario", FIFO_THREAD_RESULTS)
def test_thread_waiting_in_readline_on_a_fifo_lets_others_run(tmp_path: Path, scenario: str) -> None:
    output = run_child(FIFO_THREADS, str(tmp_path / "fifo"), scenario)
    assert output == f"{FIFO_THREAD_RESULTS[scenario]}\n"
