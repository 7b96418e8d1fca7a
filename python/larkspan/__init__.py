"""Awaitable file I/O over the _larkspan_core engine.

Each operation calls the engine directly in the coroutine: on cached data a call takes
microseconds, far less than handing it to a worker thread would. Results, arguments and
exceptions are the engine's own.
"""

import asyncio
import os
from collections.abc import Buffer, Generator, Sequence
from time import monotonic_ns
from types import TracebackType
from typing import Any, Self, SupportsIndex

from _larkspan_core import AsyncFile

__all__ = ["FileHandle", "OpenContext", "open", "read_bytes", "read_text", "write_bytes", "write_text"]

type FilePath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# Longest stretch of file operations between two returns to the event loop. The clock is
# read before every operation (about 55 ns) rather than counting operations, because one
# operation takes anywhere from 0.1 us (a buffered write) to milliseconds (a long line).
# A return to the loop costs about 3 us. A timer that falls due waits up to two intervals,
# because its task wakes one loop turn after the timer fires. Measured with a ticker that
# sleeps 1 ms (benchmarks/front_bench.py), its typical gap is 1.5 ms at 0.25 ms, 3 ms at
# 1 ms and 12-20 ms at 4 ms, and no interval changes the total time measurably: 1 ms keeps
# the gaps well under 10 ms without returning to the loop more often than needed.
YIELD_INTERVAL_NS = 1_000_000

# Shared by every handle on purpose: a task that opens many files one after the other and
# does a few operations on each must still give the loop its turn.
_next_yield_ns = 0


async def _pass_turn() -> None:
    """Lets the event loop run its other ready tasks once."""
    global _next_yield_ns
    await asyncio.sleep(0)
    _next_yield_ns = monotonic_ns() + YIELD_INTERVAL_NS


class FileHandle:
    """An open file. Every operation but close may let the event loop run before it starts,
    never after, so a cancelled operation has either happened entirely or not at all."""

    __slots__ = ("_file",)

    def __init__(self, file: AsyncFile) -> None:
        self._file = file

    @property
    def name(self) -> str:
        return self._file.name

    @property
    def mode(self) -> str:
        return self._file.mode

    @property
    def closed(self) -> bool:
        # The engine reports seekable exactly while its stream is open.
        return not self._file.seekable()

    def seekable(self) -> bool:
        return self._file.seekable()

    def writable(self) -> bool:
        return self._file.writable()

    # Each coroutine tests the clock inline; a shared wrapper would add a call to every
    # operation.
    async def read(self, size: SupportsIndex | None = None) -> Any:
        """bytes in a mode with "b", str otherwise."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.read(size)

    async def readall(self) -> Any:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.readall()

    async def read1(self, size: SupportsIndex | None = None) -> Any:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.read1(size)

    async def readinto(self, buffer: Buffer) -> int:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.readinto(buffer)

    async def readline(self, size: SupportsIndex | None = None) -> str:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.readline(size)

    async def readlines(self, hint: SupportsIndex | None = None) -> list[str]:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.readlines(hint)

    async def write(self, data: object) -> int:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.write(data)

    async def writelines(self, lines: Sequence[str | bytes | bytearray]) -> None:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        self._file.writelines(lines)

    async def seek(self, offset: SupportsIndex, whence: SupportsIndex = 0) -> int:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.seek(offset, whence)

    async def tell(self) -> int:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.tell()

    async def flush(self) -> None:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        self._file.flush()

    async def truncate(self, size: SupportsIndex | None = None) -> None:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        self._file.truncate(size)

    async def isatty(self) -> bool:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return self._file.isatty()

    async def close(self) -> None:
        # Never suspends: a cancellation must not leave the file open.
        self._file.close()

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> str:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        # readline() is the engine's next line under another name. It ends with "" instead of
        # an exception and was the faster call when measured (__next__ by name is slower).
        line = self._file.readline()
        if not line:
            raise StopAsyncIteration
        return line

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self._file.close()


class OpenContext:
    """What open() returns: await it for a FileHandle, or enter it with `async with` to have
    the file closed when the block ends, whether or not the block raises."""

    __slots__ = ("_file", "_mode", "_handle")

    def __init__(self, file: FilePath, mode: str) -> None:
        self._file = file
        self._mode = mode
        self._handle: FileHandle | None = None

    async def _open(self) -> FileHandle:
        # A failed open leaves the engine's stream null, so there is nothing to close.
        return FileHandle(AsyncFile(os.fspath(self._file), self._mode).open())

    def __await__(self) -> Generator[Any, None, FileHandle]:
        return self._open().__await__()

    async def __aenter__(self) -> FileHandle:
        self._handle = await self._open()
        return self._handle

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._handle is not None:
            await self._handle.close()


def open(file: FilePath, mode: str = "r") -> OpenContext:
    """Opens `file` (str, bytes or path-like) when the result is awaited or entered."""
    return OpenContext(file, mode)


async def read_bytes(path: FilePath) -> bytes:
    async with open(path, "rb") as f:
        return await f.readall()


async def read_text(path: FilePath) -> str:
    """The whole file decoded as strict UTF-8."""
    async with open(path, "r") as f:
        return await f.readall()


async def write_bytes(path: FilePath, data: Buffer) -> int:
    """Replaces the file's content with `data`; returns the number of bytes written."""
    async with open(path, "wb") as f:
        return await f.write(data)


async def write_text(path: FilePath, text: str) -> int:
    """Replaces the file's content with `text` encoded as UTF-8; returns the byte count."""
    async with open(path, "w") as f:
        return await f.write(text)
