"""Line reading: readline, readlines and the synchronous and asynchronous iteration members.

Builtin open(path, "rb") is the oracle for sequences of lines. Intended differences from it: line
results are always str (strict UTF-8) whatever the mode, and readline reads a 262144-byte block
ahead, so tell, read, readlines, relative seeks, truncate and writes after a readline work from the
end of that block, not the end of the line.
"""

import io
import os
from collections.abc import Callable

import pytest
from conftest import disk
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile

BLOCK = 262144
FIVE = b"a\nb\nc\nd\ne\n"
AH = b"abcdefgh\nij\n"


def split(data: bytes) -> list[str]:
    return [line.decode() for line in io.BytesIO(data).readlines()]


def by_readline(f: AsyncFile) -> list[str]:
    return list(iter(f.readline, ""))


def by_anext(f: AsyncFile) -> list[str]:
    lines = []
    while True:
        try:
            lines.append(f.__anext__())
        except StopIteration:
            return lines


READERS = {
    "readline": by_readline,
    "next": list,
    "anext": by_anext,
    "readlines": AsyncFile.readlines,
}

CONTENTS = {
    "empty": b"",
    "no-final-newline": b"one\ntwo",
    "blank-lines": b"\n\n",
    "crlf-kept": b"a\r\nb",
    "lone-cr": b"a\rb\r\n\rc\r",
    "utf8": "é€\n😀\n".encode(),
    "crosses-block": b"x" * (BLOCK - 10) + b"\n" + b"y" * 100 + b"\nz",
    "line-fills-block": b"x" * (BLOCK - 1) + b"\nnext\n",
    "block-without-newline": b"x" * BLOCK,
    "newline-opens-second-block": b"x" * BLOCK + b"\ntail",
    "600000-byte-line": b"x" * 600000 + b"\nend\n",
    "short-lines-over-3-blocks": b"".join(b"%d\n" % i for i in range(100000)),
    "char-split-by-block": b"x" * (BLOCK - 1) + "é\n".encode() + b"a\n",
}


# ---- line boundaries and limits ------------------------------------------------------------------


@pytest.mark.parametrize("reader", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("content", CONTENTS.values(), ids=CONTENTS.keys())
def test_lines_match_builtin(
    opened, content: bytes, reader: Callable[[AsyncFile], list[str]]
) -> None:
    f = opened(content)
    assert reader(f) == split(content)
    assert f.readline() == ""
    with pytest.raises(StopIteration):
        next(f)


@pytest.mark.parametrize(
    "content, limits, expected",
    [
        pytest.param(AH, [5, None], ["abcde", "fgh\n"], id="5-splits-line"),
        pytest.param(AH, [8, None], ["abcdefgh", "\n"], id="8-leaves-newline"),
        pytest.param(AH, [9, None], ["abcdefgh\n", "ij\n"], id="9-whole-line"),
        pytest.param(AH, [0, None], ["", "abcdefgh\n"], id="0-touches-nothing"),
        pytest.param(AH, [None, None, None], ["abcdefgh\n", "ij\n", ""], id="none-is-no-limit"),
        pytest.param(AH, [5, 5, 5, 0], ["abcde", "fgh\n", "ij\n", ""], id="limit-stops-at-newline"),
        pytest.param(b"x" * 300000 + b"\n", [BLOCK, None], None, id="limit-at-block-end"),
        pytest.param(
            b"ab\n" + b"x" * 300000 + b"\n",
            [None, BLOCK - 3, None],
            None,
            id="limit-at-block-end-mid-file",
        ),
        pytest.param(
            b"x" * 600000, [BLOCK + 1, BLOCK - 1, 5, 0, 2], None, id="limits-across-blocks"
        ),
        pytest.param(b"x" * (BLOCK - 2) + b"\nyy\n", [BLOCK, 1], None, id="newline-before-limit"),
    ],
)
def test_readline_limits(
    make_file, content: bytes, limits: list[int | None], expected: list[str] | None
) -> None:
    path = make_file(content)
    with open(path, "rb") as builtin:
        oracle = [builtin.readline(n).decode() for n in limits] + split(builtin.read())
    with AsyncFile(path, "rb").open() as f:
        got = [f.readline(n) for n in limits] + by_readline(f)
    assert got == oracle
    assert expected is None or got[: len(expected)] == expected


@pytest.mark.parametrize("hint", [None, 0, 1, 5, 2**64 - 1])
def test_readlines_ignores_hint(opened, hint: int | None) -> None:
    assert opened(b"one\ntwo\nthree\n").readlines(hint) == ["one\n", "two\n", "three\n"]


@pytest.mark.parametrize("mode", ["r", "rb", "r+", "r+b"])
def test_line_results_are_str_in_every_mode(opened, mode: str) -> None:
    f = opened(b"a\nb\nc\nd\n", mode)
    results = [f.readline(), f.readline(1), next(f), f.__anext__()]
    assert results == ["a\n", "b", "\n", "c\n"] and all(type(r) is str for r in results)
    assert f.seek(0) == 0 and f.readlines() == ["a\n", "b\n", "c\n", "d\n"]


# ---- decoding failures ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "take", [AsyncFile.readline, next, AsyncFile.__anext__], ids=["readline", "next", "anext"]
)
def test_invalid_line_is_consumed(opened, take: Callable[[AsyncFile], str]) -> None:
    f = opened(b"a\xff\nb\n")
    with pytest.raises(UnicodeDecodeError):
        take(f)
    assert take(f) == "b\n"


