"""TextHandle against builtin open() in the same text mode: the same calls in the same order give
the same results, exceptions (class and message) and bytes on disk after close."""

import asyncio
import builtins
import io
import os
import subprocess
import sys
from collections.abc import Awaitable, Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TypeAlias

import larkspan
import pytest
from conftest import FIFO_WRITER, TIMEOUT, disk, examples, spend_the_loops_budget
from differential.oracle import SoundTextIOWrapper, sound_binary
from hypothesis import given
from hypothesis import strategies as st
from larkspan._arguments import check_text_arguments
from larkspan._readahead import CHUNK_SIZE
from larkspan._text import TextHandle
from test_front_waits import Writer, fifo  # noqa: F401  (fifo is a fixture)

Op: TypeAlias = tuple[
    Any, ...
]  # a method name (or "next", "seek_told", an attribute) and its arguments
ATTRIBUTES = ("newlines", "encoding", "errors", "closed", "mode", "line_buffering", "write_through")
ENGINE_BLOCK = 256 << 10
EXAMPLES = examples(quick=150, long=2000)

# ---- running the same calls on both sides --------------------------------------------------------


def binary(mode: str) -> str:
    return mode.replace("t", "") + "b"


def described(error: BaseException) -> tuple[type, str]:
    return type(error), str(error)


def builtin_step(f: io.TextIOWrapper, cookies: list[int], op: Op) -> object:
    name, *args = op
    if name == "disk":
        return disk(f.name)
    if name == "next":
        return next(f, "EOF")
    if name == "seek_told":
        return f.seek(cookies[args[0]], *args[1:])
    if name in ATTRIBUTES:
        return getattr(f, name)
    result = getattr(f, name)(*args)
    if name == "tell":
        cookies.append(result)
    return result


async def our_step(f: TextHandle, cookies: list[int], op: Op) -> object:
    name, *args = op
    if name == "disk":
        return disk(f.name)
    if name == "next":
        return await anext(f, "EOF")
    if name == "seek_told":
        return await f.seek(cookies[args[0]], *args[1:])
    if name in ATTRIBUTES:
        return getattr(f, name)
    result = getattr(f, name)(*args)
    result = await result if asyncio.iscoroutine(result) else result
    if name == "tell":
        cookies.append(result)
    return result


def run_builtin(path: str, mode: str, options: dict, ops: list[Op]) -> list[object]:
    outcomes: list[object] = []
    cookies: list[int] = []
    # What open() does for a text mode, with the wrapper's own options (line_buffering,
    # write_through), and builtin's faults that larkspan does not copy corrected (see
    # fuzz/differential/oracle.py).
    wrapper_options = {name: value for name, value in options.items() if name != "buffer_size"}
    buffering = options.get("buffer_size", -1)
    raw = sound_binary(builtins.open(path, binary(mode), buffering=buffering), mode, buffering)
    with SoundTextIOWrapper(raw, **wrapper_options) as f:
        f.mode = mode
        for op in ops:
            try:
                outcomes.append(builtin_step(f, cookies, op))
            except Exception as error:
                outcomes.append(described(error))
    return [*outcomes, after(path)]


async def run_ours(path: str, mode: str, options: dict, ops: list[Op]) -> list[object]:
    outcomes: list[object] = []
    cookies: list[int] = []
    raw = await larkspan.open(path, binary(mode))
    async with TextHandle(
        raw, **{"encoding": None, "errors": None, "newline": None} | options
    ) as f:
        f.mode = mode  # as open() sets it
        for op in ops:
            try:
                outcomes.append(await asyncio.wait_for(our_step(f, cookies, op), TIMEOUT))
            except Exception as error:
                outcomes.append(described(error))
    return [*outcomes, after(path)]


def after(path: str) -> bytes | None:
    """The bytes on disk after close, or None for a FIFO, whose bytes are gone once read."""
    return disk(path) if os.path.isfile(path) else None


def compare(tmp_path: Path, content: bytes, mode: str, options: dict, ops: list[Op]) -> None:
    theirs, ours = tmp_path / "theirs", tmp_path / "ours"
    theirs.write_bytes(content)
    ours.write_bytes(content)
    expected = run_builtin(str(theirs), mode, options, ops)
    got = asyncio.run(run_ours(str(ours), mode, options, ops))
    for op, want, have in zip([*ops, ("bytes on disk",)], expected, got, strict=True):
        assert have == want, f"{op} in mode {mode!r} with {options}"


