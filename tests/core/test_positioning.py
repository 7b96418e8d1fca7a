"""seek, tell and truncate, where they fail or touch the size cache, and the queries on a FIFO and a
terminal.

Random mixes of them with writes and reads are compared with builtin files in
test_builtin_equivalence; refused arguments are in test_bad_input, a full disk in test_faults, tell
with pending writes in test_write.
"""

import os
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest
from conftest import disk, io_counter
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile

TEN = b"0123456789"
TEN_LINES = b"".join(b"line%05d\n" % i for i in range(10))  # ten lines of 10 bytes
Call = Callable[[AsyncFile], object]


def fails_with(message: str, call: Callable[[], object]) -> None:
    with pytest.raises(RuntimeError) as e:
        call()
    assert str(e.value) == message


# moves, then the position that reads continue from
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
def test_seek_returns_position_that_reads_continue_from(
    opened: Callable[..., AsyncFile], moves: list[tuple[int, int]], expected: int
) -> None:
    f = opened(TEN, "rb")
    assert ([f.seek(*move) for move in moves][-1], f.tell(), f.read()) == (
        expected,
        expected,
        TEN[expected:],
    )
    assert (f.read(10), f.tell()) == (b"", max(expected, 10))


def test_seek_to_end_hands_pending_writes_over_first(opened: Callable[..., AsyncFile]) -> None:
    f = opened(TEN, "r+")
    assert (f.seek(0, 2), f.write(b"abc"), f.seek(0, 2), disk(f.name)) == (10, 3, 13, TEN + b"abc")


@pytest.mark.parametrize(
    ("args", "after"),
    [((), TEN), ((None,), TEN), ((2,), b"01"), ((10,), TEN), ((15,), TEN + bytes(5)), ((0,), b"")],
    ids=["position", "none", "below-position", "at-position", "beyond-end", "zero"],
)
def test_truncate_cuts_at_once_and_keeps_position(
    opened: Callable[..., AsyncFile], args: tuple[int | None, ...], after: bytes
) -> None:
    f = opened(b"", "w+b")
    f.write(TEN)
    assert (f.truncate(*args), disk(f.name), f.tell()) == (None, after, 10)
    f.write(b"!")
    f.flush()
    assert disk(f.name) == after.ljust(10, b"\0")[:10] + b"!" + after[11:]  # a gap reads as zeros


@pytest.mark.parametrize("mode", ["rb", "r+b"])
@pytest.mark.parametrize("read_first", [False, True], ids=["fresh", "after-read"])
def test_forward_seek_reads_nothing_before_its_target(
    opened: Callable[..., AsyncFile], mode: str, read_first: bool
) -> None:
    """stdio's fseek would fill its buffer from the block boundary before an unaligned target: up
    to a buffer of bytes nobody asked for, read while the caller waits on storage."""
    data = bytes(range(256)) * 1024
    f = opened(data, mode)
    if read_first:
        f.read(100)
    before = io_counter("rchar")
    assert f.seek(200_000) == 200_000
    assert io_counter("rchar") - before < 1000  # the counters file's own read
    assert (f.read(10), f.tell()) == (data[200_000:200_010], 200_010)


@pytest.mark.parametrize("mode", ["rb", "r+b"])
def test_measuring_the_size_reads_nothing(opened: Callable[..., AsyncFile], mode: str) -> None:
    """A whole-file read measures the size first; stdio's fseek to the end would read the file's
    last block (here 36,864 bytes) on the way."""
    data = bytes(range(256)) * 400
    f = opened(data, mode)
    before = io_counter("rchar")
    assert f.read() == data
    assert io_counter("rchar") - before < len(data) + 1000  # the counters file's own read


def test_a_whole_file_read_sees_what_another_writer_changed(
    opened: Callable[..., AsyncFile],
) -> None:
    """The first read fills the stream's buffer past the bytes changed; measuring the size for the
    second drops it."""
    f = opened(bytes(100_000), "rb")
    assert f.read(10_000) == bytes(10_000)
    with open(f.name, "r+b") as other:
        other.seek(20_000)
        other.write(b"new")
    assert f.read()[10_000:10_003] == b"new"


