"""seek, tell, flush, truncate and the queries on regular files, a FIFO, a terminal and /dev/full."""

import contextlib
import os
import re
from collections.abc import Callable, Iterator

import pytest

from _larkspan_core import AsyncFile

TEN = b"0123456789"
TEN_LINES = b"".join(b"line%05d\n" % i for i in range(10))  # ten lines of 10 bytes
CAST_FAILURE = r"Unable to cast Python instance of type <class '{}'> to C\+\+ type '[^']+'"
Call = Callable[[AsyncFile], object]


def disk(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def fails_with(message: str, call: Callable[[], object]) -> None:
    with pytest.raises(RuntimeError) as e:
        call()
    assert str(e.value) == message


SEEKS = {
    "start": ([(0, 0)], 0),
    "inside": ([(4, 0)], 4),
    "beyond-end": ([(100, 0)], 100),
    "end": ([(0, 2)], 10),
    "back-from-end": ([(-3, 2)], 7),
    "past-end": ([(5, 2)], 15),
    "relative": ([(3, 0), (2, 1)], 5),
    "relative-back": ([(3, 0), (-3, 1)], 0),
}


@pytest.mark.parametrize(("moves", "expected"), SEEKS.values(), ids=SEEKS.keys())
def test_seek_returns_position_that_reads_continue_from(opened, moves, expected):
    f = opened(TEN, "rb")
    assert [f.seek(*move) for move in moves][-1] == expected
    assert f.tell() == expected
    assert f.read() == TEN[expected:]
    assert f.read(10) == b""
    assert f.tell() == max(expected, 10)


def test_seek_to_end_hands_pending_writes_over_first(opened):
    f = opened(TEN, "r+")
    assert f.seek(0, 2) == 10
    assert f.write(b"abc") == 3
    assert f.seek(0, 2) == 13
    assert disk(f.name) == TEN + b"abc"


def test_seek_discards_read_ahead(opened):
    f = opened(b"one\ntwo\n", "r")
    assert [f.readline(), f.readline(), f.readline()] == ["one\n", "two\n", ""]
    assert f.seek(0) == 0
    assert f.readline() == "one\n"
    assert f.seek(0) == 0
    assert list(f) == ["one\n", "two\n"]


@pytest.mark.parametrize(
    "move", [(-1,), (0, 3), (-101, 2), (-101, 1)], ids=["negative", "whence-3", "before-start", "relative"]
)
def test_failed_seek_keeps_read_ahead(opened, move):
    f = opened(TEN_LINES, "rb")
    assert f.readline() == "line00000\n"
    fails_with("Seek failed", lambda: f.seek(*move))
    assert f.readline() == "line00001\n"
    assert f.tell() == 100


@pytest.mark.parametrize(
    ("failing", "message"),
    [(lambda f: f.seek(-1), "Seek failed"), (lambda f: f.truncate(3), "Truncate failed")],
    ids=["seek", "truncate-read-only"],
)
def test_failed_seek_or_truncate_keeps_size_cache(make_file, failing: Call, message):
    path = make_file(TEN)
    with AsyncFile(path, "rb").open() as f:
        assert f.read() == TEN  # measures 10 bytes
        with open(path, "ab") as other:
            other.write(b"ABCDE")
        fails_with(message, lambda: failing(f))
        assert f.read() == b""  # still the size measured before
        assert f.seek(0, 1) == 10  # a successful seek measures afresh
        assert f.read() == b"ABCDE"


@pytest.mark.parametrize(
    "args",
    [(1.5,), ("0",), (2**63,), (-(2**63) - 1,), (0, 2**31), (0, 1.0)],
    ids=["float", "str", "offset-too-big", "offset-too-small", "whence-too-big", "float-whence"],
)
def test_seek_rejects_unconvertible_arguments_and_flushes_nothing(opened, args):
    f = opened(b"", "w")
    f.write(b"abc")
    with pytest.raises(TypeError):
        f.seek(*args)
    assert f.tell() == 3
    assert disk(f.name) == b""


@pytest.mark.parametrize(
    ("sizes", "pending"),
    [([3], True), ([131072], True), ([131072, 131072], True), ([131072, 131072, 1], False), ([131073], False)],
    ids=["small", "largest-buffered", "buffer-full", "overflow", "direct"],
)
def test_tell_counts_pending_bytes_without_flushing(opened, sizes, pending):
    f = opened(b"", "wb")
    for size in sizes:
        f.write(b"x" * size)
    assert f.tell() == sum(sizes)
    if pending:
        assert disk(f.name) == b""


def test_tell_after_readline_is_end_of_read_ahead(opened):
    f = opened(TEN_LINES, "rb")
    assert f.readline() == "line00000\n"
    assert f.tell() == 100
    assert f.seek(-5, 1) == 95  # relative to the end of the block read ahead


NEEDS_STREAM: dict[str, Call] = {
    "seek": lambda f: f.seek(0),
    "tell": lambda f: f.tell(),
    "flush": lambda f: f.flush(),
    "truncate": lambda f: f.truncate(),
    "truncate-size": lambda f: f.truncate(0),
    "isatty": lambda f: f.isatty(),
}


@pytest.mark.parametrize("was_opened", [False, True], ids=["never-opened", "closed"])
@pytest.mark.parametrize("call", NEEDS_STREAM.values(), ids=NEEDS_STREAM.keys())
def test_closed_object(make_file, call: Call, was_opened):
    f = AsyncFile(make_file(TEN), "r+b")
    if was_opened:
        f.open().close()
    fails_with("File not open", lambda: call(f))
    assert (f.seekable(), f.writable()) == (False, True)
    assert disk(f.name) == TEN


@pytest.mark.parametrize(
    ("args", "after"),
    [((), TEN), ((None,), TEN), ((2,), b"01"), ((10,), TEN), ((15,), TEN + bytes(5)), ((0,), b"")],
    ids=["position", "none", "below-position", "at-position", "beyond-end", "zero"],
)
def test_truncate_cuts_at_once_and_keeps_position(opened, args, after):
    f = opened(b"", "w+b")
    f.write(TEN)
    assert f.truncate(*args) is None
    assert disk(f.name) == after
    assert f.tell() == 10
    f.write(b"!")
    f.flush()
    assert disk(f.name) == after.ljust(10, b"\0")[:10] + b"!" + after[11:]  # a gap reads as zeros


def test_truncate_invalidates_size_cache(opened):
    f = opened(TEN, "r+b")
    assert f.read() == TEN
    f.truncate(20)
    assert f.read() == bytes(10)
    f.truncate(0)
    assert f.seek(0) == 0
    assert f.read() == b""


def readinto_three(f: AsyncFile) -> bytes:
    buffer = bytearray(b"xyz")
    return bytes(buffer[: f.readinto(buffer)])


@pytest.mark.parametrize(
    "reader", [lambda f: f.read(8193), lambda f: f.read1(3), readinto_three], ids=["read", "read1", "readinto"]
)
def test_stream_reads_see_bytes_that_truncate_added_after_the_end(opened, reader: Call):
    f = opened(b"", "r+b")
    assert f.read1() == b""  # the stream meets the end of the file
    f.truncate(3)
    assert reader(f) == bytes(3)


@pytest.mark.parametrize(
    ("size", "type_name"),
    [(-1, "int"), (2**64, "int"), (1.5, "float"), ("3", "str")],
    ids=["negative", "too-big", "float", "str"],
)
def test_truncate_rejects_unconvertible_size_before_flushing(opened, size, type_name):
    f = opened(b"", "wb")
    f.write(TEN)
    with pytest.raises(RuntimeError) as e:
        f.truncate(size)
    assert re.fullmatch(CAST_FAILURE.format(type_name), str(e.value))
    assert f.tell() == 10
    assert disk(f.name) == b""


@pytest.mark.parametrize(
    ("mode", "args"), [("rb", ()), ("rb", (3,)), ("r+b", (2**63,))], ids=["read-only", "read-only-size", "huge"]
)
def test_truncate_failed(opened, mode, args):
    f = opened(TEN, mode)
    fails_with("Truncate failed", lambda: f.truncate(*args))
    assert disk(f.name) == TEN


@pytest.fixture
def fifo(tmp_path) -> Iterator[AsyncFile]:
    path = tmp_path / "fifo"
    os.mkfifo(path)
    # Read-write opens of a FIFO never wait for a peer on Linux, so this cannot hang.
    f = AsyncFile(str(path), "r+b").open()
    yield f
    f.close()


def test_fifo_is_seekable_but_has_no_position(fifo):
    assert (fifo.seekable(), fifo.isatty()) == (True, False)
    fails_with("Tell failed", fifo.tell)
    fails_with("Seek failed", lambda: fifo.seek(0))
    fails_with("Truncate failed", fifo.truncate)


def test_terminal():
    master, slave = os.openpty()
    try:
        with AsyncFile(os.ttyname(slave), "r+b").open() as tty:
            assert (tty.seekable(), tty.isatty()) == (True, True)
    finally:
        os.close(slave)
        os.close(master)


def test_regular_file_queries_follow_open_state(make_file):
    f = AsyncFile(make_file(TEN), "rb")
    assert f.seekable() is False
    assert (f.open().seekable(), f.isatty()) == (True, False)
    f.close()
    assert f.seekable() is False


@pytest.mark.parametrize("mode", ["r", "rb", "br", "r+", "r+b", "+r", "w", "wb", "w+", "w+b", "a", "ab", "a+b"])
def test_writable_answers_by_mode_alone(make_file, mode):
    expected = mode not in ("r", "rb", "br")
    f = AsyncFile(make_file(TEN), mode)
    assert f.writable() is expected
    assert f.open().writable() is expected
    f.close()
    assert f.writable() is expected


@pytest.mark.parametrize(
    "sizes", [[3], [131072, 131072], [131073], [5, 300000]], ids=["small", "buffer-full", "direct", "mixed"]
)
def test_flush_makes_pending_bytes_visible(opened, sizes):
    f = opened(b"", "wb")
    data = [bytes([i]) * size for i, size in enumerate(sizes, 1)]
    for chunk in data:
        f.write(chunk)
    assert f.flush() is None
    assert disk(f.name) == b"".join(data)


@pytest.fixture
def dev_full() -> Iterator[AsyncFile]:
    f = AsyncFile("/dev/full", "wb").open()
    yield f
    with contextlib.suppress(RuntimeError):
        f.close()  # fails while the refused bytes are pending; destruction drops them


@pytest.mark.parametrize("size", [100, 131072], ids=["small", "largest-buffered"])
@pytest.mark.parametrize("name", ["flush", "truncate", "seek"])
def test_full_disk_keeps_pending_bytes(dev_full, size, name):
    dev_full.write(b"x" * size)
    fails_with("Failed to flush write buffer", lambda: NEEDS_STREAM[name](dev_full))
    assert dev_full.tell() == size  # nothing was taken, so all of it is still pending
    fails_with("Failed to flush write buffer", dev_full.flush)