# ---- contents ------------------------------------------------------------------------------------

# Lines of growing length, so that chunk and block boundaries fall inside every kind of character
# and inside "\r\n".
WIDE = "é€😀日\r"


def straddling(total: int) -> str:
    lines, size, width = [], 0, 1
    while size < total:
        line = "x" * width + WIDE + "\r\n" if width % 3 else "y" * width + "\n"
        lines.append(line)
        size += len(line)
        width = width % 97 + 1
    return "".join(lines)


TEXTS = {
    "empty": "",
    "lf": "one\ntwo\n\nthree",
    "crlf": "one\r\ntwo\r\n",
    "mixed": "a\rb\r\nc\nd\r\re\n\r",
    "wide": "é😀ü\nÿ€\r\n日本語\rend\r",
    "other separators": "form\x0cfeed\nu\u2028v\x85w\n\x0b\x1c\x1d\x1e\nlone\rcr\n\x0c",
    "chunks": straddling(3 * CHUNK_SIZE),
}
ENCODINGS = ["utf-8", "latin-1", "utf-16", "utf-32", "utf-8-sig", "cp1252", "shift_jis"]
NEWLINES = [None, "", "\n", "\r", "\r\n"]


def encoded(text: str, encoding: str) -> bytes:
    return text.encode(encoding, "replace")


# ---- read scripts --------------------------------------------------------------------------------

READS: dict[str, list[Op]] = {
    "read all": [("read",), ("read",), ("tell",), ("newlines",)],
    "read 1": [("read", 1)] * 12 + [("tell",), ("read", None)],
    "read 7": [("read", 7), ("tell",)] * 6 + [("newlines",)],
    "read 5000": [("read", 5000), ("tell",)] * 6 + [("read", 0)],
    "read 9000": [("read", 9000), ("newlines",)] * 4 + [("tell",)],
    "readline": [("readline",), ("tell",)] * 7 + [("read",)],
    "readline limits": [("readline", n) for n in (0, 1, 2, 3, 5, 100, -1, 0, 1, 8190, 8300)]
    + [("tell",)],
    "readlines": [("readlines",), ("tell",), ("newlines",)],
    "readlines hint": [
        ("readlines", 5),
        ("tell",),
        ("readline",),
        ("flush",),
        ("tell",),
        ("readlines", 0),
    ],
    "iteration": [("next",)] * 4
    + [("tell",), ("readline",), ("next",), ("seek", 0), ("tell",)]
    + [("next",)] * 200
    + [("tell",)],
    "tell and seek": [
        ("readline",),
        ("tell",),
        ("read", 3),
        ("tell",),
        ("readline",),
        ("tell",),
        ("seek_told", 0),
        ("read", 5),
        ("seek_told", 1),
        ("readline",),
        ("seek_told", 2),
        ("read", 10),
        ("seek", 0),
        ("read", 2),
        ("tell",),
        ("seek", 0, 2),
        ("tell",),
        ("seek", 0, 1),
        ("seek_told", 3),
        ("read",),
    ],
    "closed": [
        ("close",),
        ("read",),
        ("read", "x"),
        ("readline",),
        ("readlines",),
        ("next",),
        ("tell",),
        ("seek", 0),
        ("seek", 0, 5),
        ("flush",),
        ("truncate",),
        ("fileno",),
        ("isatty",),
        ("readable",),
        ("writable",),
        ("seekable",),
        ("closed",),
        ("newlines",),
        ("close",),
    ],
    "seek refusals": [
        ("mode",),
        ("readable",),
        ("writable",),
        ("seekable",),
        ("isatty",),
        ("seek", 1, 1),
        ("seek", 1, 2),
        ("seek", 0, 3),
        ("seek", -1),
        ("seek", "a"),
        ("read", 1),
        ("seek", 0, 1),
        ("write", "x"),
        ("truncate",),
        ("writelines", ["x"]),
    ],
}


