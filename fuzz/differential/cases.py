"""What one fuzzed sequence is, and how a seed makes one.

A case is a file's content, the arguments of open() and a list of calls. Calls are tuples, a name
and its arguments; a few names are the fuzzer's own: "next" (next() / anext()), "seek_told" (seek
to the cookie the n-th tell() gave), "evict" (drop the file's pages from the cache, so the reads
that follow go to a worker), "gather" (two calls issued at once with asyncio.gather) and the names
of attributes ("newlines", "closed", ...), which are read rather than called.
"""

import os
import random
from dataclasses import dataclass, field, replace
from typing import Any, TypeAlias

Call: TypeAlias = tuple[Any, ...]
Outcome: TypeAlias = tuple[
    Any, ...
]  # ("ok", value) | ("raised", class name, message) | ("gather", a, b)

CHUNK = 8192  # text files read this much at a time
BOUNDARIES = (4096, 8192, 16384, 65536, 131072, 262144)  # block, chunk and engine buffer sizes
BINARY_MODES = ("rb", "r+b", "wb", "w+b", "ab", "a+b", "xb", "x+b")
TEXT_MODES = ("r", "r+", "w", "w+", "a", "a+", "x", "x+", "rt")
BUFFERINGS = (-1, 0, 1, 2, 7, 64, 4096, 65536)
ENCODINGS = ("utf-8", "utf-8-sig", "utf-16", "latin-1", "ascii")
ERRORS = (None, "strict", "replace", "surrogateescape")
NEWLINES = (None, "", "\n", "\r", "\r\n")
ATTRIBUTES = ("closed", "newlines", "encoding", "errors", "mode", "name_matches", "line_buffering")
TEXT_PIECES = ("a", "line\n", "\r\n", "\r", "\n", "é", "€", "😀", "日本", "\r\r\n", "x" * 30 + "\n")
BAD_BYTES = (b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\x00\xd8", b"\x80", b"\xf0\x9f\x98")
SIZES = (0, 1, 2, 3, 5, 8, 13, 100, 4095, 4096, 4097, 8191, 8192, 8193, 65536, 262144, 262145)


@dataclass(frozen=True)
class Case:
    seed: int
    content: bytes | None  # None: the file does not exist before open()
    mode: str
    buffering: int
    encoding: str | None = None
    errors: str | None = None
    newline: str | None = None
    calls: tuple[Call, ...] = field(default=())

    @property
    def binary(self) -> bool:
        return "b" in self.mode

    def open_arguments(self) -> dict[str, Any]:
        arguments: dict[str, Any] = {"buffering": self.buffering}
        if not self.binary:
            arguments |= {"encoding": self.encoding, "errors": self.errors, "newline": self.newline}
        return arguments

    def with_calls(self, calls: list[Call] | tuple[Call, ...]) -> "Case":
        return replace(self, calls=tuple(calls))


def make_case(seed: int) -> Case:
    """The case of `seed`: the same seed gives the same case on every run."""
    rng = random.Random(seed)
    binary = rng.random() < 0.4
    mode = rng.choice(BINARY_MODES if binary else TEXT_MODES)
    encoding = rng.choice(ENCODINGS)
    buffering = rng.choice(
        BUFFERINGS if binary else tuple(b for b in BUFFERINGS if b != 0) * 20 + (0,)
    )
    content = None if mode.startswith("x") and rng.random() < 0.9 else make_content(rng, encoding)
    case = Case(seed, content, mode, buffering)
    if not binary:
        case = replace(
            case, encoding=encoding, errors=rng.choice(ERRORS), newline=rng.choice(NEWLINES)
        )
    length = rng.choice((1, 2, 3, 5, 8, 12, 20, 30, 40))
    return case.with_calls([make_call(rng, case) for _ in range(length)])


def make_content(rng: random.Random, encoding: str) -> bytes:
    """Lines ending every way, with characters of every width and undecodable bytes, often
    across the boundaries where blocks, chunks and buffers end."""
    roll = rng.random()
    size = (
        rng.randrange(0, 40)
        if roll < 0.45
        else rng.randrange(40, 600)
        if roll < 0.75
        else (rng.choice(BOUNDARIES) * rng.choice((1, 1, 2)) + rng.randrange(-40, 40))
    )
    pieces: list[bytes] = []
    total = 0
    while total < size:
        piece = pick_piece(rng, encoding)
        pieces.append(piece)
        total += len(piece)
    content = bytearray(b"".join(pieces)[: max(size, 0)])
    for boundary in BOUNDARIES:
        if boundary < len(content) and rng.random() < 0.7:
            at = boundary + rng.randrange(-3, 3)
            piece = pick_piece(rng, encoding, special=True)
            content[at : at + len(piece)] = piece
    return bytes(content)


def pick_piece(rng: random.Random, encoding: str, special: bool = False) -> bytes:
    if rng.random() < (0.3 if special else 0.03):
        return rng.choice(BAD_BYTES)
    text = rng.choice(TEXT_PIECES[1:11] if special else TEXT_PIECES)
    if not special and rng.random() < 0.5:
        text = "w" * rng.randrange(1, 90) + rng.choice(("\n", "\r\n", "\r"))
    return text.encode("utf-16-le" if encoding == "utf-16" else encoding, "replace")


def a_size(rng: random.Random) -> int | None:
    roll = rng.random()
    if roll < 0.05:
        return None
    if roll < 0.12:
        return -1
    if roll < 0.14:
        return -rng.randrange(2, 5)
    return rng.choice(SIZES) if roll < 0.45 else rng.randrange(0, 40)


def a_text(rng: random.Random) -> str:
    if rng.random() < 0.05:
        return rng.choice(("\ud800", "é\udcff", "€", "😀\n"))  # unencodable somewhere, or wide
    if rng.random() < 0.05:
        return "w\n" * rng.choice((2000, 4095, 4096, 5000, 40000))
    return "".join(rng.choice(TEXT_PIECES) for _ in range(rng.randrange(0, 6)))


def a_bytes(rng: random.Random) -> bytes:
    if rng.random() < 0.05:
        return b"w" * rng.choice((4095, 4096, 4097, 8192, 65537, 300000))
    return a_text(rng).encode("utf-8", "surrogatepass")


def make_call(rng: random.Random, case: Case) -> Call:
    if rng.random() < 0.05:
        return ("gather", gatherable_call(rng, case), gatherable_call(rng, case))
    return make_plain_call(rng, case)


def gatherable_call(rng: random.Random, case: Case) -> Call:
    """A call for gather(): a coroutine, and not a seek to a told cookie, which would depend on when
    the other call's tell() ended. (An attribute or a query that is not a coroutine answers when it
    is asked: it cannot be issued together with a call.)"""
    while (call := make_plain_call(rng, case))[0] in NOT_GATHERABLE:
        pass
    return call


NOT_GATHERABLE = ("seek_told", "readable", "writable", "seekable", *ATTRIBUTES)


def make_plain_call(rng: random.Random, case: Case) -> Call:
    calls = binary_call if case.binary else text_call
    return calls(rng)


def binary_call(rng: random.Random) -> Call:
    choice = rng.choices(
        (
            "read",
            "read1",
            "readinto",
            "readline",
            "readlines",
            "next",
            "peek",
            "write",
            "writelines",
            "seek",
            "tell",
            "truncate",
            "flush",
            "evict",
            "readall",
            "query",
            "close",
        ),
        (14, 4, 3, 10, 3, 4, 2, 14, 3, 12, 6, 3, 4, 2, 1, 2, 0.5),
    )[0]
    if choice in ("read", "read1", "readline", "readlines"):
        return (choice, a_size(rng))
    if choice in ("readinto", "peek"):
        return (choice, rng.choice(SIZES))
    if choice == "write":
        return ("write", a_bytes(rng) if rng.random() < 0.97 else a_text(rng))
    if choice == "writelines":
        kinds = (bytes,) * 6 + (bytearray, memoryview)
        return ("writelines", [rng.choice(kinds)(a_bytes(rng)) for _ in range(rng.randrange(0, 4))])
    if choice == "seek":
        return ("seek", *a_seek(rng))
    if choice == "truncate":
        return ("truncate", None if rng.random() < 0.4 else rng.choice(SIZES))
    if choice == "query":
        return (
            rng.choice(
                ("readable", "writable", "seekable", "isatty", "closed", "mode", "name_matches")
            ),
        )
    return (choice,)


def a_seek(rng: random.Random) -> tuple[int, int]:
    whence = rng.choices((0, 1, 2, os.SEEK_DATA, os.SEEK_HOLE, 7), (10, 5, 4, 0.2, 0.2, 0.1))[0]
    offset = rng.choice(SIZES) if rng.random() < 0.6 else rng.randrange(-20, 20)
    if whence != 0 and rng.random() < 0.5:
        offset = -offset
    return offset, whence


def text_call(rng: random.Random) -> Call:
    choice = rng.choices(
        (
            "read",
            "readline",
            "readlines",
            "next",
            "write",
            "writelines",
            "tell",
            "seek_told",
            "seek",
            "truncate",
            "flush",
            "evict",
            "attribute",
            "query",
            "close",
        ),
        (14, 12, 3, 5, 14, 2, 12, 10, 4, 2, 4, 2, 3, 1, 0.5),
    )[0]
    if choice in ("read", "readline", "readlines"):
        size = a_size(rng)
        return (choice, -1 if choice == "readline" and size is None else size)
    if choice == "write":
        return ("write", a_text(rng))
    if choice == "writelines":
        return ("writelines", [a_text(rng) for _ in range(rng.randrange(0, 4))])
    if choice == "seek_told":
        return ("seek_told", rng.randrange(0, 6))
    if choice == "seek":
        return ("seek", *rng.choice(((0, 0), (0, 1), (0, 2), (0, 0), (1, 1), (3, 2), (-1, 0))))
    if choice == "truncate":
        return ("truncate", None if rng.random() < 0.6 else rng.choice(SIZES))
    if choice == "attribute":
        return (rng.choice(ATTRIBUTES),)
    if choice == "query":
        return (rng.choice(("readable", "writable", "seekable", "isatty")),)
    return (choice,)
