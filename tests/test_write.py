"""write and writelines: routes, boundaries, conversions, refusals and full-disk faults.

The write buffer holds up to 262144 bytes and takes writes of up to 131072. Bytes that leave it go
straight to the descriptor, so a second builtin handle sees exactly what has been handed over.
"""

import array
import os
import pathlib
import subprocess
import sys
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from _larkspan_core import AsyncFile

def disk(path: str) -> bytes:
    with open(path, "rb") as h:
        return h.read()


def chunks(sizes: list[int]) -> list[bytes]:
    """One run of a distinct letter per size, so that order and duplication show on disk."""
    return [bytes([65 + i % 26]) * n for i, n in enumerate(sizes)]


def check_handed_over(f: AsyncFile, expected: bytes, handed: int) -> None:
    """The first `handed` bytes of `expected` have left the write buffer, the rest are pending."""
    assert f.tell() == len(expected)
    assert disk(f.name) == expected[:handed]


@pytest.fixture
def sink(opened: Callable[..., AsyncFile]) -> AsyncFile:
    return opened(b"", "wb")


@pytest.fixture
def full_disk() -> Iterator[AsyncFile]:
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    yield AsyncFile("/dev/full", "wb").open()  # destruction drops whatever stays pending


# sizes of successive writes, bytes handed to the stream afterwards
ROUTES = [
    ("empty", [0], 0),
    ("one-byte", [1], 0),
    ("largest-buffered", [131072], 0),
    ("smallest-direct", [131073], 131073),
    ("direct-after-pending", [10, 131073], 131083),
    ("two-largest-buffered", [131072, 131072], 0),
    ("exact-fill-keeps", [131072, 131071, 1], 0),
    ("overflow-by-one", [131072, 131072, 1], 262144),
    ("direct-after-full-buffer", [131072, 131072, 131073], 393217),
]


@pytest.mark.parametrize(("sizes", "handed"), [r[1:] for r in ROUTES], ids=[r[0] for r in ROUTES])
def test_write_routes(sink: AsyncFile, sizes: list[int], handed: int) -> None:
    data = chunks(sizes)
    assert [sink.write(c) for c in data] == sizes
    check_handed_over(sink, b"".join(data), handed)
    sink.close()
    assert disk(sink.name) == b"".join(data)


def descriptor_position(path: str) -> int:
    """The kernel offset of this process's descriptor open on `path`."""
    for fd in os.listdir("/proc/self/fd"):
        if os.path.realpath(f"/proc/self/fd/{fd}") == os.path.realpath(path):
            with open(f"/proc/self/fdinfo/{fd}") as info:
                return int(info.readline().split()[1])
    raise LookupError(path)


def test_stdio_buffer_is_64_kib_not_the_block_size(make_file: Callable[..., str]) -> None:
    # glibc picks the file system's block size (often 4 KiB) unless the stream is given a buffer.
    f = AsyncFile(make_file(b"z" * 200000), "rb").open()
    assert f.read1(1) == b"z"
    assert descriptor_position(f.name) == 65536
    f.close()


class Printed:
    def __str__(self) -> str:
        return "é!"


class Unprintable:
    def __str__(self) -> str:
        raise LookupError("no text")


CONVERSIONS = [
    ("bytes", b"ab", b"ab"),
    ("bytes-subclass", type("Raw", (bytes,), {})(b"ab"), b"ab"),
    ("str-utf8", "é", b"\xc3\xa9"),
    ("str-subclass", type("Text", (str,), {})("ab"), b"ab"),
    ("bytearray", bytearray(b"ab"), b"ab"),
    ("memoryview", memoryview(b"abc"), b"abc"),
    ("array", array.array("H", [1, 0x0102]), array.array("H", [1, 0x0102]).tobytes()),
    ("strided-memoryview", memoryview(b"abcdef")[::2], b"ace"),
    ("int", 123, b"123"),
    ("none", None, b"None"),
    ("float", 1.5, b"1.5"),
    ("object-str", Printed(), "é!".encode()),
]