@pytest.mark.parametrize("newline", NEWLINES, ids=repr)
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("script", READS.values(), ids=READS.keys())
def test_reads_match_builtin(
    tmp_path: Path, script: list[Op], encoding: str, newline: str | None
) -> None:
    for text in TEXTS.values():
        compare(
            tmp_path,
            encoded(text, encoding),
            "r",
            {"encoding": encoding, "newline": newline},
            script,
        )


# ---- write and mixed scripts ---------------------------------------------------------------------

WRITES: dict[str, list[Op]] = {
    "write and read back": [
        ("write", "first\nsecond\r\nthird\rend"),
        ("tell",),
        ("seek", 0),
        ("read",),
        ("tell",),
        ("newlines",),
        ("write", ""),
        ("seek", 0),
        ("readlines",),
    ],
    "writelines": [
        ("writelines", ["a\n", "b\r\n", "", "c"]),
        ("seek", 0),
        ("readlines",),
        ("writelines", []),
    ],
    "write after read": [
        ("readline",),
        ("write", "X\n"),
        ("tell",),
        ("read", 4),
        ("seek", 0),
        ("read",),
    ],
    "write at a told place": [
        ("read", 3),
        ("tell",),
        ("readline",),
        ("seek_told", 0),
        ("write", "YZ\n"),
        ("seek", 0),
        ("read",),
        ("seek_told", 0),
        ("readline",),
    ],
    "truncate": [
        ("readline",),
        ("truncate",),
        ("seek", 0),
        ("truncate", 3),
        ("read",),
        ("write", "é"),
        ("seek", 0),
        ("read",),
        ("truncate", 0),
        ("tell",),
    ],
    "end then write": [("seek", 0, 2), ("write", "tail\n"), ("seek", 0, 1), ("seek", 0), ("read",)],
    "byte-order marks": [
        ("write", ""),
        ("write", "a"),
        ("seek", 0),
        ("write", "b"),
        ("seek", 0, 2),
        ("write", "c"),
        ("seek", 0),
        ("read",),
    ],
    "refusals": [
        ("readable",),
        ("writable",),
        ("seekable",),
        ("write", b"x"),
        ("write", 5),
        ("writelines", 5),
        ("writelines", ["ok", b"no", "never"]),
        ("read", "x"),
        ("readline", None),
        ("readlines", 1.5),
        ("seek", 0, None),
    ],
    "closed": [
        ("readline",),
        ("close",),
        ("write", "x"),
        ("write", b"x"),
        ("writelines", 5),
        ("readable",),
        ("writable",),
        ("seekable",),
        ("read", 1),
        ("tell",),
        ("truncate", 0),
        ("close",),
    ],
    "unencodable": [
        ("write", "snow ☃ man\n"),
        ("write", "lone \udc80 surrogate"),
        ("write", "ok\n"),
        ("seek", 0),
        ("read",),
    ],
}
WRITE_MODES = ["w", "w+", "a", "a+", "r+"]


@pytest.mark.parametrize("newline", NEWLINES, ids=repr)
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("mode", WRITE_MODES)
@pytest.mark.parametrize("script", WRITES.values(), ids=WRITES.keys())
def test_writes_match_builtin(
    tmp_path: Path, script: list[Op], mode: str, encoding: str, newline: str | None
) -> None:
    for name in ("empty", "mixed", "chunks"):
        compare(
            tmp_path,
            encoded(TEXTS[name], encoding),
            mode,
            {"encoding": encoding, "newline": newline},
            script,
        )


# Writes of every size around the binary buffer's and the text chunk's, each followed by reads that
# do not flush: builtin's BufferedRandom.read1() would read the bytes at the writes' place and put
# the writes after them; the oracle, as larkspan, writes them first and reads what follows them.
WRITES_THEN_READS = [
    op
    for size in (10, 100, 3000, 5000, 9000)
    for op in (("write", "w\n" * size), ("readline",), ("read", 3))
]


@pytest.mark.parametrize(
    "buffer_size", [{}, {"buffer_size": 64}, {"buffer_size": 1 << 16}], ids=str
)
@pytest.mark.parametrize("mode", ["r+", "a+", "w+"])
def test_reads_after_writes_read_what_follows_them(
    tmp_path: Path, mode: str, buffer_size: dict
) -> None:
    ops = [*WRITES_THEN_READS, ("tell",), ("seek", 0), ("read",)]
    compare(tmp_path, TEXTS["chunks"].encode(), mode, buffer_size, ops)