def test_seek_beyond_what_the_file_system_allows_fails_as_builtin(
    opened: Callable[..., AsyncFile],
) -> None:
    f = opened(TEN_LINES, "rb")
    with open(f.name, "rb") as builtin:
        try:
            builtin.seek(2**62)
        except OSError:
            fails_with("Seek failed", lambda: f.seek(2**62))
            assert (f.tell(), f.readline()) == (0, "line00000\n")
        else:
            assert f.seek(2**62) == 2**62


@pytest.mark.parametrize(
    "move",
    [(-1,), (0, 3), (-101, 2), (-101, 1)],
    ids=["negative", "whence-3", "before-start", "relative"],
)
def test_failed_seek_keeps_read_ahead(
    opened: Callable[..., AsyncFile], move: tuple[int, ...]
) -> None:
    f = opened(TEN_LINES, "rb")
    assert f.readline() == "line00000\n"
    fails_with("Seek failed", lambda: f.seek(*move))
    assert (f.readline(), f.tell()) == ("line00001\n", 100)


# A failed seek or truncate changes nothing on disk and keeps the size measured before it.
@pytest.mark.parametrize(
    ("mode", "failing", "message"),
    [
        pytest.param("rb", lambda f: f.seek(-1), "Seek failed", id="seek"),
        pytest.param("rb", AsyncFile.truncate, "Truncate failed", id="truncate-read-only"),
        pytest.param(
            "rb", lambda f: f.truncate(3), "Truncate failed", id="truncate-read-only-size"
        ),
        pytest.param("r+b", lambda f: f.truncate(2**63), "Truncate failed", id="truncate-huge"),
    ],
)
def test_failed_seek_or_truncate_keeps_size_cache(
    make_file: Callable[..., str], mode: str, failing: Call, message: str
) -> None:
    path = make_file(TEN)
    with AsyncFile(path, mode).open() as f:
        assert f.read() == TEN  # measures 10 bytes
        with open(path, "ab") as other:
            other.write(b"ABCDE")
        fails_with(message, lambda: failing(f))
        assert (disk(path), f.read()) == (TEN + b"ABCDE", b"")  # still the size measured before
        assert f.seek(0, 1) == 10  # a successful seek measures afresh
        assert f.read() == b"ABCDE"


def readinto_three(f: AsyncFile) -> bytes:
    buffer = bytearray(b"xyz")
    return bytes(buffer[: f.readinto(buffer)])


# Every read has met the end of the empty file (and measured its size) before truncate extends it.
@pytest.mark.parametrize(
    "reader",
    [AsyncFile.read, lambda f: f.read(8193), lambda f: f.read1(3), readinto_three],
    ids=["whole", "stream", "read1", "readinto"],
)
def test_reads_see_bytes_that_truncate_added_after_the_end(
    opened: Callable[..., AsyncFile], reader: Call
) -> None:
    f = opened(b"", "r+b")
    assert (f.read(), f.read1(), f.read(8193)) == (b"", b"", b"")
    f.truncate(3)
    assert (reader(f), f.tell()) == (bytes(3), 3)


@pytest.fixture
def fifo(tmp_path: Path) -> Iterator[AsyncFile]:
    path = tmp_path / "fifo"
    os.mkfifo(path)
    # Read-write opens of a FIFO never wait for a peer on Linux, so this cannot hang.
    f = AsyncFile(str(path), "r+b").open()
    yield f
    f.close()


def test_fifo_is_seekable_but_has_no_position(fifo: AsyncFile) -> None:
    assert (fifo.seekable(), fifo.isatty()) == (True, False)
    fails_with("Tell failed", fifo.tell)
    fails_with("Seek failed", lambda: fifo.seek(0))
    fails_with("Truncate failed", fifo.truncate)


def test_terminal() -> None:
    master, slave = os.openpty()
    try:
        with AsyncFile(os.ttyname(slave), "r+b").open() as tty:
            assert (tty.seekable(), tty.isatty()) == (True, True)
    finally:
        os.close(slave)
        os.close(master)
