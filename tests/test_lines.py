"""Line reading: readline, readlines and the synchronous and asynchronous iteration members.

Builtin open(path, "rb") is the oracle for sequences of lines. Intended differences from it: line results are
always str (strict UTF-8) whatever the mode, and readline reads a 262144-byte block ahead, so tell, read, readlines,
relative seeks, truncate and writes after a readline work from the end of that block, not the end of the line.
"""

import io
import json
import os
import subprocess
import sys
from collections.abc import Callable

import pytest

from _larkspan_core import AsyncFile

BLOCK = 262144
NOT_OPEN = "File not open"
TIMEOUT = 20
FIVE = b"a\nb\nc\nd\ne\n"
AH = b"abcdefgh\nij\n"


def cast_error(value: object) -> str:
    return f"Unable to cast Python instance of type {type(value)} to C++ type 'unsigned long'"


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


READERS = {"readline": by_readline, "next": list, "anext": by_anext, "readlines": AsyncFile.readlines}

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


# ---- line boundaries and limits ------------------------------------------------------------------------------------

@pytest.mark.parametrize("reader", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("content", CONTENTS.values(), ids=CONTENTS.keys())
def test_lines_match_builtin(opened, content: bytes, reader: Callable[[AsyncFile], list[str]]) -> None:
    f = opened(content)
    assert reader(f) == split(content)
    assert f.readline() == ""
    with pytest.raises(StopIteration):
        next(f)


@pytest.mark.parametrize("content, limits, expected", [
    pytest.param(AH, [5, None], ["abcde", "fgh\n"], id="5-splits-line"),
    pytest.param(AH, [8, None], ["abcdefgh", "\n"], id="8-leaves-newline"),
    pytest.param(AH, [9, None], ["abcdefgh\n", "ij\n"], id="9-whole-line"),
    pytest.param(AH, [0, None], ["", "abcdefgh\n"], id="0-touches-nothing"),
    pytest.param(AH, [None, None, None], ["abcdefgh\n", "ij\n", ""], id="none-is-no-limit"),
    pytest.param(AH, [5, 5, 5, 0], ["abcde", "fgh\n", "ij\n", ""], id="limit-stops-at-newline"),
    pytest.param(b"x" * 300000 + b"\n", [BLOCK, None], None, id="limit-at-block-end"),
    pytest.param(b"ab\n" + b"x" * 300000 + b"\n", [None, BLOCK - 3, None], None, id="limit-at-block-end-mid-file"),
    pytest.param(b"x" * 600000, [BLOCK + 1, BLOCK - 1, 5, 0, 2], None, id="limits-across-blocks"),
    pytest.param(b"x" * (BLOCK - 2) + b"\nyy\n", [BLOCK, 1], None, id="newline-before-limit"),
])
def test_readline_limits(make_file, content: bytes, limits: list[int | None], expected: list[str] | None) -> None:
    path = make_file(content)
    with open(path, "rb") as builtin:
        oracle = [builtin.readline(n).decode() for n in limits] + split(builtin.read())
    with AsyncFile(path, "rb").open() as f:
        got = [f.readline(n) for n in limits] + by_readline(f)
    assert got == oracle
    assert expected is None or got[:len(expected)] == expected


@pytest.mark.parametrize("hint", [None, 0, 1, 5, 2**64 - 1])
def test_readlines_ignores_hint(opened, hint: int | None) -> None:
    assert opened(b"one\ntwo\nthree\n").readlines(hint) == ["one\n", "two\n", "three\n"]


@pytest.mark.parametrize("mode", ["r", "rb", "r+", "r+b"])
def test_line_results_are_str_in_every_mode(opened, mode: str) -> None:
    f = opened(b"a\nb\nc\nd\n", mode)
    results = [f.readline(), f.readline(1), next(f), f.__anext__()]
    assert results == ["a\n", "b", "\n", "c\n"] and all(type(r) is str for r in results)
    assert f.seek(0) == 0 and f.readlines() == ["a\n", "b\n", "c\n", "d\n"]


# ---- decoding failures ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("take", [AsyncFile.readline, next, AsyncFile.__anext__], ids=["readline", "next", "anext"])
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


# ---- the sticky end state ------------------------------------------------------------------------------------------

def reopen(f: AsyncFile) -> None:
    f.close()
    f.open()


@pytest.mark.parametrize("leave", [lambda f: f.seek(0), reopen], ids=["seek0", "reopen"])
def test_end_is_sticky_until_seek_or_reopen(make_file, leave: Callable[[AsyncFile], object]) -> None:
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
        # the end mark belongs to the read-ahead: readlines works from the stream and sees the new line
        assert f.readlines() == ["three\n"]
        with pytest.raises(StopIteration):
            f.__anext__()
        leave(f)
        assert list(f) == ["one\n", "two\n", "three\n"]


# ---- the read-ahead against the other operations -------------------------------------------------------------------

REST = ["b\n", "c\n", "d\n", "e\n"]


@pytest.mark.parametrize("op, result, following", [
    pytest.param(AsyncFile.tell, 10, REST, id="tell-at-block-end"),
    pytest.param(lambda f: f.read(3), b"", REST, id="read-starts-after-block"),
    pytest.param(AsyncFile.read, b"", REST, id="read-all-starts-after-block"),
    pytest.param(AsyncFile.readlines, [], REST, id="readlines-starts-after-block"),
    pytest.param(lambda f: f.seek(0, 1), 10, [], id="relative-seek-discards-block"),
    pytest.param(lambda f: (f.seek(100), f.readlines()), (100, []), [], id="seek-past-end"),
    pytest.param(lambda f: f.seek(0), 0, ["a\n", *REST], id="seek0-rereads"),
])
def test_after_first_readline(opened, op: Callable[[AsyncFile], object], result: object,
                              following: list[str]) -> None:
    f = opened(FIVE)
    assert f.readline() == "a\n"
    assert op(f) == result
    assert list(f) == following


LONG = [b"%063d\n" % i for i in range(5000)]  # 64-byte lines: 4096 of them fill the block exactly


@pytest.mark.parametrize("op, result, held", [
    pytest.param(AsyncFile.tell, BLOCK, LONG[1:], id="tell"),
    pytest.param(lambda f: f.seek(0, 1), BLOCK, LONG[4096:], id="seek-relative"),
    pytest.param(AsyncFile.read, b"".join(LONG[4096:]), LONG[1:4096], id="read"),
    pytest.param(AsyncFile.readlines, [line.decode() for line in LONG[4096:]], LONG[1:4096], id="readlines"),
])
def test_readahead_on_multi_block_file(opened, op: Callable[[AsyncFile], object], result: object,
                                       held: list[bytes]) -> None:
    f = opened(b"".join(LONG), "r+b")
    assert f.readline() == LONG[0].decode()
    assert op(f) == result
    assert list(f) == [line.decode() for line in held]


def test_truncate_after_readline_cuts_at_block_end(opened) -> None:
    f = opened(b"".join(LONG), "r+b")
    assert f.readline() == LONG[0].decode()
    f.truncate()
    assert os.path.getsize(f.name) == BLOCK
    assert f.readline() == LONG[1].decode()


def test_write_after_readline_lands_after_block(make_file) -> None:
    path = make_file(FIVE)
    with AsyncFile(path, "r+b").open() as f:
        assert f.readline() == "a\n"
        assert f.write(b"XY\n") == 3
        assert f.tell() == 13
        assert f.readline() == "b\n"  # hands the write over, then goes on from the block
        assert list(f) == ["c\n", "d\n", "e\n"]
    with open(path, "rb") as builtin:
        assert builtin.read() == FIVE + b"XY\n"


@pytest.mark.parametrize("take, expected", [
    pytest.param(AsyncFile.readline, "aa\n", id="readline"),
    pytest.param(next, "aa\n", id="next"),
    pytest.param(AsyncFile.readlines, ["aa\n", "bbbb\n"], id="readlines"),
])
def test_pending_write_is_handed_over_first(make_file, take: Callable[[AsyncFile], object], expected: object) -> None:
    path = make_file(b"aaaa\nbbbb\n")
    with AsyncFile(path, "r+b").open() as f:
        f.write(b"XX")
        assert take(f) == expected
        with open(path, "rb") as builtin:
            assert builtin.read() == b"XXaa\nbbbb\n"


@pytest.mark.parametrize("method, value", [("readline", -1), ("readlines", 1.5)], ids=["readline", "readlines"])
def test_failed_cast_hands_nothing_over(make_file, method: str, value: object) -> None:
    path = make_file(b"aaaa\nbbbb\n")
    with AsyncFile(path, "r+b").open() as f:
        f.write(b"XX")
        with pytest.raises(RuntimeError) as e:
            getattr(f, method)(value)
        assert str(e.value) == cast_error(value)
        with open(path, "rb") as builtin:
            assert builtin.read() == b"aaaa\nbbbb\n"
        assert f.tell() == 2
        assert f.readline() == "aa\n"


# ---- closed objects and bad arguments ------------------------------------------------------------------------------

@pytest.fixture(params=["never-opened", "closed"])
def closed_file(request, make_file) -> AsyncFile:
    f = AsyncFile(make_file(FIVE), "rb")
    if request.param == "closed":
        f.open().close()
    return f


@pytest.mark.parametrize("call", [
    AsyncFile.readline, lambda f: f.readline(0), lambda f: f.readline(5), AsyncFile.readlines, next,
    AsyncFile.__anext__,
], ids=["readline", "readline-0", "readline-5", "readlines", "next", "anext"])
def test_closed_file_refuses_lines(closed_file: AsyncFile, call: Callable[[AsyncFile], object]) -> None:
    assert iter(closed_file) is closed_file and closed_file.__aiter__() is closed_file
    with pytest.raises(RuntimeError) as e:
        call(closed_file)
    assert str(e.value) == NOT_OPEN


@pytest.mark.parametrize("method, value", [
    pytest.param("readline", -1, id="readline-negative"),
    pytest.param("readline", 1.5, id="readline-float"),
    pytest.param("readline", 2**64, id="readline-too-big"),
    pytest.param("readlines", -1, id="readlines-negative"),
    pytest.param("readlines", "3", id="readlines-str"),
])
@pytest.mark.parametrize("state", ["open", "never-opened", "closed"])
def test_bad_count_fails_cast_before_open_check(make_file, state: str, method: str, value: object) -> None:
    f = AsyncFile(make_file(FIVE), "rb")
    if state != "never-opened":
        f.open()
    if state == "closed":
        f.close()
    with pytest.raises(RuntimeError) as e:
        getattr(f, method)(value)
    assert str(e.value) == cast_error(value)
    if state == "open":
        assert f.readline() == "a\n"
        f.close()


def test_async_members_return_plain_values(opened) -> None:
    f = opened(b"one\ntwo")
    assert f.__aiter__() is f
    assert [f.__anext__(), f.__anext__()] == ["one\n", "two"]
    with pytest.raises(StopIteration) as e:
        f.__anext__()
    assert str(e.value) == ""


# ---- write-only modes ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("mode, on_disk", [
    ("w", b"x\n"), ("wb", b"x\n"), ("a", b"a\nb\nx\n"), ("ab", b"a\nb\nx\n"),
])
def test_write_only_modes_have_no_lines(make_file, mode: str, on_disk: bytes) -> None:
    path = make_file(b"a\nb\n")
    with AsyncFile(path, mode).open() as f:
        assert f.readline() == "" and f.readline(3) == ""
        assert list(f) == [] and f.readlines() == []
        f.write(b"x\n")
        assert f.readline() == "" and f.readlines() == []
    with open(path, "rb") as builtin:
        assert builtin.read() == on_disk


