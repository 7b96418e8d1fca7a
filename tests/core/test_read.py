"""Reading by route: small positional (<= 8192), large stream, whole file, read1 and readinto.

Sequences run side by side on builtin open() in the same binary mode. Builtin read1 stops at its
buffer's edge and builtin files have no readall, so there the oracle reads the full count. Sizes
measured before another writer appends, FIFOs, write-only streams and text decoding differ on
purpose and are pinned directly. Reads after readline are in test_lines; refused counts and buffers
in test_bad_input.
"""

import array
import random
import resource
import sys
import tracemalloc
from collections.abc import Callable
from typing import Any

import pytest
from conftest import disk, outcome
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile

MIB = 2**20
DATA = random.Random(2024).randbytes(MIB + 4)  # not periodic, so a read at a wrong offset shows
BIG = random.Random(2025).randbytes(
    9 * MIB + 5
)  # large counted reads grow their result past 4 and 8 MiB
TEN = b"0123456789"
LARGEST_BYTES = sys.maxsize - sys.getsizeof(b"")  # the longest bytes object CPython can make
READ1_DEFAULT = 262144
Op = tuple[Any, ...]
Opener = Callable[..., AsyncFile]
Maker = Callable[..., str]


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
}


def calls(*names: str, expected: tuple[Any, ...]) -> list[Any]:
    """Parameters of CALLS entries by name, each with its expected result."""
    return [
        pytest.param(CALLS[name], want, id=name) for name, want in zip(names, expected, strict=True)
    ]


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


ROUTES: list[Op] = [
    ("read", 3),
    ("read", 8193),
    ("read",),
    ("readall",),
    ("read1",),
    ("read1", 3),
    ("readinto", 3),
]
SEQUENCES = [
    pytest.param(
        DATA,
        "rb",
        [("read", 0), ("tell",), ("read", 1), ("read", 8192), ("read", 3), ("tell",)],
        id="small-reads-reuse-scratch",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read", 8192), ("read", 8193), ("read", 8192), ("read", 8193), ("tell",)],
        id="8192-8193-alternating",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read", 8193), ("read", 100), ("read", 70000), ("read", 5), ("tell",)],
        id="positional-inside-stdio-read-ahead",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read", 10), ("read", 65536), ("read", 65537), ("read", 65535), ("tell",)],
        id="spanning-64k-stdio-buffer",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read", 131072), ("read", 131073), ("read1", 262144), ("read", 262145), ("tell",)],
        id="131072-262144",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read", 524288), ("read", 524289), ("read", 10), ("read", 8193), ("tell",)],
        id="524288-524289-past-end",
    ),
    pytest.param(
        BIG,
        "rb",
        [
            ("read", 6 * MIB + 1),
            ("read", 8 * MIB),
            ("tell",),
            ("seek", 0),
            ("read1", 10 * MIB),
            ("seek", 5),
            ("readinto", 9 * MIB),
            ("seek", 7),
            ("read",),
        ],
        id="results-beyond-4-mib",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read1", 10), ("read1",), ("tell",), *[("read1",)] * 4, ("read1", 0), ("tell",)],
        id="read1-default-to-end",
    ),
    pytest.param(
        DATA,
        "rb",
        [("read", 30), ("read",), ("read",), ("readall",), ("read", None), ("tell",)],
        id="whole-after-partial",
    ),
    pytest.param(
        DATA,
        "rb",
        [
            ("seek", MIB + 150),
            ("read",),
            ("read", 10),
            ("tell",),
            ("read", 9000),
            ("read1",),
            ("readinto", 4),
            ("tell",),
        ],
        id="past-end",
    ),
    pytest.param(
        DATA,
        "rb",
        [
            ("readinto", 10),
            ("readinto", 8193),
            ("read", 3),
            ("readinto", 70000),
            ("seek", -2, 2),
            ("readinto", 6),
        ],
        id="readinto-partial-keeps-tail",
    ),
    pytest.param(
        b"",
        "rb",
        [("read",), ("readall",), ("read", 10), ("read", 9000), ("read1",), ("readinto", 4)],
        id="empty-file",
    ),
    pytest.param(
        TEN,
        "r+b",
        [("read",), ("write", b"xyz"), ("read",), ("tell",), ("seek", 0), ("read",), ("disk",)],
        id="r+b-read-write-read",
    ),
    pytest.param(
        TEN,
        "r+b",
        [("read", 4), ("write", b"##"), ("read", 2), ("read",), ("seek", 0), ("readall",)],
        id="r+b-positional-write-whole",
    ),
    pytest.param(
        TEN,
        "r+b",
        [("read1", 2), ("write", b"XY"), ("read", 2), ("read1",), ("tell",)],
        id="r+b-stream-write-positional",
    ),
    pytest.param(
        DATA,
        "r+b",
        [
            ("write", DATA[70000::-1]),
            ("read", 8193),
            ("read", 3),
            ("disk",),
            ("seek", 0),
            ("read",),
        ],
        id="r+b-write-past-stdio-buffer",
    ),
    pytest.param(
        b"",
        "w+b",
        [
            ("write", b"hello"),
            ("read", 3),
            ("read",),
            ("seek", 0),
            ("read",),
            ("write", b"!"),
            ("readinto", 3),
            ("disk",),
        ],
        id="w+b",
    ),
    *[
        pytest.param(
            TEN,
            "r+b",
            [("write", b"AB"), ("disk",), route, ("disk",), ("tell",)],
            id=f"r+b-write-then-{route[0]}{list(route[1:])}",
        )
        for route in ROUTES
    ],
]