# ---- error handlers over bytes that do not decode ------------------------------------------------

BAD_BYTES = {
    "utf-8": b"ok\n\xff bad\r\n\xc3\n\xe2\x82\r"
    + b"a" * (CHUNK_SIZE - 14)
    + b"\xe2\x82\xac\xe2\x82\n\xf0\x9f",
    "shift_jis": b"ok\n\x81\n\xa0\xfd\r\n" + b"a" * (CHUNK_SIZE - 8) + b"\x93\xfa\x96\n\x81",
    "utf-16": "ok\n".encode("utf-16")
    + b"\x00\xd8a\x00\r\x00\n\x00"
    + b"b\x00" * CHUNK_SIZE
    + b"\x00\xdc\n",
    "ascii": b"ok\n\x80\xff\r\nend",
}
ERRORS = [
    "strict",
    "ignore",
    "replace",
    "surrogateescape",
    "backslashreplace",
    "surrogatepass",
    "namereplace",
    "xmlcharrefreplace",
]
ERROR_SCRIPTS: dict[str, tuple[str, list[Op]]] = {
    "read all": ("r", [("read",), ("tell",)]),
    "read 3": ("r", [("read", 3), ("tell",)] * 6 + [("read", CHUNK_SIZE), ("read", 5)]),
    "lines": ("r", [("readline",), ("tell",)] * 5 + [("readlines",)]),
    "seek back": ("r", [("read", 5), ("tell",), ("read", 20), ("seek_told", 0), ("read",)]),
    "write": ("w+", [("write", "é☃\udc80\udcff x\n"), ("seek", 0), ("read",)]),
}


@pytest.mark.parametrize("errors", ERRORS)
@pytest.mark.parametrize("encoding", BAD_BYTES)
@pytest.mark.parametrize("mode, script", ERROR_SCRIPTS.values(), ids=ERROR_SCRIPTS.keys())
def test_error_handlers_match_builtin(
    tmp_path: Path, mode: str, script: list[Op], encoding: str, errors: str
) -> None:
    for newline in (None, ""):
        options = {"encoding": encoding, "errors": errors, "newline": newline}
        compare(tmp_path, BAD_BYTES[encoding], mode, options, script)


# ---- arguments -----------------------------------------------------------------------------------

ARGUMENTS = {
    "unknown encoding": {"encoding": "bogus"},
    "binary codec": {"encoding": "hex"},
    "encoding not str": {"encoding": 5},
    "errors not str": {"errors": 5.0, "encoding": "bogus"},
    "illegal newline": {"newline": "x", "encoding": "bogus"},
    "newline not str": {"newline": b"\n"},
    "null in newline": {"newline": "\n\0"},
    "null in errors": {"errors": "strict\0"},
    "surrogate in encoding": {"encoding": "\udc80"},
    "unknown handler": {"errors": "bogus"},
    "fine": {"encoding": "UTF8", "errors": "replace", "newline": "\r\n"},
}


@pytest.mark.parametrize("arguments", ARGUMENTS.values(), ids=ARGUMENTS.keys())
def test_argument_checks_raise_what_open_raises(tmp_path: Path, arguments: dict) -> None:
    def outcome(call: Callable[[], object]) -> object:
        try:
            call()
        except Exception as error:
            return described(error)
        return None

    options = {"encoding": None, "errors": None, "newline": None} | arguments
    expected = outcome(lambda: builtins.open(tmp_path / "f", "w", **options).close())
    assert outcome(lambda: check_text_arguments(**options)) == expected


# ---- positions a seek() restores -----------------------------------------------------------------