# ---- a FIFO fed by a writer process --------------------------------------------------------------------------------

FIFO_READER = """
import json, sys
from _larkspan_core import AsyncFile
f = AsyncFile(sys.argv[1], "rb").open()
out = eval(sys.argv[2])
f.close()
json.dump(out, sys.stdout)
"""
FIFO_WRITER = "import sys; data = sys.stdin.buffer.read(); open(sys.argv[1], 'wb').write(data)"
SMALL = b"one\n\ntwo\r\nthree"
LARGE = b"".join(b"%099d\n" % i for i in range(7000))  # 700000 bytes: the pipe outlasts two blocks


def read_fifo(path: str, data: bytes, expression: str) -> list[str]:
    """Runs the reader in a child so a fault that blocks with the interpreter lock held cannot hang the suite."""
    os.mkfifo(path)
    reader = subprocess.Popen([sys.executable, "-c", FIFO_READER, path, expression],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    writer = subprocess.Popen([sys.executable, "-c", FIFO_WRITER, path], stdin=subprocess.PIPE)
    try:
        writer.communicate(data, timeout=TIMEOUT)
        out, err = reader.communicate(timeout=TIMEOUT)
    finally:
        for child in (writer, reader):
            if child.poll() is None:
                child.kill()
                child.wait()
    assert reader.returncode == 0, err.decode()
    return json.loads(out)


@pytest.mark.parametrize("data, expression, expected", [
    pytest.param(SMALL, "list(iter(f.readline, ''))", split(SMALL), id="readline"),
    pytest.param(SMALL, "list(f)", split(SMALL), id="iteration"),
    pytest.param(SMALL, "f.readlines() + [f.readline()]", split(SMALL) + [""], id="readlines"),
    pytest.param(LARGE, "list(f)", split(LARGE), id="iteration-large"),
    pytest.param(LARGE, "f.readlines()", split(LARGE), id="readlines-large"),
    pytest.param(LARGE, "[f.readline()] + f.readlines() + list(f)",
                 split(LARGE[:100]) + split(LARGE[BLOCK:]) + split(LARGE[100:BLOCK]), id="readline-then-readlines"),
])
def test_fifo_lines(tmp_path, data: bytes, expression: str, expected: list[str]) -> None:
    assert read_fifo(str(tmp_path / "fifo"), data, expression) == expected
