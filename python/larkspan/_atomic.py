"""Durable replacement of a file: the new content goes to a temporary file in the same directory,
which is synced, renamed over the target and followed by a sync of the directory. A crash at any
point leaves the old file or the new one, never a mix of the two."""

import ctypes
import errno
import os
import secrets
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Any

from . import _workers
from ._calls import placed
from ._limiter import check_limiter
from ._open import open_handle
from ._placement import PathName

_AT_FDCWD = -100
_RENAME_NOREPLACE = 1


def _temporary_beside(path: str) -> str:
    directory, name = os.path.split(path)
    return os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")


def _sync_directory(path: str) -> None:
    descriptor = os.open(
        os.path.dirname(path) or os.curdir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
    )
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _creation_mode(target: str) -> int:
    """The permission bits the temporary file is made with: the target's, so that a secret's new
    content is never readable by more people than its old content was; a new file's are those of a
    plain open()."""
    try:
        return os.stat(target).st_mode & 0o777
    except FileNotFoundError:
        return 0o666


def _keep_permissions(target: str, temporary: str) -> None:
    """A replaced file keeps its permission bits, setuid and sticky bits included, which creation
    does not set, as they stand at the moment it is replaced."""
    try:
        os.chmod(temporary, os.stat(target).st_mode & 0o7777)
    except FileNotFoundError:
        pass


def _rename_without_replacing(temporary: str, target: str) -> None:
    """renameat2(RENAME_NOREPLACE), for file systems without hard links; Python has no call for
    it."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(
        _AT_FDCWD, os.fsencode(temporary), _AT_FDCWD, os.fsencode(target), _RENAME_NOREPLACE
    ):
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number), target)


def _link_exclusively(temporary: str, target: str) -> None:
    """Gives the temporary file the target's name unless that name exists by then, which the kernel
    refuses with EEXIST, so of two exclusive writers only one wins: a hard link, or where the file
    system has none, a rename that replaces nothing."""
    try:
        os.link(temporary, target)
    except FileExistsError as error:
        raise FileExistsError(error.errno, error.strerror, target) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        _rename_without_replacing(temporary, target)
        return
    os.unlink(temporary)


def _commit(target: str, temporary: str, exclusive: bool) -> None:
    if exclusive:
        _link_exclusively(temporary, target)
    else:
        _keep_permissions(target, temporary)
        os.replace(temporary, target)
    _sync_directory(target)


def _discard(temporary: str) -> None:
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass


@asynccontextmanager
async def replace_atomically(
    file: PathName, mode: str = "wb", **options: Any
) -> AsyncIterator[Any]:
    """Opens a temporary file beside `file` for writing (`mode` "w", "wb", "x" or "xb" and open()'s
    other arguments) and gives its handle: a FileHandle[bytes] or a TextHandle, as open() would.
    When the block ends without an exception, its bytes are made durable and it replaces `file` in
    one step; with "x", only if no file has taken that name meanwhile (else FileExistsError). When
    the block raises, `file` is left as it was. The temporary file has `file`'s permission bits
    from the start."""
    if mode.replace("b", "").replace("t", "") not in ("w", "x"):
        raise ValueError(
            f"replace_atomically() writes a new file; mode must be 'w' or 'x', not {mode!r}"
        )
    limiter = check_limiter("replace_atomically()", options.get("limiter"))
    target = os.fsdecode(file)  # bytes round-trip through the file system's encoding
    exclusive = "x" in mode
    if exclusive and await placed(lambda: os.path.lexists(target), target, limiter=limiter):
        raise FileExistsError(17, os.strerror(17), target)
    temporary = _temporary_beside(target)
    permissions = await placed(lambda: _creation_mode(target), target, limiter=limiter)

    def create(path: str, flags: int) -> int:
        return os.open(path, flags, permissions)

    # A name nobody else holds, made with the bits it will have (unless the caller opens it).
    options.setdefault("opener", create)
    handle = await open_handle(temporary, "xb" if "b" in mode else "x", **options)
    try:
        yield handle
        await handle.sync()
        await handle.close()
        await _workers.run_in_worker(lambda: _commit(target, temporary, exclusive), limiter=limiter)
    except BaseException:
        try:
            await handle.close()
        finally:
            await _workers.run_in_worker(lambda: _discard(temporary), limiter=limiter)
        raise