@pytest.mark.parametrize("mode", ["wb", "w"])
@pytest.mark.parametrize(
    ("data", "expected"), [c[1:] for c in CONVERSIONS], ids=[c[0] for c in CONVERSIONS]
)
def test_write_conversions(
    opened: Callable[..., AsyncFile], mode: str, data: object, expected: bytes
) -> None:
    f = opened(b"", mode)
    assert f.write(data) == len(expected)
    assert f.tell() == len(expected)
    f.close()
    assert disk(f.name) == expected


@pytest.mark.parametrize("is_open", [True, False], ids=["open", "closed"])
@pytest.mark.parametrize(
    ("data", "kind", "prefix"),
    [
        ("a\ud800", RuntimeError, "Unable to cast Python instance of type <class 'str'>"),
        (Unprintable(), LookupError, "no text"),
    ],
    ids=["lone-surrogate", "str-raises"],
)
def test_failed_conversion_writes_nothing(
    make_file: Callable[..., str], is_open: bool, data: object, kind: type[Exception], prefix: str
) -> None:
    f = AsyncFile(make_file(), "wb")
    if is_open:
        f.open()
    with pytest.raises(kind) as e:  # the conversion comes before the open test
        f.write(data)
    assert type(e.value) is kind and str(e.value).startswith(prefix)
    if is_open:
        assert f.tell() == 0
        f.close()
    assert disk(f.name) == b""


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.write(b""),
        lambda f: f.write(b"x" * 10),
        lambda f: f.write(b"x" * 131073),
        lambda f: f.writelines([]),
        lambda f: f.writelines([b"x"]),
    ],
    ids=["write-0", "write-10", "write-direct", "writelines-empty", "writelines"],
)
@pytest.mark.parametrize("mode", ["r", "rb"])
def test_writing_in_read_mode_is_refused_at_once(
    make_file: Callable[..., str], mode: str, call: Callable[[AsyncFile], Any]
) -> None:
    f = AsyncFile(make_file(b"keep"), mode).open()
    with pytest.raises(RuntimeError) as e:
        call(f)
    assert str(e.value) == "File not open for writing"
    assert f.tell() == 0
    assert f.read() == (b"keep" if "b" in mode else "keep")
    assert f.close() is None
    assert disk(f.name) == b"keep"


@pytest.mark.parametrize("container", [list, tuple], ids=["list", "tuple"])
def test_writelines_mixed_items_in_order(sink: AsyncFile, container: type) -> None:
    assert sink.writelines(container(["a", b"b", bytearray(b"c"), "é", b""])) is None
    assert sink.writelines([]) is None
    assert sink.tell() == 5
    sink.close()
    assert disk(sink.name) == b"abc\xc3\xa9"


REFUSED_LINES = {
    "generator": lambda: (x for x in [b"a"]),
    "map": lambda: map(bytes, [b"a"]),
    "set": lambda: {b"a"},
    "dict": lambda: {b"a": 1},
    "dict-keys": lambda: {b"a": 1}.keys(),
    "str": lambda: "ab",
    "bytes": lambda: b"ab",
    "int-after-good-items": lambda: [b"a" * 131073, "b", 1],
    "none-item": lambda: ["a", None],
    "memoryview-item": lambda: [b"a", memoryview(b"b")],
    "surrogate-item": lambda: [b"a", "\ud800"],
}


@pytest.mark.parametrize("make_lines", REFUSED_LINES.values(), ids=REFUSED_LINES.keys())
def test_writelines_refuses_before_writing(
    sink: AsyncFile, make_lines: Callable[[], object]
) -> None:
    with pytest.raises(TypeError) as e:
        sink.writelines(make_lines())
    assert "writelines" in str(e.value)
    assert sink.tell() == 0
    sink.close()
    assert disk(sink.name) == b""


