"""Whole files in one call, as pathlib's read_bytes, read_text, write_bytes and write_text."""

from typing import Any

from ._atomic import replace_atomically
from ._buffer import Buffer
from ._file import FileHandle
from ._limiter import Limiter, check_limiter
from ._open import open
from ._placement import PathName
from ._text import TextHandle


async def read_bytes(path: PathName, *, limiter: Limiter | None = None) -> bytes:
    """The whole file, as pathlib's read_bytes, read until a read finds nothing more: a read that
    fails after some bytes arrived returns them and leaves the failure to the next read, which must
    not be skipped."""
    check_limiter("read_bytes()", limiter)
    async with open(path, "rb", limiter=limiter) as f:
        return b"".join(await _reads_to_the_end(f))


async def read_text(
    path: PathName,
    encoding: str | None = None,
    errors: str | None = None,
    *,
    limiter: Limiter | None = None,
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


async def write_bytes(
    path: PathName, data: Buffer, *, atomic: bool = False, limiter: Limiter | None = None
) -> int:
    """Replaces the file's content with `data`; returns the number of bytes written. With `atomic`,
    the bytes are made durable and replace the old content in one step (see replace_atomically)."""
    check_limiter("write_bytes()", limiter)
    async with (
        replace_atomically(path, "wb", limiter=limiter)
        if atomic
        else open(path, "wb", limiter=limiter)
    ) as f:
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
