"""Awaitable file I/O over the larkspan engine.

A call runs inline on the event loop when it cannot wait on storage: on cached data it takes
microseconds, far less than handing it to a worker thread would. A call that can wait (bytes not
in the page cache, a pipe, a FIFO, a network or FUSE file system, a copy large enough for the
loop to notice) runs on a worker thread while the loop goes on. Results, arguments and exceptions
are the engine's own.
"""

from typing import TYPE_CHECKING, Any, overload

from ._arguments import Opener
from ._async_file import AsyncFile
from ._atomic import replace_atomically
from ._buffer import Buffer
from ._file import FileHandle
from ._limiter import Limiter, check_limiter
from ._open import OpenContext
from ._placement import Located, PathName
from ._text import TextHandle
from ._version import __version__
from ._workers import DEFAULT_MAX_WORKERS, set_max_workers
from ._wrapped import WrappedFile, stderr, stderr_bytes, stdin, stdin_bytes, stdout, stdout_bytes, wrap_file

from . import os, ospath, shutil, tempfile  # isort: skip (after the names they use)

if TYPE_CHECKING:
    from _typeshed import OpenBinaryMode, OpenTextMode
from ._path import Path  # isort: skip

__all__ = [
    "DEFAULT_MAX_WORKERS",
    "AsyncFile",
    "FileHandle",
    "Limiter",
    "OpenContext",
    "Path",
    "TextHandle",
    "WrappedFile",
    "__version__",
    "open",
    "open_file",
    "os",
    "ospath",
    "read_bytes",
    "read_text",
    "replace_atomically",
    "set_max_workers",
    "shutil",
    "stderr",
    "stderr_bytes",
    "stdin",
    "stdin_bytes",
    "stdout",
    "stdout_bytes",
    "tempfile",
    "wrap_file",
    "write_bytes",
    "write_text",
]


@overload
def open(
    file: Located,
    mode: "OpenTextMode" = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[TextHandle]: ...
@overload
def open(
    file: Located,
    mode: "OpenBinaryMode",
    buffering: int = -1,
    encoding: None = None,
    errors: None = None,
    newline: None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[FileHandle[bytes]]: ...
@overload
def open(
    file: Located,
    mode: str,
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[Any]: ...
def open(
    file: Located,
    mode: str = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[Any]:
    """Opens `file` (str, bytes, path-like or a descriptor) when the result is awaited or entered,
    with builtin open()'s arguments and checks; text modes default to UTF-8. The handle reads and
    writes bytes in binary modes and str in text modes. `limiter`, any object usable as
    `async with limiter:` (anyio.CapacityLimiter, asyncio.Semaphore), bounds the calls of the
    handle that run on workers, and the open itself when it does."""
    limiter = check_limiter("open()", limiter)
    return OpenContext(file, mode, buffering, encoding, errors, newline, closefd, opener, limiter)


# anyio's name for it: `await open_file(...)` and `async with await open_file(...)` both work.
open_file = open


async def read_bytes(path: PathName, *, limiter: Limiter | None = None) -> bytes:
    """The whole file, as pathlib's read_bytes, read until a read finds nothing more: a read that
    fails after some bytes arrived returns them and leaves the failure to the next read, which must
    not be skipped."""
    check_limiter("read_bytes()", limiter)
    async with open(path, "rb", limiter=limiter) as f:
        return b"".join(await _reads_to_the_end(f))


async def read_text(
    path: PathName, encoding: str | None = None, errors: str | None = None, *, limiter: Limiter | None = None
) -> str:
    """The whole file decoded (UTF-8 unless `encoding` says otherwise), as pathlib's read_text; read
    to the end as read_bytes."""
    check_limiter("read_text()", limiter)
    async with open(path, "r", encoding=encoding, errors=errors, limiter=limiter) as f:
        return "".join(await _reads_to_the_end(f))


async def _reads_to_the_end(f: FileHandle[bytes] | TextHandle) -> list[Any]:
    """What each read gives, up to the first that gives nothing."""
    pieces: list[Any] = [await f.read()]
    while pieces[-1]:
        pieces.append(await f.read())
    return pieces


async def write_bytes(path: PathName, data: Buffer, *, atomic: bool = False, limiter: Limiter | None = None) -> int:
    """Replaces the file's content with `data`; returns the number of bytes written. With `atomic`,
    the bytes are made durable and replace the old content in one step (see replace_atomically)."""
    check_limiter("write_bytes()", limiter)
    async with (replace_atomically(path, "wb", limiter=limiter) if atomic else open(path, "wb", limiter=limiter)) as f:
        count: int = await f.write(data)
        return count


async def write_text(
    path: PathName,
    text: str,
    encoding: str | None = None,
    errors: str | None = None,
    *,
    atomic: bool = False,
    limiter: Limiter | None = None,
) -> int:
    """Replaces the file's content with `text` (UTF-8 unless `encoding` says otherwise); returns the
    number of characters written, as pathlib's write_text. With `atomic`, as write_bytes."""
    check_limiter("write_text()", limiter)
    async with (
        replace_atomically(path, "w", encoding=encoding, errors=errors, limiter=limiter)
        if atomic
        else open(path, "w", encoding=encoding, errors=errors, limiter=limiter)
    ) as f:
        count: int = await f.write(text)
        return count