# Each row: the content, the mode and options, and calls whose outcomes must be builtin's.
# "seek_told" goes back to a cookie; the cookies taken after a held-back "\r" or mid "\r\n" need
# bytes replayed.
AFTER_A_SEEK = 8190 * b"x"
RESTORED_POSITIONS: dict[str, tuple[bytes, str, dict, list[Op]]] = {
    # issue 21 row 1: the write landed after the "\r" that the cookie's replay read past
    "write after a held-back \\r": (
        b"M\rM\r",
        "r+",
        {},
        [("readline",), ("tell",), ("seek_told", 0), ("write", "X"), ("read", 1), ("tell",)],
    ),
    # row 1b: tell() counted a byte the replay had not read
    "tell after the replay": (
        b"v\rv\r",
        "r",
        {},
        [("readline", 2), ("tell",), ("seek_told", 0), ("read", 1), ("tell",)],
    ),
    # row 1c: the same in the middle of "\r\n", past the end of the file, where a write left a NUL
    "tell inside \\r\\n": (
        b"aaap\r\n",
        "r+",
        {"newline": ""},
        [("read", 5), ("tell",), ("seek_told", 0), ("readline", 1), ("tell",), ("write", "Z")],
    ),
    # row 1d: after the seek, the chunk ends where builtin's binary buffer ends, before the bad byte
    "chunk after a replay": (
        b"ab\rc\n" + AFTER_A_SEEK + b"\xff",
        "r+",
        {},
        [
            ("readline",),
            ("tell",),
            ("seek_told", 0),
            ("readline",),
            ("newlines",),
            ("truncate",),
            ("read", 5),
        ],
    ),
    "chunk after a replay, read only": (
        b"ab\rc\n" + AFTER_A_SEEK + b"\xff",
        "r",
        {},
        [
            ("readline",),
            ("tell",),
            ("seek_told", 0),
            ("readline",),
            ("newlines",),
            ("tell",),
            ("read",),
        ],
    ),
    "replay past a whole block": (
        b"\r" + "é".encode() * 5000 + b"\xff" * 9000,
        "r",
        {"buffer_size": 64},
        [("read", 4000), ("tell",), ("seek_told", 0), ("read", 3), ("tell",), ("read", 100)],
    ),
    "seek inside the buffer keeps it": (
        b"a\rb" + AFTER_A_SEEK + b"\xff",
        "r",
        {},
        [
            ("readline",),
            ("tell",),
            ("seek_told", 0),
            ("read", 1),
            ("seek_told", 0),
            ("readline",),
            ("tell",),
            ("read", 3),
        ],
    ),
    "flush of an update file drops the buffer": (
        b"a\rb" + AFTER_A_SEEK + b"\xff",
        "r+",
        {},
        [("readline",), ("tell",), ("seek_told", 0), ("tell",), ("readline",)],
    ),
    "write over the buffer drops it": (
        b"a\rb" + AFTER_A_SEEK + b"\xff",
        "r+",
        {},
        [("readline",), ("tell",), ("seek_told", 0), ("write", "W"), ("readline",)],
    ),
    "seek to the end drops the buffer": (
        b"a\rb" + AFTER_A_SEEK,
        "r",
        {},
        [
            ("readline",),
            ("tell",),
            ("seek_told", 0),
            ("seek", 0, 2),
            ("seek_told", 0),
            ("readline",),
        ],
    ),
}


@pytest.mark.parametrize("encoding", ["utf-8", "latin-1"])
@pytest.mark.parametrize(
    "content, mode, options, ops", RESTORED_POSITIONS.values(), ids=RESTORED_POSITIONS.keys()
)
def test_a_seek_restores_builtins_position_and_chunks(
    tmp_path: Path, content: bytes, mode: str, options: dict, ops: list[Op], encoding: str
) -> None:
    compare(tmp_path, content, mode, {"encoding": encoding} | options, ops)


# ---- where builtin's text files are wrong --------------------------------------------------------


async def our_outcomes(
    path: Path, mode: str, options: dict, calls: list[Callable[[Any], Any]]
) -> list[object]:
    outcomes: list[object] = []
    async with larkspan.open(path, mode, **options) as f:
        for call in calls:
            try:
                result = call(f)
                outcomes.append(await result if asyncio.iscoroutine(result) else result)
            except Exception as error:
                outcomes.append(described(error))
    return outcomes


def surrogate_refused(codec: str) -> tuple[type, str]:
    return (
        UnicodeEncodeError,
        f"'{codec}' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
    )