@pytest.mark.parametrize("mode", ["r", "rb"])
def test_limit_inside_two_byte_char(opened, mode: str) -> None:
    f = opened("é\nz\n".encode(), mode)
    for _ in range(2):  # each call takes one byte of the character
        with pytest.raises(UnicodeDecodeError):
            f.readline(1)
    assert f.readline() == "\n"
    assert f.readline() == "z\n"


def test_failed_readlines_consumes_the_rest(opened) -> None:
    f = opened(b"a\nb\xff\nc\n")
    with pytest.raises(UnicodeDecodeError):
        f.readlines()
    assert f.readlines() == []
    assert f.readline() == ""


# ---- the sticky end state ------------------------------------------------------------------------


def reopen(f: AsyncFile) -> None:
    f.close()
    f.open()


@pytest.mark.parametrize("leave", [lambda f: f.seek(0), reopen], ids=["seek0", "reopen"])
def test_end_is_sticky_until_seek_or_reopen(
    make_file, leave: Callable[[AsyncFile], object]
) -> None:
    path = make_file(b"one\ntwo\n")
    with AsyncFile(path, "rb").open() as f:
        assert list(f) == ["one\n", "two\n"]
        with open(path, "ab") as other:
            other.write(b"three\n")
        for _ in range(2):
            with pytest.raises(StopIteration) as e:
                next(f)
            assert str(e.value) == ""
        assert f.readline() == "" and f.readline(3) == ""
        # the end mark belongs to the read-ahead: readlines works from the stream and sees the new
        # line
        assert f.readlines() == ["three\n"]
        with pytest.raises(StopIteration):
            f.__anext__()
        leave(f)
        assert list(f) == ["one\n", "two\n", "three\n"]


# ---- the read-ahead against the other operations -------------------------------------------------

LONG = b"".join(
    b"%063d\n" % i for i in range(5000)
)  # 64-byte lines: 4096 of them fill the block exactly


def readinto_8(f: AsyncFile) -> bytes:
    buffer = bytearray(8)
    return bytes(buffer[: f.readinto(buffer)])