@pytest.mark.parametrize(("content", "mode", "ops"), SEQUENCES)
def test_sequence_matches_builtin_open(
    make_file: Maker, content: bytes, mode: str, ops: list[Op]
) -> None:
    ours_path, theirs_path = make_file(content), make_file(content)
    with AsyncFile(ours_path, mode).open() as ours, open(theirs_path, mode) as theirs:
        for op in ops:
            assert apply(ours, op, ours_path) == apply(theirs, op, theirs_path), op
    assert disk(ours_path) == disk(theirs_path)


# ---- counts --------------------------------------------------------------------------------------


class Three:
    def __index__(self) -> int:
        return 3


def test_none_is_absent_and_index_objects_count(opened: Opener) -> None:
    f = opened(DATA)
    assert (f.read1(Three()), f.read(Three())) == (DATA[:3], DATA[3:6])
    assert f.read1(None) == DATA[6 : 6 + READ1_DEFAULT]
    assert f.read(None) == DATA[6 + READ1_DEFAULT :]


def test_huge_count_costs_only_what_arrives(opened: Opener) -> None:
    f = opened(TEN)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    tracemalloc.start()
    try:
        got = (f.read(8 * 2**30), f.seek(0), f.read1(8 * 2**30), f.seek(0), f.read(LARGEST_BYTES))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert got == (TEN, 0, TEN, 0, TEN)
    assert peak < 64 * MIB
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before < 256 * 1024  # KiB


@pytest.mark.parametrize("method", ["read", "read1"])
@pytest.mark.parametrize("count", [LARGEST_BYTES + 1, 2**63], ids=["largest-bytes+1", "2**63"])
def test_count_above_largest_bytes_raises_value_error(
    opened: Opener, method: str, count: int
) -> None:
    f = opened(TEN)
    f.read(2)
    with pytest.raises(ValueError) as e:
        getattr(f, method)(count)
    assert (str(e.value), f.tell()) == ("read length exceeds the largest possible result", 2)


# ---- whole file and the size cache ---------------------------------------------------------------

AFTER_APPEND = (
    "read()",
    "read(None)",
    "readall()",
    "read(3)",
    "read(8193)",
    "read1()",
    "readinto(8)",
)


@pytest.mark.parametrize(
    ("call", "expected"), calls(*AFTER_APPEND, expected=(b"",) * 3 + (b"def",) * 4)
)
def test_bytes_appended_after_measurement(
    make_file: Maker, call: Callable, expected: bytes
) -> None:
    path = make_file(b"abc")
    with AsyncFile(path, "rb").open() as f:
        assert f.read() == b"abc"
        with open(path, "ab") as other:
            other.write(b"def")
        assert (call(f), f.seek(0), f.read()) == (expected, 0, b"abcdef")


