"""Durable replacement of a file: the new content goes to a temporary file in the same directory,
which is synced, renamed over the target and followed by a sync of the directory. A crash at any
point leaves the old file or the new one, never a mix of the two."""

import os
import secrets
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Any

from . import _workers
from ._calls import placed
from ._file import FilePath
from ._limiter import check_limiter
from ._open import open_file


def _temporary_beside(path: str) -> str:
    directory, name = os.path.split(path)
    return os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")


def _sync_directory(path: str) -> None:
    descriptor = os.open(os.path.dirname(path) or os.curdir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _keep_permissions(target: str, temporary: str) -> None:
    """A replaced file keeps its permission bits; a new one gets those of a plain open()."""
    try:
        os.chmod(temporary, os.stat(target).st_mode & 0o7777)
    except FileNotFoundError:
        pass


def _commit(target: str, temporary: str) -> None:
    _keep_permissions(target, temporary)
    os.replace(temporary, target)
    _sync_directory(target)


def _discard(temporary: str) -> None:
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass


@asynccontextmanager
async def replace_atomically(file: FilePath, mode: str = "wb", **options: Any) -> AsyncIterator[Any]:
    """Opens a temporary file beside `file` for writing (`mode` "w", "wb", "x" or "xb" and open()'s
    other arguments) and gives its handle: a FileHandle[bytes] or a TextHandle, as open() would.
    When the block ends without an exception, its bytes are made durable and it replaces `file` in
    one step. When the block raises, `file` is left as it was."""
    if mode.replace("b", "").replace("t", "") not in ("w", "x"):
        raise ValueError(f"replace_atomically() writes a new file; mode must be 'w' or 'x', not {mode!r}")
    limiter = check_limiter("replace_atomically()", options.get("limiter"))
    target = os.fsdecode(file)  # bytes round-trip through the file system's encoding
    if "x" in mode and await placed(lambda: os.path.lexists(target), target, limiter=limiter):
        raise FileExistsError(17, os.strerror(17), target)
    temporary = _temporary_beside(target)
    handle = await open_file(temporary, "xb" if "b" in mode else "x", **options)  # a name nobody else holds
    try:
        yield handle
        await handle.sync()
        await handle.close()
        await _workers.run_in_worker(lambda: _commit(target, temporary), limiter=limiter)
    except BaseException:
        try:
            await handle.close()
        finally:
            await _workers.run_in_worker(lambda: _discard(temporary), limiter=limiter)
        raise