# line sizes, bytes handed to the stream on return
LINES = [
    ("total-524288-keeps-tail", [100000] * 5 + [24288], 400000),
    ("total-524289-hands-all", [100000] * 5 + [24289], 524289),
    ("direct-line-after-pending", [10, 131073, 5], 131083),
    ("small-lines-stay-pending", [1000] * 262, 0),
]


@pytest.mark.parametrize(("sizes", "handed"), [r[1:] for r in LINES], ids=[r[0] for r in LINES])
def test_writelines_routes(sink: AsyncFile, sizes: list[int], handed: int) -> None:
    lines = chunks(sizes)
    sink.writelines(lines)
    check_handed_over(sink, b"".join(lines), handed)
    sink.close()
    assert disk(sink.name) == b"".join(lines)


@pytest.mark.parametrize(
    ("pending", "message"),
    [(0, "Failed to write complete data"), (10, "Failed to flush write buffer")],
    ids=["nothing-pending", "pending-first"],
)
def test_direct_write_to_full_disk(full_disk: AsyncFile, pending: int, message: str) -> None:
    full_disk.write(b"p" * pending)
    with pytest.raises(RuntimeError) as e:
        full_disk.write(b"x" * 131073)
    assert str(e.value) == message
    assert full_disk.tell() == pending


# Every operation that hands 140000 pending bytes to a full disk fails, and the object stays open.
FLUSHING_OPERATIONS = {
    "flush": lambda f: f.flush(),
    "seek": lambda f: f.seek(0),
    "truncate": lambda f: f.truncate(),
    "close": lambda f: f.close(),
    "exit": lambda f: f.__exit__(None, None, None),
    "reopen": lambda f: f.open(),
    "read": lambda f: f.read(1),
    "overflowing-write": lambda f: f.write(b"y" * 131072),
    "direct-write": lambda f: f.write(b"y" * 131073),
    "writelines-direct": lambda f: f.writelines([b"y" * 131073]),
}


@pytest.mark.parametrize("operation", FLUSHING_OPERATIONS.values(), ids=FLUSHING_OPERATIONS.keys())
def test_pending_bytes_on_full_disk(
    full_disk: AsyncFile, operation: Callable[[AsyncFile], Any]
) -> None:
    full_disk.write(b"x" * 70000)
    full_disk.write(b"x" * 70000)
    for attempt in (operation, AsyncFile.close, AsyncFile.close):
        with pytest.raises(RuntimeError) as e:
            attempt(full_disk)
        assert str(e.value) == "Failed to flush write buffer"
        assert full_disk.seekable()
        assert full_disk.tell() == 140000


def test_close_keeps_failing_while_a_few_pending_bytes_cannot_be_written(
    full_disk: AsyncFile,
) -> None:
    full_disk.write(b"x" * 10)
    for _ in range(2):
        with pytest.raises(RuntimeError) as e:
            full_disk.close()
        assert str(e.value) == "Failed to flush write buffer"
        assert full_disk.seekable()
        assert full_disk.tell() == 10


# A file size limit makes the kernel take part of a write, so stdio reports a short count.
SHORT_WRITE = """
import resource, signal, sys
from _larkspan_core import AsyncFile
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
f = AsyncFile(sys.argv[1], "wb").open()
f.write(b"a" * 75000)
f.write(b"b" * 75000)
resource.setrlimit(resource.RLIMIT_FSIZE, (100000, hard))
try:
    f.close()
except RuntimeError as error:
    print(error)
print(f.tell())
resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
f.close()
"""


def test_short_write_keeps_only_the_tail_pending(tmp_path: pathlib.Path) -> None:
    path = str(tmp_path / "limited")
    result = subprocess.run(
        [sys.executable, "-c", SHORT_WRITE, path],
        capture_output=True, text=True, timeout=60, check=True,
    )
    assert result.stdout.splitlines() == ["Failed to flush write buffer", "150000"]
    assert disk(path) == b"a" * 75000 + b"b" * 75000