def test_size_measured_at_first_whole_read_not_at_open(make_file: Maker) -> None:
    path = make_file(b"abc")
    with AsyncFile(path, "rb").open() as f:
        with open(path, "ab") as other:
            other.write(b"de")
        assert (f.read(1), f.read()) == (b"a", b"bcde")


# ---- text mode -----------------------------------------------------------------------------------

TEXT = "hé€😀\n"  # 1 + 2 + 3 + 4 + 1 bytes
TEXT_CALLS = ("read(0)", "read(3)", "read(8193)", "read()", "readall()", "read1()", "read1(3)")


@pytest.mark.parametrize(
    ("call", "expected"), calls(*TEXT_CALLS, expected=("", "hé", TEXT, TEXT, TEXT, TEXT, "hé"))
)
def test_text_mode_returns_str_counted_in_bytes(
    opened: Opener, call: Callable, expected: str
) -> None:
    result = call(opened(TEXT.encode(), "r"))
    assert (type(result), result) == (str, expected)


# A read that cuts a character or meets an invalid byte consumes what it read; a whole read after
# seek(0) decodes a valid file again.
@pytest.mark.parametrize(
    ("content", "call", "position"),
    [
        pytest.param("é".encode(), lambda f: f.read(1), 1, id="one-byte-of-two"),
        pytest.param(b"a" * 8191 + b"\xc3\xa9", CALLS["read(8192)"], 8192, id="small-cut"),
        pytest.param(b"a" * 8192 + b"\xc3\xa9", CALLS["read(8193)"], 8193, id="stream-cut"),
        pytest.param(b"ab\xc3", CALLS["read1(3)"], 3, id="read1-cut"),
        pytest.param(b"ab\xc3", CALLS["read()"], 3, id="whole-file-cut"),
        pytest.param(b"ab\xff", CALLS["readall()"], 3, id="readall-invalid-byte"),
    ],
)
def test_text_decode_failure_consumes_the_bytes(
    opened: Opener, content: bytes, call: Callable, position: int
) -> None:
    f = opened(content, "r")
    with pytest.raises(UnicodeDecodeError):
        call(f)
    assert f.tell() == position
    if position < len(content):
        assert (f.seek(0), f.read()) == (0, content.decode())


def test_text_readinto_stores_raw_bytes_and_update_reads_follow_writes(opened: Opener) -> None:
    buffer = bytearray(4)
    assert opened(b"\xff\xfe\x00", "r").readinto(buffer) == 3
    assert buffer == b"\xff\xfe\x00\x00"
    f = opened(TEN, "r+")
    assert (f.write("abc"), f.read(4)) == (3, "3456")  # no seek needed between them
    assert (disk(f.name), f.tell()) == (b"abc3456789", 7)


# ---- write-only streams: positional reads fail, stream and line reads find nothing ---------------


@pytest.mark.parametrize("mode", ["w", "wb", "a", "ab"])
def test_write_only_stream_reads(make_file: Maker, mode: str) -> None:
    path, appends = make_file(b"a\nb\n"), mode.startswith("a")
    empty = b"" if "b" in mode else ""
    with AsyncFile(path, mode).open() as f:
        assert (f.readline(), f.readline(3), list(f), f.readlines()) == ("", "", [], [])
        f.write("x\n")
        for count in (0, 5, 8192):
            with pytest.raises(RuntimeError) as e:
                f.read(count)
            assert str(e.value) == "pread failed"
            assert f.tell() == 2 + 4 * appends
        assert [f.read(8193), f.read1(), f.read(), f.readall()] == [empty] * 4
        assert (f.readinto(bytearray(4)), f.readline(), f.readlines()) == (0, "", [])
        f.write("y\n")
    assert disk(path) == (b"a\nb\n" if appends else b"") + b"x\ny\n"


# ---- storage that fails: the bytes that arrived, then the failure, never an early end ------------