Calls: TypeAlias = list[Callable[[Any], Any]]
SOUND_WHERE_BUILTIN_IS_NOT: dict[
    str, tuple[bytes | None, str, dict, Calls, list[object], bytes]
] = {
    # builtin: tell() gives 14, the end, from no snapshot at all
    "tell after next() and flush()": (
        b"one\ntwo\nthree\n",
        "r",
        {},
        [anext, lambda f: f.flush(), lambda f: f.tell(), lambda f: f.readline()],
        ["one\n", None, 4, "two\n"],
        b"one\ntwo\nthree\n",
    ),
    # builtin: read(3) gives "012" and "ab" lands at 3
    "read after writes in r+": (
        b"0123456789",
        "r+",
        {},
        [lambda f: f.write("ab"), lambda f: f.read(3)],
        [2, "234"],
        b"ab23456789",
    ),
    # builtin: the second write has no byte-order mark
    "utf-16 after a write that failed": (
        None,
        "w",
        {"encoding": "utf-16"},
        [lambda f: f.write("\ud800"), lambda f: f.write("a")],
        [surrogate_refused("utf-16"), 1],
        "a".encode("utf-16"),
    ),
    "utf-8-sig after a write that failed": (
        None,
        "w",
        {"encoding": "utf-8-sig"},
        [lambda f: f.write("\ud800"), lambda f: f.write("a")],
        [surrogate_refused("utf-8"), 1],
        "a".encode("utf-8-sig"),
    ),
}


@pytest.mark.parametrize(
    "content, mode, options, calls, outcomes, on_disk",
    SOUND_WHERE_BUILTIN_IS_NOT.values(),
    ids=SOUND_WHERE_BUILTIN_IS_NOT.keys(),
)
def test_sound_where_builtins_text_files_are_not(
    tmp_path: Path,
    content: bytes | None,
    mode: str,
    options: dict,
    calls: list,
    outcomes: list[object],
    on_disk: bytes,
) -> None:
    path = tmp_path / "f"
    if content is not None:
        path.write_bytes(content)
    assert asyncio.run(our_outcomes(path, mode, options, calls)) == outcomes
    assert path.read_bytes() == on_disk


# ---- random call sequences -----------------------------------------------------------------------

TEXT = st.text(st.sampled_from("ab\r\né😀日"), max_size=40)
OPS = st.lists(
    st.one_of(
        st.tuples(st.just("read"), st.none() | st.integers(-1, 3 * CHUNK_SIZE)),
        st.tuples(st.just("readline"), st.integers(-1, 60)),
        st.tuples(st.just("readlines"), st.integers(-1, 60)),
        st.tuples(st.just("write"), TEXT),
        st.tuples(st.just("write"), st.integers(1, 3 * CHUNK_SIZE).map(lambda n: "w\n" * n)),
        st.tuples(st.just("seek_told"), st.integers(0, 3)),
        st.tuples(st.just("truncate"), st.none() | st.integers(0, 2 * CHUNK_SIZE)),
        st.sampled_from(
            [
                ("next",),
                ("tell",),
                ("tell",),
                ("seek", 0),
                ("seek", 0, 2),
                ("seek", 0, 1),
                ("flush",),
                ("newlines",),
            ]
        ),
    ),
    max_size=25,
)


@EXAMPLES
@given(
    padding=st.sampled_from([0, CHUNK_SIZE - 3, 2 * CHUNK_SIZE - 1]),
    text=TEXT,
    encoding=st.sampled_from(["utf-8", "utf-16", "shift_jis", "latin-1"]),
    newline=st.sampled_from(NEWLINES),
    mode=st.sampled_from(["r+", "w+", "a+", "r", "w"]),
    buffering=st.sampled_from(
        [{}, {"line_buffering": True}, {"write_through": True}, {"buffer_size": 64}]
    ),
    ops=OPS,
)
def test_random_sequences_match_builtin(
    tmp_path_factory: pytest.TempPathFactory,
    padding: int,
    text: str,
    encoding: str,
    newline: str | None,
    mode: str,
    buffering: dict,
    ops: list[Op],
) -> None:
    content = encoded("z" * padding + text, encoding)
    options = {"encoding": encoding, "newline": newline} | buffering
    compare(tmp_path_factory.mktemp("seq"), content, mode, options, ops)


# ---- when writes reach the file ------------------------------------------------------------------

FLUSHES: dict[str, list[Op]] = {
    "plain": [("write", "a"), ("disk",), ("write", "b\n"), ("disk",), ("flush",), ("disk",)],
    "carriage return": [("write", "a\r"), ("disk",), ("write", "b"), ("disk",)],
    "translated": [("write", "x\ny"), ("disk",), ("writelines", ["p", "q\n"]), ("disk",)],
}


