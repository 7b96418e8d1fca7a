"""A call of the engine's File made inline_only that would have to wait returns Blocked.WOULD_BLOCK,
the one member of an enum, and changes nothing. Each such call is made on a FIFO, where every one of
them must wait, the writes with more than the loop may copy."""

from __future__ import annotations  # File takes type arguments only for the type checker

import enum
import os
import pathlib
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from larkspan._engine import LARGE_COPY, WOULD_BLOCK, Blocked, File

TOO_MUCH = b"x" * (LARGE_COPY + 1)


def flush_pending(f: File[bytes], data: bytes) -> object:
    """flush() with `data` in the engine's buffer: with nothing pending there is nothing to wait
    for."""
    assert f.write(data, True) == len(data)
    return f.flush(True)


INLINE_ONLY_CALLS: dict[str, Callable[[File[bytes]], Any]] = {
    "close": lambda f: f.close(True),
    "read": lambda f: f.read(1, True),
    "read1": lambda f: f.read1(1, True),
    "readinto": lambda f: f.readinto(bytearray(1), True),
    "readline": lambda f: f.readline(None, True),
    "readlines": lambda f: f.readlines(None, True),
    "write": lambda f: f.write(TOO_MUCH, True),
    "writelines": lambda f: f.writelines([TOO_MUCH], True),
    "seek": lambda f: f.seek(0, 0, True),
    "flush": lambda f: flush_pending(f, b"x"),
    "truncate": lambda f: f.truncate(None, True),
    "isatty": lambda f: f.isatty(True),
    "sync": lambda f: f.sync(False, True),
    "pread": lambda f: f.pread(1, 0, True),
    "pwrite": lambda f: f.pwrite(b"x", 0, True),
}


def takes_inline_only(name: str) -> bool:
    """Whether the File method `name` has an inline_only parameter, by the signature pybind11 gives
    it."""
    signature = (getattr(File, name).__doc__ or "").partition("\n")[0]
    return "inline_only" in signature


@pytest.fixture
def fifo_file(tmp_path: pathlib.Path) -> Iterator[tuple[File[bytes], int]]:
    """A File over a FIFO, open for reading and writing, and a reader of that FIFO that never
    waits."""
    path = tmp_path / "fifo"
    os.mkfifo(path)
    f: File[bytes] = File(os.fsencode(path), "r+b")
    f.open()
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        yield f, reader
    finally:
        os.close(reader)
        if not f.closed:
            f.close(False)


def test_the_table_holds_every_inline_only_call() -> None:
    taking = {name for name in dir(File) if not name.startswith("_") and takes_inline_only(name)}
    assert taking == set(INLINE_ONLY_CALLS)


def test_blocked_has_one_member_which_the_engine_names_would_block() -> None:
    assert issubclass(Blocked, enum.Enum)
    assert list(Blocked) == [WOULD_BLOCK]
    assert WOULD_BLOCK is Blocked.WOULD_BLOCK


@pytest.mark.parametrize("call", INLINE_ONLY_CALLS)
def test_a_call_that_would_wait_returns_would_block_and_changes_nothing(
    fifo_file: tuple[File[bytes], int], call: str
) -> None:
    f, reader = fifo_file
    assert INLINE_ONLY_CALLS[call](f) is Blocked.WOULD_BLOCK
    assert not f.closed
    with pytest.raises(BlockingIOError):
        os.read(reader, 1)  # nothing reached the FIFO
