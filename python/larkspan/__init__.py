"""Awaitable file I/O over the larkspan engine.

A call runs inline on the event loop when it cannot wait on storage: on cached data it takes
microseconds, far less than handing it to a worker thread would. A call that can wait (bytes not
in the page cache, a pipe, a FIFO, a network or FUSE file system, a copy large enough for the
loop to notice) runs on a worker thread while the loop goes on. Results, arguments and exceptions
are the engine's own.
"""

from collections.abc import Buffer

from ._file import FileHandle, FilePath, OpenContext
from ._workers import DEFAULT_MAX_WORKERS, set_max_workers

__all__ = [
    "DEFAULT_MAX_WORKERS",
    "FileHandle",
    "OpenContext",
    "open",
    "read_bytes",
    "read_text",
    "set_max_workers",
    "write_bytes",
    "write_text",
]


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