@pytest.mark.parametrize(
    "buffering", [{}, {"line_buffering": True}, {"write_through": True}], ids=str
)
@pytest.mark.parametrize("newline", NEWLINES, ids=repr)
@pytest.mark.parametrize("script", FLUSHES.values(), ids=FLUSHES.keys())
def test_flushes_match_builtin(
    tmp_path: Path, script: list[Op], newline: str | None, buffering: dict
) -> None:
    for mode in ("w", "a+"):
        compare(tmp_path, b"old\n", mode, {"newline": newline} | buffering, script)


# ---- files past the engine's blocks, FIFOs, terminals, full devices ------------------------------


@pytest.mark.parametrize("newline", [None, ""], ids=repr)
@pytest.mark.parametrize("encoding", ["utf-8", "utf-16"])
@pytest.mark.parametrize("script", ["read 9000", "readline limits", "iteration", "tell and seek"])
def test_engine_blocks_match_builtin(
    tmp_path: Path, script: str, encoding: str, newline: str | None
) -> None:
    ops = READS[script] + [("read", ENGINE_BLOCK + 5), ("tell",), ("readlines",), ("tell",)]
    content = encoded(straddling(ENGINE_BLOCK + 2 * CHUNK_SIZE), encoding)
    compare(tmp_path, content, "r", {"encoding": encoding, "newline": newline}, ops)


@contextmanager
def fed(fifo: Path, data: bytes) -> Iterator[str]:
    """`fifo`, written `data` by a child that opens it as soon as a reader does."""
    payload = fifo.with_name("payload")
    payload.write_bytes(data)
    writer = subprocess.Popen([sys.executable, "-c", FIFO_WRITER, fifo, payload])
    try:
        yield str(fifo)
    finally:
        writer.kill()
        writer.wait()


FIFO_OPS: list[Op] = [
    ("readline",),
    ("read", 3),
    ("seekable",),
    ("tell",),
    ("seek", 0),
    ("seek", 0, 2),
    ("readline", 2),
    ("newlines",),
    ("next",),
    ("readlines",),
    ("read",),
]


@pytest.mark.threads
@pytest.mark.parametrize("newline", NEWLINES, ids=repr)
@pytest.mark.parametrize("encoding", ["utf-8", "utf-16"])
def test_fifos_match_builtin(fifo: Path, encoding: str, newline: str | None) -> None:
    content = encoded(TEXTS["mixed"] + TEXTS["chunks"], encoding)
    options = {"encoding": encoding, "newline": newline}
    with fed(fifo, content) as path:
        expected = run_builtin(path, "r", options, FIFO_OPS)
    with fed(fifo, content) as path:
        assert asyncio.run(run_ours(path, "r", options, FIFO_OPS)) == expected


async def text_over(path: str | Path, mode: str = "r") -> TextHandle:
    return TextHandle(await larkspan.open(path, binary(mode)), None, None, None)


CANCELLED: dict[str, Callable[[TextHandle], Awaitable[object]]] = {
    "readline": lambda f: f.readline(),
    "read": lambda f: f.read(3 * CHUNK_SIZE),
    "iteration": lambda f: anext(f),
    "readlines": lambda f: f.readlines(),
}


async def loop_turns(count: int = 50) -> None:
    for _ in range(count):
        await asyncio.sleep(0)


@pytest.mark.threads
@pytest.mark.parametrize("call", CANCELLED.values(), ids=CANCELLED.keys())
def test_a_cancelled_read_loses_nothing(fifo: Path, call: Callable) -> None:
    """The read takes the decoded text left by a line, may read a chunk, then waits on the FIFO;
    wherever the cancellation lands, the next read returns everything."""

    async def main() -> str:
        writer = Writer(fifo).start()
        async with await text_over(fifo) as f:
            writer.write(b"x\n" + b"a" * (CHUNK_SIZE - 2))
            assert await f.readline() == "x\n"
            writer.write(b"b" * CHUNK_SIZE)
            task = asyncio.create_task(call(f))
            await loop_turns()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            writer.write(b"def\nghi\n")
            writer.close()
            return await f.read()

    expected = "a" * (CHUNK_SIZE - 2) + "b" * CHUNK_SIZE + "def\nghi\n"
    assert asyncio.run(asyncio.wait_for(main(), TIMEOUT)) == expected


