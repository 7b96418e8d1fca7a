"""Blocking calls on local paths that the file system places as larkspan places its path calls
(inline on the event loop where nothing can wait, else on a worker): details as fsspec's
LocalFileSystem reports them, and whole small files read or written in one system call."""

import asyncio
import errno
import os
import stat
from collections.abc import Callable
from enum import Enum
from typing import Any, NamedTuple, TypeAlias

from .._buffer import Buffer

Info: TypeAlias = dict[str, Any]

# Whole files below this size are read or written in one system call where that cannot wait:
# larkspan sends larger copies to a worker, since one would hold the loop for a millisecond or more.
WHOLE_FILE_LIMIT = 4 << 20
# A regular file opens at once with these; a FIFO or device too, and is then left to larkspan.open.
READ_FLAGS = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY
WRITE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | os.O_NOCTTY


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "directory"
    return "file" if stat.S_ISREG(mode) else "other"


def _info_dict(name: str, status: os.stat_result, size: int, kind: str, link: bool) -> Info:
    info: Info = {
        "name": name,
        "size": size,
        "type": kind,
        "created": getattr(status, "st_birthtime", status.st_ctime),
        "islink": link,
    }
    for field in ("mode", "uid", "gid", "mtime", "ino", "nlink"):
        info[field] = getattr(status, f"st_{field}")
    return info


def path_info(path: str) -> Info:
    """The details of `path`, following a final link for its size and type; blocking."""
    status = os.stat(path, follow_symlinks=False)
    link = stat.S_ISLNK(status.st_mode)
    if link:
        status = os.stat(path, follow_symlinks=True)
    info = _info_dict(path, status, status.st_size, _kind(status.st_mode), link)
    if link:
        info["destination"] = os.readlink(path)
    return info


def _entry_info(entry: "os.DirEntry[str]") -> Info:
    """The details of a directory entry: the link itself for its type, its target for its size
    (0 when the target is gone); blocking."""
    status = entry.stat(follow_symlinks=False)
    link = entry.is_symlink()
    if entry.is_dir(follow_symlinks=False):
        kind = "directory"
    else:
        kind = "file" if entry.is_file(follow_symlinks=False) else "other"
    size = status.st_size
    if link:
        try:
            size = entry.stat(follow_symlinks=True).st_size
        except OSError:
            size = 0
    # The listed folder's path is absolute already.
    info = _info_dict(entry.path, status, size, kind, link)
    if link:
        info["destination"] = os.readlink(entry.path)
    return info


def entries_info(entries: list["os.DirEntry[str]"]) -> list[Info]:
    """The details of the entries still there; one removed since the listing is left out."""
    infos = []
    for entry in entries:
        try:
            infos.append(_entry_info(entry))
        except FileNotFoundError:
            pass
    return infos


def bytes_only(data: object) -> Buffer:
    """`data` if it is a bytes-like object, as builtin's binary files take; larkspan's binary
    handles also write str (as UTF-8)."""
    try:
        memoryview(data).release()  # type: ignore[arg-type]  # whether it exposes a buffer, on every version
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'") from None
    return data  # type: ignore[return-value]  # checked just above


class Unread(Enum):
    """Why read_whole read nothing."""

    WOULD_WAIT = "its pages must come from the device, or it lies on a file system that can wait"
    NOT_SMALL_REGULAR = "not a regular file, WHOLE_FILE_LIMIT or more, or changing while read"


class Waiting(NamedTuple):
    """A regular file that read_whole opened on the loop's thread but whose pages must come from
    the device: finish_read reads it on a worker, without opening it again, and closes it."""

    descriptor: int
    size: int


def read_whole(path: str, on_worker_too: bool, hand_over: bool = False) -> bytes | Unread | Waiting:
    """The whole of regular file `path`, read with one system call. On the event loop's thread,
    only when the kernel has every page in memory (else, with `hand_over`, the open file for
    finish_read); on a worker (where larkspan places calls on file systems that can wait), only
    with `on_worker_too`. Opening and reading raise builtin open()'s and read()'s exceptions."""
    on_the_loop = running_loop() is not None
    if not (on_the_loop or on_worker_too):
        return Unread.WOULD_WAIT
    descriptor = os.open(path, READ_FLAGS)
    handed_over = False
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(status.st_mode) or status.st_size >= WHOLE_FILE_LIMIT:
            return Unread.NOT_SMALL_REGULAR
        whole = _read_all(descriptor, status.st_size, wait=not on_the_loop)
        if whole is Unread.WOULD_WAIT and hand_over:
            handed_over = True
            return Waiting(descriptor, status.st_size)
        return whole
    finally:
        if not handed_over:
            os.close(descriptor)


def finish_read(waiting: Waiting) -> bytes | Unread:
    """On a worker: the read that read_whole handed over; closes the file."""
    try:
        return _read_all(waiting.descriptor, waiting.size, wait=True)
    finally:
        os.close(waiting.descriptor)


def _read_all(descriptor: int, size: int, wait: bool) -> bytes | Unread:
    """The `size` bytes of the file, or why not; without `wait`, only from the page cache."""
    buffer = bytearray(size + 1)  # a byte more, to find the end where the size said
    try:
        count = os.preadv(descriptor, [buffer], 0, 0 if wait else os.RWF_NOWAIT)
    except OSError as error:
        if not wait and (isinstance(error, BlockingIOError) or error.errno == errno.EOPNOTSUPP):
            return Unread.WOULD_WAIT  # the pages are not in memory, or the file system cannot say
        raise
    if count != size:
        return Unread.NOT_SMALL_REGULAR
    with memoryview(buffer) as view:
        return bytes(view[:count])


def write_whole(path: str, data: Buffer, exclusive: bool) -> None:
    """Replaces the file's bytes with `data` (creates it; with `exclusive`, only if it is new),
    as builtin open(path, "wb" or "xb") and one write() would; on the loop's thread only where
    larkspan writes inline too (a local disk's page cache, memory), since a write there waits
    for no device."""
    flags = WRITE_FLAGS | (os.O_EXCL if exclusive else os.O_TRUNC)
    descriptor = os.open(path, flags, 0o666)
    try:
        with memoryview(bytes_only(data)) as view, view.cast("B") as left:
            while left:
                # The kernel may take less than asked; write the rest.
                left = left[os.write(descriptor, left) :]
    finally:
        os.close(descriptor)


def read_count(count: int) -> int:
    """`count`, for a read: builtin's buffered reads refuse counts below -1, where larkspan's read
    to the end."""
    if count < -1:
        raise ValueError("read length must be non-negative or -1")
    return count


def outcome(call: Callable[..., Any], *args: Any) -> Any:
    """`call(*args)`, or the exception it raised, as fsspec's batches hand results back."""
    try:
        return call(*args)
    except Exception as error:
        return error


def running_loop() -> asyncio.AbstractEventLoop | None:
    """The event loop this thread runs, if any: a placed call that finds one runs inline."""
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None