# After a first readline: what an operation returns, then what iteration yields. Reads, writes and
# truncate start where the block read ahead ends, and the lines held in it come next.
@pytest.mark.parametrize(
    "content, op, result, following",
    [
        pytest.param(FIVE, AsyncFile.tell, 10, FIVE[2:], id="tell-at-block-end"),
        pytest.param(FIVE, lambda f: f.read(3), b"", FIVE[2:], id="read-starts-after-block"),
        pytest.param(
            FIVE, lambda f: f.read(8193), b"", FIVE[2:], id="stream-read-starts-after-block"
        ),
        pytest.param(FIVE, AsyncFile.read, b"", FIVE[2:], id="read-all-starts-after-block"),
        pytest.param(FIVE, AsyncFile.readall, b"", FIVE[2:], id="readall-starts-after-block"),
        pytest.param(FIVE, AsyncFile.read1, b"", FIVE[2:], id="read1-starts-after-block"),
        pytest.param(FIVE, readinto_8, b"", FIVE[2:], id="readinto-starts-after-block"),
        pytest.param(FIVE, AsyncFile.readlines, [], FIVE[2:], id="readlines-starts-after-block"),
        pytest.param(FIVE, lambda f: f.seek(0, 1), 10, b"", id="relative-seek-discards-block"),
        pytest.param(
            FIVE, lambda f: (f.seek(100), f.readlines()), (100, []), b"", id="seek-past-end"
        ),
        pytest.param(FIVE, lambda f: f.seek(0), 0, FIVE, id="seek0-rereads"),
        pytest.param(
            FIVE,
            lambda f: (f.write(b"XY\n"), f.tell(), f.readline(), disk(f.name)),
            (3, 13, "b\n", FIVE + b"XY\n"),
            FIVE[4:],
            id="write-lands-after-block",
        ),  # readline hands it over
        pytest.param(
            LONG,
            lambda f: (f.truncate(), os.path.getsize(f.name)),
            (None, BLOCK),
            LONG[64:BLOCK],
            id="truncate-cuts-at-block-end",
        ),
        pytest.param(LONG, AsyncFile.tell, BLOCK, LONG[64:], id="long-tell"),
        pytest.param(LONG, lambda f: f.seek(0, 1), BLOCK, LONG[BLOCK:], id="long-seek-relative"),
        pytest.param(
            LONG,
            lambda f: f.read(10),
            LONG[BLOCK : BLOCK + 10],
            LONG[64:BLOCK] + LONG[BLOCK + 10 :],
            id="long-read-10",
        ),
        pytest.param(
            LONG,
            lambda f: f.read(9000),
            LONG[BLOCK : BLOCK + 9000],
            LONG[64:BLOCK] + LONG[BLOCK + 9000 :],
            id="long-read-9000",
        ),
        pytest.param(LONG, AsyncFile.read, LONG[BLOCK:], LONG[64:BLOCK], id="long-read"),
        pytest.param(
            LONG, AsyncFile.readlines, split(LONG[BLOCK:]), LONG[64:BLOCK], id="long-readlines"
        ),
    ],
)
def test_after_first_readline(
    opened, content: bytes, op: Callable[[AsyncFile], object], result: object, following: bytes
) -> None:
    f = opened(content, "r+b")
    assert f.readline() == split(content)[0]
    assert op(f) == result
    assert list(f) == split(following)


@pytest.mark.parametrize(
    "take, expected",
    [
        pytest.param(AsyncFile.readline, "aa\n", id="readline"),
        pytest.param(next, "aa\n", id="next"),
        pytest.param(AsyncFile.readlines, ["aa\n", "bbbb\n"], id="readlines"),
    ],
)
def test_pending_write_is_handed_over_first(
    make_file, take: Callable[[AsyncFile], object], expected: object
) -> None:
    path = make_file(b"aaaa\nbbbb\n")
    with AsyncFile(path, "r+b").open() as f:
        f.write(b"XX")
        assert take(f) == expected
        assert disk(path) == b"XXaa\nbbbb\n"


# ---- a FIFO fed by a writer process --------------------------------------------------------------

SMALL = b"one\n\ntwo\r\nthree"
LARGE = b"".join(b"%099d\n" % i for i in range(7000))  # 700000 bytes: the pipe outlasts two blocks


@pytest.mark.parametrize(
    "data, expression, expected",
    [
        pytest.param(SMALL, "list(iter(f.readline, ''))", split(SMALL), id="readline"),
        pytest.param(SMALL, "list(f)", split(SMALL), id="iteration"),
        pytest.param(SMALL, "f.readlines() + [f.readline()]", split(SMALL) + [""], id="readlines"),
        pytest.param(LARGE, "list(f)", split(LARGE), id="iteration-large"),
        pytest.param(LARGE, "f.readlines()", split(LARGE), id="readlines-large"),
        pytest.param(
            LARGE,
            "[f.readline()] + f.readlines() + list(f)",
            split(LARGE[:100]) + split(LARGE[BLOCK:]) + split(LARGE[100:BLOCK]),
            id="readline-then-readlines",
        ),
    ],
)
def test_fifo_lines(read_fifo, data: bytes, expression: str, expected: list[str]) -> None:
    assert read_fifo(data, expression) == [expected]