LINES = b"line one\nline two\n"
ARRIVED = 12  # the storage fails from this byte on: "line one\nlin" arrives
READ_FAILED = (RuntimeError, "Read failed: Input/output error")
# each call, and what it gives when the storage fails part-way: the bytes before the failure
FAILING_READS: dict[str, tuple[Callable[[AsyncFile], Any], Any]] = {
    "read()": (lambda f: f.read(), LINES[:ARRIVED]),
    "read(8193)": (lambda f: f.read(8193), LINES[:ARRIVED]),
    "read1()": (lambda f: f.read1(), LINES[:ARRIVED]),
    "readinto": (lambda f: readinto_bytes(f, 8193), LINES[:ARRIVED]),
    "readline": (lambda f: f.readline(), "line one\n"),
    "readlines": (lambda f: f.readlines(), ["line one\n", "lin"]),
    "next": (next, "line one\n"),
}


@pytest.mark.parametrize("fail_from", [0, ARRIVED], ids=["at-once", "part-way"])
@pytest.mark.parametrize(("call", "arrived"), FAILING_READS.values(), ids=FAILING_READS.keys())
def test_failing_storage_raises_after_the_bytes_that_arrived(
    slow_fs: Callable[..., Any], call: Callable[[AsyncFile], Any], arrived: Any, fail_from: int
) -> None:
    fs = slow_fs(1.0, fail_marker="bad", fail_from=fail_from)
    (fs.backing / "bad").write_bytes(LINES)
    with AsyncFile(str(fs.mountpoint / "bad"), "rb").open() as f:
        results = [outcome(lambda: call(f)) for _ in range(2)]
    assert results == ([arrived] if fail_from else [READ_FAILED]) + [READ_FAILED]


# ---- readinto buffers ----------------------------------------------------------------------------


def dotted(size: int) -> bytearray:
    return bytearray(b"." * size)


@pytest.mark.parametrize(
    ("make", "count", "after"),
    [
        pytest.param(lambda o: o + dotted(4), 10, b"0123456789..", id="bytearray-keeps-tail"),
        pytest.param(lambda o: o[:4], 4, b"0123", id="bytearray-exact"),
        pytest.param(
            lambda o: memoryview(o)[2:6], 4, b"..0123..", id="memoryview-slice-writes-only-inside"
        ),
        pytest.param(
            lambda o: memoryview(o).cast("I"), 8, b"01234567", id="memoryview-cast-to-uint"
        ),
        pytest.param(
            lambda o: array.array("i", [0, 0]), 8, b"01234567", id="array-i-asks-byte-length"
        ),
        pytest.param(
            lambda o: array.array("d", [0.0] * 3), 10, TEN + bytes(14), id="array-d-partial"
        ),
    ],
)
def test_readinto_fills_the_front_by_byte_length(
    opened: Opener, make: Callable, count: int, after: bytes
) -> None:
    target, f = make(dotted(8)), opened(TEN)
    assert (f.readinto(target), f.tell()) == (count, count)
    assert bytes(target.obj if isinstance(target, memoryview) else target) == after


# ---- FIFOs: no position, so whole reads run to the end of the input ------------------------------

PIPED = BIG[: 5 * MIB + 3]  # more than a pipe holds, than one read1 and than a first 4 MiB result
PREAD_FAILED = ("RuntimeError", "pread failed")
R = READ1_DEFAULT


@pytest.mark.parametrize(
    ("expressions", "expected"),
    [
        pytest.param(["f.read()"], [PIPED], id="read()"),
        pytest.param(["f.readall()"], [PIPED], id="readall()"),
        pytest.param(
            [
                "f.read(100)",
                "f.read(8192)",
                "f.read(0)",
                "f.read(8193)",
                "f.read1(10)",
                "into(1000)",
                "f.read(None)",
            ],
            [PREAD_FAILED] * 3 + [PIPED[:8193], PIPED[8193:8203], PIPED[8203:9203], PIPED[9203:]],
            id="counted-then-rest",
        ),
        pytest.param(
            ["f.read1()", "f.read1()", "f.read()", "f.read1()"],
            [PIPED[:R], PIPED[R : 2 * R], PIPED[2 * R :], b""],
            id="read1-default",
        ),
    ],
)
def test_fifo_reads(
    read_fifo: Callable[..., list[object]], expressions: list[str], expected: list[object]
) -> None:
    assert read_fifo(PIPED, *expressions) == expected