@pytest.mark.threads
def test_calls_queued_behind_a_waiting_read_run_in_the_order_made(fifo: Path) -> None:
    async def main() -> list[object]:
        writer = Writer(fifo).start()
        async with await text_over(fifo) as f:
            calls = [f.readline(), f.read(2), f.readline(), anext(f), f.readlines(), f.read()]
            tasks = [asyncio.create_task(call) for call in calls]  # the first waits for the FIFO
            await loop_turns()
            writer.write(b"one\ntwo\nthree\nfour\nfive\n")
            writer.close()
            return await asyncio.gather(*tasks)

    expected = ["one\n", "tw", "o\n", "three\n", ["four\n", "five\n"], ""]
    assert asyncio.run(asyncio.wait_for(main(), TIMEOUT)) == expected


@pytest.mark.threads
def test_a_terminal_is_one() -> None:
    controller, terminal = os.openpty()
    try:

        async def main() -> bool:
            async with await text_over(os.ttyname(terminal), "w") as f:
                assert f.name == os.ttyname(terminal)
                assert os.path.samestat(os.fstat(f.fileno()), os.fstat(terminal))
                await f.write("hi\n")
                return await f.isatty()

        assert asyncio.run(asyncio.wait_for(main(), TIMEOUT)) is True
        assert os.read(controller, 100) == b"hi\r\n"
    finally:
        os.close(controller)
        os.close(terminal)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_device_fails_the_flush_as_the_binary_layer_does() -> None:
    async def failure(call: Callable[[], Awaitable[object]]) -> tuple[type, str]:
        with pytest.raises(Exception) as raised:
            await call()
        return described(raised.value)

    async def main() -> None:
        raw = await larkspan.open("/dev/full", "wb")
        await raw.write(b"x")
        text = await text_over("/dev/full", "w")
        await text.write("x")  # gathered: nothing fails yet
        assert await failure(text.flush) == await failure(raw.flush)

    asyncio.run(asyncio.wait_for(main(), TIMEOUT))


# A text close() lets the loop run before it acts (it flushes in its turn, shielded); a call
# issued after it still finds the file closed, as builtin's does.
AFTER_CLOSE: dict[str, Callable[[Any], Awaitable[object]]] = {
    "writelines([])": lambda f: f.writelines([]),
    "writelines(not iterable)": lambda f: f.writelines(1),
    "readlines()": lambda f: f.readlines(),
    "isatty()": lambda f: f.isatty(),
    "write('')": lambda f: f.write(""),
}


@pytest.mark.parametrize("call", AFTER_CLOSE)
def test_a_call_issued_after_close_finds_the_file_closed(tmp_path: Path, call: str) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"one\n")

    async def main() -> object:
        f = await larkspan.open(path, "r+")
        outcomes = await asyncio.gather(f.close(), AFTER_CLOSE[call](f), return_exceptions=True)
        return outcomes[1]

    outcome = asyncio.run(asyncio.wait_for(main(), TIMEOUT))
    assert isinstance(outcome, ValueError) and str(outcome).startswith(
        "I/O operation on closed file"
    )


@pytest.mark.parametrize("mode", ["r", "r+"])
def test_next_issued_after_flush_takes_effect_after_it(tmp_path: Path, mode: str) -> None:
    """flush() enables tell() again and next() disables it: issued together, they act in the order
    made, even when flush() lets the loop run before its first step (in "+" modes it asks where the
    file starts)."""
    path = tmp_path / "f"
    path.write_bytes(b"one\ntwo\n")
    with open(path, mode) as f:
        f.flush()
        next(f)
        with pytest.raises(OSError) as theirs:
            f.tell()

    async def main() -> None:
        async with await text_over(path, mode) as f:
            spend_the_loops_budget()
            assert await asyncio.gather(f.flush(), anext(f)) == [None, "one\n"]
            with pytest.raises(OSError) as ours:
                await f.tell()
            assert described(ours.value) == described(theirs.value)

    asyncio.run(asyncio.wait_for(main(), TIMEOUT))
