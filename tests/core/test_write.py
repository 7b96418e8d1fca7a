"""write and writelines: routes, boundaries, conversions and refusals. Full disks are in
test_faults, failed conversions and their order against the open check in test_bad_input.

The write buffer holds up to 262144 bytes and takes writes of up to 131072. Bytes that leave it go
straight to the descriptor, so a second builtin handle sees exactly what has been handed over.
"""

import array
import os
from collections.abc import Callable
from typing import Any

import pytest
from conftest import disk, letters
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile


def check_handed_over(f: AsyncFile, expected: bytes, handed: int) -> None:
    """The first `handed` bytes of `expected` have left the write buffer, the rest are pending."""
    assert f.tell() == len(expected)
    assert disk(f.name) == expected[:handed]


@pytest.fixture
def sink(opened: Callable[..., AsyncFile]) -> AsyncFile:
    return opened(b"", "wb")


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
    data = letters(sizes)
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
    assert (f.write(data), f.tell()) == (len(expected), len(expected))
    f.close()
    assert disk(f.name) == expected


WRITES = {
    "write-0": lambda f: f.write(b""),
    "write-10": lambda f: f.write(b"x" * 10),
    "write-direct": lambda f: f.write(b"x" * 131073),
    "writelines-empty": lambda f: f.writelines([]),
    "writelines": lambda f: f.writelines([b"x"]),
}


@pytest.mark.parametrize("call", WRITES.values(), ids=WRITES)
@pytest.mark.parametrize("mode", ["r", "rb"])
def test_writing_in_read_mode_is_refused_at_once(
    make_file: Callable[..., str], mode: str, call: Callable[[AsyncFile], Any]
) -> None:
    f = AsyncFile(make_file(b"keep"), mode).open()
    with pytest.raises(RuntimeError) as e:
        call(f)
    assert str(e.value) == "File not open for writing"
    assert (f.tell(), f.read()) == (0, b"keep" if "b" in mode else "keep")
    assert f.close() is None
    assert disk(f.name) == b"keep"


@pytest.mark.parametrize("container", [list, tuple], ids=["list", "tuple"])
def test_writelines_mixed_items_in_order(sink: AsyncFile, container: type) -> None:
    assert sink.writelines(container(["a", b"b", bytearray(b"c"), "é", b""])) is None
    assert (sink.writelines([]), sink.tell()) == (None, 5)
    sink.close()
    assert disk(sink.name) == b"abc\xc3\xa9"


# Refused whole before any item goes out, even a first item large enough to go straight to the file.
# Other iterables and item types are left to test_bad_input.
REFUSED_LINES = {
    "generator": lambda: (x for x in [b"a"]),
    "set": lambda: {b"a"},
    "dict-keys": lambda: {b"a": 1}.keys(),
    "str": lambda: "ab",
    "bytes": lambda: b"ab",
    "int-after-good-items": lambda: [b"a" * 131073, "b", 1],
    "surrogate-after-good-items": lambda: [b"a" * 131073, "\ud800"],
}


@pytest.mark.parametrize("make_lines", REFUSED_LINES.values(), ids=REFUSED_LINES.keys())
def test_writelines_refuses_before_writing(
    sink: AsyncFile, make_lines: Callable[[], object]
) -> None:
    with pytest.raises(TypeError) as e:
        sink.writelines(make_lines())
    assert str(e.value).startswith("writelines(): incompatible function arguments")
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
    lines = letters(sizes)
    sink.writelines(lines)
    check_handed_over(sink, b"".join(lines), handed)
    sink.close()
    assert disk(sink.name) == b"".join(lines)
