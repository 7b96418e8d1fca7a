"""Reading by route: small positional (<= 8192), large stream, whole file, read1 and readinto.

Sequences run side by side on builtin open() in the same binary mode. Builtin read1 stops at its buffer's
edge and builtin files have no readall, so there the oracle reads the full count. Reads after readline, sizes
measured before another writer appends, FIFOs and text decoding differ on purpose and are pinned directly.
"""

import array
import os
import pickle
import random
import resource
import subprocess
import sys
import tracemalloc
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from _larkspan_core import AsyncFile

MIB = 2**20
DATA = random.Random(2024).randbytes(MIB + 4)  # not periodic, so a read at a wrong offset shows
BIG = random.Random(2025).randbytes(9 * MIB + 5)  # large counted reads grow their result past 4 and 8 MiB
TEN = b"0123456789"
LARGEST_BYTES = sys.maxsize - sys.getsizeof(b"")  # the longest bytes object CPython can make
READ1_DEFAULT = 262144
Op = tuple[Any, ...]
Opener = Callable[..., AsyncFile]
Maker = Callable[..., str]


def disk(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def readinto_bytes(f: AsyncFile, size: int) -> bytes:
    buffer = bytearray(size)
    return bytes(buffer[: f.readinto(buffer)])


CALLS: dict[str, Callable[[AsyncFile], Any]] = {
    "read(0)": lambda f: f.read(0),
    "read(3)": lambda f: f.read(3),
    "read(8192)": lambda f: f.read(8192),
    "read(8193)": lambda f: f.read(8193),
    "read()": lambda f: f.read(),
    "read(None)": lambda f: f.read(None),
    "readall()": lambda f: f.readall(),
    "read1()": lambda f: f.read1(),
    "read1(3)": lambda f: f.read1(3),
    "readinto(8)": lambda f: readinto_bytes(f, 8),
    "readinto(empty)": lambda f: readinto_bytes(f, 0),
}


def calls(*names: str, expected: tuple[Any, ...] | None = None) -> list[Any]:
    """Parameters of CALLS entries by name, each with its expected result when given."""
    if expected is None:
        return [pytest.param(CALLS[name], id=name) for name in names]
    return [pytest.param(CALLS[name], want, id=name) for name, want in zip(names, expected, strict=True)]


def apply(f: Any, op: Op, path: str) -> object:
    name, *args = op
    if name == "disk":
        return disk(path)
    if name == "readinto":
        buffer = bytearray(b"#" * args[0])
        return f.readinto(buffer), bytes(buffer)
    if not isinstance(f, AsyncFile) and name in ("read1", "readall"):
        return f.read(*(args or [READ1_DEFAULT if name == "read1" else None]))
    return getattr(f, name)(*args)


ROUTES: list[Op] = [("read", 3), ("read", 8193), ("read",), ("readall",), ("read1",), ("read1", 3), ("readinto", 3)]
SEQUENCES = [
    pytest.param(DATA, "rb", [("read", 0), ("tell",), ("read", 1), ("read", 8192), ("read", 3), ("tell",)],
                 id="small-reads-reuse-scratch"),
    pytest.param(DATA, "rb", [("read", 8192), ("read", 8193), ("read", 8192), ("read", 8193), ("tell",)],
                 id="8192-8193-alternating"),
    pytest.param(DATA, "rb", [("read", 8193), ("read", 100), ("read", 70000), ("read", 5), ("tell",)],
                 id="positional-inside-stdio-read-ahead"),
    pytest.param(DATA, "rb", [("read", 10), ("read", 65536), ("read", 65537), ("read", 65535), ("tell",)],
                 id="spanning-64k-stdio-buffer"),
    pytest.param(DATA, "rb", [("read", 131072), ("read", 131073), ("read1", 262144), ("read", 262145), ("tell",)],
                 id="131072-262144"),
    pytest.param(DATA, "rb", [("read", 524288), ("read", 524289), ("read", 10), ("read", 8193), ("tell",)],
                 id="524288-524289-past-end"),
    pytest.param(BIG, "rb", [("read", 6 * MIB + 1), ("read", 8 * MIB), ("tell",), ("seek", 0), ("read1", 10 * MIB),
                             ("seek", 5), ("readinto", 9 * MIB), ("seek", 7), ("read",)], id="results-beyond-4-mib"),
    pytest.param(DATA, "rb", [("read1", 10), ("read1",), ("tell",), *[("read1",)] * 4, ("read1", 0), ("tell",)],
                 id="read1-default-to-end"),
    pytest.param(DATA, "rb", [("read", 30), ("read",), ("read",), ("readall",), ("read", None), ("tell",)],
                 id="whole-after-partial"),
    pytest.param(DATA, "rb", [("seek", MIB + 150), ("read",), ("read", 10), ("tell",), ("read", 9000), ("read1",),
                              ("readinto", 4), ("tell",)], id="past-end"),
    pytest.param(DATA, "rb", [("readinto", 10), ("readinto", 8193), ("read", 3), ("readinto", 70000),
                              ("seek", -2, 2), ("readinto", 6)], id="readinto-partial-keeps-tail"),
    pytest.param(b"", "rb", [("read",), ("readall",), ("read", 10), ("read", 9000), ("read1",), ("readinto", 4)],
                 id="empty-file"),
    pytest.param(TEN, "r+b", [("read",), ("write", b"xyz"), ("read",), ("tell",), ("seek", 0), ("read",), ("disk",)],
                 id="r+b-read-write-read"),
    pytest.param(TEN, "r+b", [("read", 4), ("write", b"##"), ("read", 2), ("read",), ("seek", 0), ("readall",)],
                 id="r+b-positional-write-whole"),
    pytest.param(TEN, "r+b", [("read1", 2), ("write", b"XY"), ("read", 2), ("read1",), ("tell",)],
                 id="r+b-stream-write-positional"),
    pytest.param(DATA, "r+b", [("write", DATA[70000::-1]), ("read", 8193), ("read", 3), ("disk",), ("seek", 0),
                               ("read",)], id="r+b-write-past-stdio-buffer"),
    pytest.param(b"", "w+b", [("write", b"hello"), ("read", 3), ("read",), ("seek", 0), ("read",), ("write", b"!"),
                              ("readinto", 3), ("disk",)], id="w+b"),
    *[pytest.param(TEN, "r+b", [("write", b"AB"), ("disk",), route, ("disk",), ("tell",)],
                   id=f"r+b-write-then-{route[0]}{list(route[1:])}") for route in ROUTES],
]


@pytest.mark.parametrize(("content", "mode", "ops"), SEQUENCES)
def test_sequence_matches_builtin_open(make_file: Maker, content: bytes, mode: str, ops: list[Op]) -> None:
    ours_path, theirs_path = make_file(content), make_file(content)
    with AsyncFile(ours_path, mode).open() as ours, open(theirs_path, mode) as theirs:
        for op in ops:
            assert apply(ours, op, ours_path) == apply(theirs, op, theirs_path), op
    assert disk(ours_path) == disk(theirs_path)


# ---- counts -----------------------------------------------------------------------------------------------------


class Three:
    def __index__(self) -> int:
        return 3


def test_none_is_absent_and_index_objects_count(opened: Opener) -> None:
    f = opened(DATA)
    assert (f.read1(Three()), f.read(Three())) == (DATA[:3], DATA[3:6])
    assert f.read1(None) == DATA[6 : 6 + READ1_DEFAULT]
    assert f.read(None) == DATA[6 + READ1_DEFAULT :]


@pytest.mark.parametrize("method", ["read", "read1"])
@pytest.mark.parametrize("count", [-1, 1.5, "3", 2**64], ids=["negative", "float", "str", "above-u64"])
def test_unconvertible_count_fails_before_pending_writes_go_out(make_file: Maker, method: str, count: object) -> None:
    path = make_file(TEN)
    with AsyncFile(path, "r+b").open() as f:
        f.write(b"AB")
        with pytest.raises(RuntimeError) as e:
            getattr(f, method)(count)
        assert str(e.value).startswith(f"Unable to cast Python instance of type {type(count)} to C++ type '")
        assert (disk(path), f.tell()) == (TEN, 2)
    assert disk(path) == b"AB23456789"


def test_huge_count_costs_only_what_arrives(opened: Opener) -> None:
    f = opened(TEN)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    tracemalloc.start()
    try:
        assert f.read(8 * 2**30) == TEN
        f.seek(0)
        assert f.read1(8 * 2**30) == TEN
        f.seek(0)
        assert f.read(LARGEST_BYTES) == TEN
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64 * MIB
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before < 256 * 1024  # KiB


@pytest.mark.parametrize("method", ["read", "read1"])
@pytest.mark.parametrize("count", [LARGEST_BYTES + 1, 2**63], ids=["largest-bytes+1", "2**63"])
def test_count_above_largest_bytes_raises_value_error(opened: Opener, method: str, count: int) -> None:
    f = opened(TEN)
    f.read(2)
    with pytest.raises(ValueError) as e:
        getattr(f, method)(count)
    assert str(e.value) == "read length exceeds the largest possible result"
    assert f.tell() == 2


# ---- whole file and the size cache ------------------------------------------------------------------------------

AFTER_APPEND = ("read()", "read(None)", "readall()", "read(3)", "read(8193)", "read1()", "readinto(8)")


@pytest.mark.parametrize(("call", "expected"), calls(*AFTER_APPEND, expected=(b"",) * 3 + (b"def",) * 4))
def test_bytes_appended_after_measurement(make_file: Maker, call: Callable, expected: bytes) -> None:
    path = make_file(b"abc")
    with AsyncFile(path, "rb").open() as f:
        assert f.read() == b"abc"
        with open(path, "ab") as other:
            other.write(b"def")
        assert call(f) == expected
        assert f.seek(0) == 0
        assert f.read() == b"abcdef"


def test_size_measured_at_first_whole_read_and_after_reopen(make_file: Maker) -> None:
    path = make_file(b"abc")
    f = AsyncFile(path, "rb").open()
    with open(path, "ab") as other:
        other.write(b"de")
    assert (f.read(1), f.read()) == (b"a", b"bcde")
    with open(path, "ab") as other:
        other.write(b"fg")
    assert f.read() == b""
    f.close()
    assert f.open().read() == b"abcdefg"
    f.close()


# ---- text mode --------------------------------------------------------------------------------------------------

TEXT = "hé€😀\n"  # 1 + 2 + 3 + 4 + 1 bytes
TEXT_CALLS = ("read(0)", "read(3)", "read(8193)", "read()", "readall()", "read1()", "read1(3)")


@pytest.mark.parametrize(("call", "expected"), calls(*TEXT_CALLS, expected=("", "hé", TEXT, TEXT, TEXT, TEXT, "hé")))
def test_text_mode_returns_str_counted_in_bytes(opened: Opener, call: Callable, expected: str) -> None:
    result = call(opened(TEXT.encode(), "r"))
    assert (type(result), result) == (str, expected)


@pytest.mark.parametrize(("content", "call", "position"), [
    pytest.param(b"a" * 8191 + b"\xc3\xa9", CALLS["read(8192)"], 8192, id="small-cut"),
    pytest.param(b"a" * 8192 + b"\xc3\xa9", CALLS["read(8193)"], 8193, id="stream-cut"),
    pytest.param(b"ab\xc3", CALLS["read1(3)"], 3, id="read1-cut"),
    pytest.param(b"ab\xc3", CALLS["read()"], 3, id="whole-file-cut"),
    pytest.param(b"ab\xff", CALLS["readall()"], 3, id="readall-invalid-byte"),
])
def test_text_decode_failure_consumes_the_bytes(opened: Opener, content: bytes, call: Callable, position: int) -> None:
    f = opened(content, "r")
    with pytest.raises(UnicodeDecodeError):
        call(f)
    assert f.tell() == position


def test_cut_character_then_whole_read_after_seek(opened: Opener) -> None:
    f = opened("é".encode(), "r")
    with pytest.raises(UnicodeDecodeError):
        f.read(1)
    assert f.tell() == 1
    assert (f.seek(0), f.read()) == (0, "é")


def test_text_readinto_stores_raw_bytes(opened: Opener) -> None:
    buffer = bytearray(4)
    assert opened(b"\xff\xfe\x00", "r").readinto(buffer) == 3
    assert buffer == b"\xff\xfe\x00\x00"


def test_text_update_write_then_read_without_seek(make_file: Maker) -> None:
    path = make_file(TEN)
    with AsyncFile(path, "r+").open() as f:
        assert f.write("abc") == 3
        assert f.read(4) == "3456"
        assert (disk(path), f.tell()) == (b"abc3456789", 7)


# ---- write-only streams and pending writes that cannot go out ---------------------------------------------------


@pytest.mark.parametrize("mode", ["w", "wb", "a", "ab"])
def test_write_only_stream_reads(make_file: Maker, mode: str) -> None:
    path = make_file(b"xy")
    empty = b"" if "b" in mode else ""
    with AsyncFile(path, mode).open() as f:
        f.write("abc")
        for count in (0, 5, 8192):
            with pytest.raises(RuntimeError) as e:
                f.read(count)
            assert str(e.value) == "pread failed"
            assert f.tell() == 3 + 2 * mode.startswith("a")
        assert [f.read(8193), f.read1(), f.read(), f.readall()] == [empty] * 4
        assert f.readinto(bytearray(4)) == 0
        f.write("def")
    assert disk(path) == (b"xy" if mode.startswith("a") else b"") + b"abcdef"


@pytest.mark.parametrize("call", calls("read(0)", "read(8193)", "read()", "read1()", "readinto(8)", "readinto(empty)"))
def test_pending_writes_that_cannot_go_out_stop_the_read(call: Callable) -> None:
    # More than the stdio buffer holds, so handing the bytes over reaches the full device at once.
    f = AsyncFile("/dev/full", "wb").open()
    f.write(b"x" * 100000)
    with pytest.raises(RuntimeError) as e:
        call(f)
    assert str(e.value) == "Failed to flush write buffer"


# ---- reads after readline ---------------------------------------------------------------------------------------

LINES = b"one\ntwo\nthree\n"
BIG_LINES = b"".join(b"%099d\n" % i for i in range(3000))  # 300000 bytes: more than one read-ahead block


@pytest.mark.parametrize("call", calls("read()", "readall()", "read(3)", "read(8193)", "read1()", "readinto(8)"))
def test_reads_after_readline_leave_the_read_ahead(opened: Opener, call: Callable) -> None:
    f = opened(LINES, "rb")
    assert f.readline() == "one\n"
    assert (call(f), f.tell()) == (b"", len(LINES))
    assert f.readline() == "two\n"


@pytest.mark.parametrize("count", [10, 9000])
def test_reads_after_readline_continue_after_the_block(opened: Opener, count: int) -> None:
    f = opened(BIG_LINES, "rb")
    assert f.readline() == BIG_LINES[:100].decode()
    assert f.read(count) == BIG_LINES[262144 : 262144 + count]
    assert f.readline() == BIG_LINES[100:200].decode()


# ---- readinto buffers -------------------------------------------------------------------------------------------


def dotted(size: int) -> bytearray:
    return bytearray(b"." * size)


@pytest.mark.parametrize(("make", "count", "after"), [
    pytest.param(lambda o: o + dotted(4), 10, b"0123456789..", id="bytearray-keeps-tail"),
    pytest.param(lambda o: o[:4], 4, b"0123", id="bytearray-exact"),
    pytest.param(lambda o: memoryview(o)[2:6], 4, b"..0123..", id="memoryview-slice-writes-only-inside"),
    pytest.param(lambda o: memoryview(o).cast("I"), 8, b"01234567", id="memoryview-cast-to-uint"),
    pytest.param(lambda o: array.array("i", [0, 0]), 8, b"01234567", id="array-i-asks-byte-length"),
    pytest.param(lambda o: array.array("d", [0.0] * 3), 10, TEN + bytes(14), id="array-d-partial"),
])
def test_readinto_fills_the_front_by_byte_length(opened: Opener, make: Callable, count: int, after: bytes) -> None:
    target, f = make(dotted(8)), opened(TEN)
    assert (f.readinto(target), f.tell()) == (count, count)
    assert bytes(target.obj if isinstance(target, memoryview) else target) == after


@pytest.mark.parametrize(("make", "error", "message"), [
    pytest.param(lambda o: b"abcd", TypeError, "readinto requires a writable buffer", id="bytes"),
    pytest.param(lambda o: memoryview(o).toreadonly(), TypeError, "readinto requires a writable buffer",
                 id="read-only-memoryview"),
    pytest.param(lambda o: memoryview(o)[::2], ValueError, "readinto requires a contiguous buffer", id="strided"),
    pytest.param(lambda o: memoryview(o)[::-1], ValueError, "readinto requires a contiguous buffer", id="reversed"),
    pytest.param(lambda o: 4, TypeError, "readinto requires a buffer object", id="int"),
    pytest.param(lambda o: "abcd", TypeError, "readinto requires a buffer object", id="str"),
])
def test_readinto_refuses_before_anything_happens(make_file: Maker, make: Callable, error: type, message: str) -> None:
    path, owner = make_file(TEN), dotted(8)
    with AsyncFile(path, "r+b").open() as f:
        f.write(b"AB")
        with pytest.raises(error) as e:
            f.readinto(make(owner))
        assert str(e.value) == message
        assert (owner, disk(path), f.tell()) == (dotted(8), TEN, 2)
        assert f.read(3) == b"234"


# ---- closed objects ---------------------------------------------------------------------------------------------


@pytest.fixture(params=["never-opened", "closed"])
def closed_file(request: pytest.FixtureRequest, make_file: Maker) -> AsyncFile:
    f = AsyncFile(make_file(TEN), "rb")
    if request.param == "closed":
        f.open().close()
    return f


@pytest.mark.parametrize("call", calls(*CALLS))
def test_closed_object_reads_fail(closed_file: AsyncFile, call: Callable) -> None:
    with pytest.raises(RuntimeError) as e:
        call(closed_file)
    assert str(e.value) == "File not open"


@pytest.mark.parametrize("buffer", [4, "abcd"], ids=["int", "str"])
def test_closed_object_readinto_non_buffer_is_type_error(closed_file: AsyncFile, buffer: object) -> None:
    with pytest.raises(TypeError) as e:
        closed_file.readinto(buffer)
    assert str(e.value) == "readinto requires a buffer object"


# ---- FIFOs: no position, so whole reads run to the end of the input ---------------------------------------------

PIPED = BIG[: 5 * MIB + 3]  # more than a pipe holds, than one read1 and than a first 4 MiB result
FIFO_READER = r"""
import ast, os, pickle, signal, sys
from _larkspan_core import AsyncFile

fifo, payload, ops = sys.argv[1], sys.argv[2], ast.literal_eval(sys.argv[3])
if os.fork() == 0:  # the writer feeds the payload and closes its end; SIGALRM bounds its life
    try:
        signal.alarm(20)
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        with open(payload, "rb") as source, open(fifo, "wb") as sink:
            sink.write(source.read())
    finally:
        os._exit(0)
f = AsyncFile(fifo, "rb").open()
results = []
for name, *args in ops:
    try:
        if name == "readinto":
            buffer = bytearray(args[0])
            results.append(("ok", bytes(buffer[: f.readinto(buffer)])))
        else:
            results.append(("ok", getattr(f, name)(*args)))
    except Exception as error:
        results.append(("error", type(error).__name__, str(error)))
sys.stdout.buffer.write(pickle.dumps(results))
"""
PREAD_FAILED = ("error", "RuntimeError", "pread failed")


@pytest.mark.parametrize(("ops", "expected"), [
    pytest.param([("read",)], [("ok", PIPED)], id="read()"),
    pytest.param([("readall",)], [("ok", PIPED)], id="readall()"),
    pytest.param([("read", 100), ("read", 8192), ("read", 0), ("read", 8193), ("read1", 10), ("readinto", 1000),
                  ("read", None)],
                 [PREAD_FAILED] * 3 + [("ok", PIPED[:8193]), ("ok", PIPED[8193:8203]), ("ok", PIPED[8203:9203]),
                                       ("ok", PIPED[9203:])], id="counted-then-rest"),
    pytest.param([("read1",), ("read1",), ("read",), ("read1",)],
                 [("ok", PIPED[:READ1_DEFAULT]), ("ok", PIPED[READ1_DEFAULT : 2 * READ1_DEFAULT]),
                  ("ok", PIPED[2 * READ1_DEFAULT :]), ("ok", b"")], id="read1-default"),
])
def test_fifo_reads(tmp_path: Path, ops: list[Op], expected: list[tuple[Any, ...]]) -> None:
    fifo, payload = tmp_path / "fifo", tmp_path / "payload"
    os.mkfifo(fifo)
    payload.write_bytes(PIPED)
    done = subprocess.run([sys.executable, "-c", FIFO_READER, str(fifo), str(payload), repr(ops)],
                          capture_output=True, timeout=30, check=True)
    assert pickle.loads(done.stdout) == expected
