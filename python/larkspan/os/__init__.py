"""Awaitable versions of builtin os's file system calls, with builtin's arguments, results and
exceptions. A call runs inline when nothing it names lies on a file system that can wait (a stat on
a local disk costs less than handing it to a thread), else on a worker; sendfile always runs on a
worker. scandir() hands out a directory's entries in batches, so that a huge directory never holds
the loop."""

import asyncio
import os
from collections import deque
from collections.abc import Callable, Generator, Iterator
from itertools import islice
from types import TracebackType
from typing import Any, AnyStr, Generic, Protocol, Self, TypeVar, cast, overload

from .. import _placement, _workers
from .._budget import yield_if_spent
from .._calls import BATCH, on_worker, placed
from .._completions import Outcome
from .._limiter import Limiter, held
from .._placement import Located, PathName, beneath
from . import path

T = TypeVar("T")

__all__ = [
    "ScandirIterator",
    "access",
    "getcwd",
    "link",
    "listdir",
    "lstat",
    "makedirs",
    "mkdir",
    "path",
    "readlink",
    "remove",
    "removedirs",
    "rename",
    "renames",
    "replace",
    "rmdir",
    "scandir",
    "sendfile",
    "stat",
    "statvfs",
    "symlink",
    "unlink",
]


async def stat(
    path: Located, *, dir_fd: int | None = None, follow_symlinks: bool = True
) -> os.stat_result:
    """os.stat(), awaited: builtin's arguments, result and exceptions."""
    return await placed(
        lambda: os.stat(path, dir_fd=dir_fd, follow_symlinks=follow_symlinks), beneath(dir_fd, path)
    )


async def lstat(path: PathName, *, dir_fd: int | None = None) -> os.stat_result:
    """os.lstat(), awaited: builtin's arguments, result and exceptions."""
    return await placed(lambda: os.lstat(path, dir_fd=dir_fd), beneath(dir_fd, path))


async def statvfs(path: Located) -> os.statvfs_result:
    """os.statvfs(), awaited: builtin's arguments, result and exceptions."""
    return await placed(lambda: os.statvfs(path), path)


async def access(
    path: Located,
    mode: int,
    *,
    dir_fd: int | None = None,
    effective_ids: bool = False,
    follow_symlinks: bool = True,
) -> bool:
    """os.access(), awaited: builtin's arguments, result and exceptions."""
    return await placed(
        lambda: os.access(
            path, mode, dir_fd=dir_fd, effective_ids=effective_ids, follow_symlinks=follow_symlinks
        ),
        beneath(dir_fd, path),
    )


async def rename(
    src: PathName, dst: PathName, *, src_dir_fd: int | None = None, dst_dir_fd: int | None = None
) -> None:
    """os.rename(), awaited: builtin's arguments, result and exceptions."""
    await placed(
        lambda: os.rename(src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd),
        beneath(src_dir_fd, src),
        beneath(dst_dir_fd, dst),
    )


async def replace(
    src: PathName, dst: PathName, *, src_dir_fd: int | None = None, dst_dir_fd: int | None = None
) -> None:
    """os.replace(), awaited: builtin's arguments, result and exceptions."""
    await placed(
        lambda: os.replace(src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd),
        beneath(src_dir_fd, src),
        beneath(dst_dir_fd, dst),
    )


async def renames(old: PathName, new: PathName) -> None:
    """os.renames(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.renames(old, new), old, new)


async def remove(path: PathName, *, dir_fd: int | None = None) -> None:
    """os.remove(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.remove(path, dir_fd=dir_fd), beneath(dir_fd, path))


async def unlink(path: PathName, *, dir_fd: int | None = None) -> None:
    """os.unlink(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.unlink(path, dir_fd=dir_fd), beneath(dir_fd, path))


async def mkdir(path: PathName, mode: int = 0o777, *, dir_fd: int | None = None) -> None:
    """os.mkdir(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.mkdir(path, mode, dir_fd=dir_fd), beneath(dir_fd, path))


async def makedirs(name: PathName, mode: int = 0o777, exist_ok: bool = False) -> None:
    """os.makedirs(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.makedirs(name, mode, exist_ok), name)


async def rmdir(path: PathName, *, dir_fd: int | None = None) -> None:
    """os.rmdir(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.rmdir(path, dir_fd=dir_fd), beneath(dir_fd, path))


async def removedirs(name: PathName) -> None:
    """os.removedirs(), awaited: builtin's arguments, result and exceptions."""
    await placed(lambda: os.removedirs(name), name)


async def link(
    src: PathName,
    dst: PathName,
    *,
    src_dir_fd: int | None = None,
    dst_dir_fd: int | None = None,
    follow_symlinks: bool = True,
) -> None:
    """os.link(), awaited: builtin's arguments, result and exceptions."""
    await placed(
        lambda: os.link(
            src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd, follow_symlinks=follow_symlinks
        ),
        beneath(src_dir_fd, src),
        beneath(dst_dir_fd, dst),
    )


async def symlink(
    src: PathName, dst: PathName, target_is_directory: bool = False, *, dir_fd: int | None = None
) -> None:
    # The link's target is only written into the link, never looked up.
    """os.symlink(), awaited: builtin's arguments, result and exceptions."""
    await placed(
        lambda: os.symlink(src, dst, target_is_directory, dir_fd=dir_fd), beneath(dir_fd, dst)
    )


async def readlink(path: AnyStr | os.PathLike[AnyStr], *, dir_fd: int | None = None) -> AnyStr:
    """os.readlink(), awaited: builtin's arguments, result and exceptions."""
    return await placed(lambda: os.readlink(path, dir_fd=dir_fd), beneath(dir_fd, path))


@overload
async def listdir(path: str | os.PathLike[str] | int | None = None) -> list[str]: ...
@overload
async def listdir(path: bytes | os.PathLike[bytes]) -> list[bytes]: ...
async def listdir(path: Located | None = None) -> list[str] | list[bytes]:
    """os.listdir(), awaited: builtin's arguments, result and exceptions."""
    listing: list[str] | list[bytes] = await placed(
        lambda: os.listdir(path), os.curdir if path is None else path
    )
    return listing


async def getcwd() -> str:
    """Inline: the kernel answers from its cache of names, even for a network file system."""
    await yield_if_spent()
    return os.getcwd()


async def sendfile(out_fd: int, in_fd: int, offset: int | None, count: int) -> int:
    """Always on a worker: it moves up to `count` bytes, from and to anything."""
    return await on_worker(lambda: os.sendfile(out_fd, in_fd, offset, count))


@overload
def scandir(path: str | os.PathLike[str] | int | None = None) -> "ScandirIterator[str]": ...
@overload
def scandir(path: bytes | os.PathLike[bytes]) -> "ScandirIterator[bytes]": ...
def scandir(path: Located | None = None) -> "ScandirIterator[Any]":
    """The entries of directory `path` (the current one when None) as os.DirEntry objects, fetched
    BATCH at a time. The directory is opened when the result is awaited, entered with `async
    with`, or first iterated with `async for`; it is closed when the entries run out, at the end
    of the `async with` block, or by close()."""
    return ScandirIterator(path)


class _OpenDirectory(Protocol[AnyStr]):
    """Builtin's scandir iterator."""

    def __iter__(self) -> Iterator[os.DirEntry[AnyStr]]: ...
    def __next__(self) -> os.DirEntry[AnyStr]: ...
    def close(self) -> None: ...


class ScandirIterator(Generic[AnyStr]):
    """What scandir() returns. Calls that may wait (opening the directory, reading a batch) run on
    a worker when the directory lies on a file system that can wait. A task cancelled while such a
    call runs leaves its result to the next call, so no entry is lost, and the directory is closed
    only after the call ends, never under it. Also iterable with plain `for` (each batch then read
    on the loop's thread), for code written for aiofiles, whose scandir() returns builtin's
    iterator."""

    def __init__(self, path: Located | None, limiter: Limiter | None = None) -> None:
        self._path = path
        self._limiter = limiter  # bounds the steps on workers (larkspan.Path's limiter)
        self._may_wait = _placement.path_may_wait(os.curdir if path is None else path)
        self._entries: _OpenDirectory[AnyStr] | None = None
        self._ready: deque[os.DirEntry[AnyStr]] = deque()
        self._step: asyncio.Future[None] | None = None  # a call on a worker
        self._error: BaseException | None = None  # raised by a step whose task was cancelled
        self._exhausted = False
        self._closed = False

    def __await__(self) -> Generator[Any, None, Self]:
        return self._open().__await__()

    async def __aenter__(self) -> Self:
        return await self._open()

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> os.DirEntry[AnyStr]:
        while not self._ready:
            if self._exhausted or self._closed:
                raise StopAsyncIteration
            await self._fetch()
        return self._ready.popleft()

    def close(self) -> None:
        """Closes the directory now, or as soon as the call reading it on a worker ends."""
        self._closed = True
        self._ready.clear()
        if self._step is None:
            self._close_entries()

    # ---- steps ---------------------------------------------------------------------------

    async def _open(self) -> Self:
        while self._unopened():
            await self._run(self._scan, self._keep_entries, self._unopened)
        return self

    async def _fetch(self) -> None:
        await self._open()
        if not self._closed:
            await self._run(self._draw, self._keep_batch, self._nothing_ready)

    def _unopened(self) -> bool:
        return self._entries is None and not self._closed

    def _nothing_ready(self) -> bool:
        return not (self._ready or self._exhausted or self._closed)

    def _scan(self) -> _OpenDirectory[AnyStr]:
        # The overloads of scandir() tie AnyStr to the path's type; that union matches none alone.
        return cast(_OpenDirectory[AnyStr], os.scandir(cast(Any, self._path)))

    def _keep_entries(self, entries: _OpenDirectory[AnyStr]) -> None:
        self._entries = entries

    def _draw(self) -> list[os.DirEntry[AnyStr]]:
        assert self._entries is not None
        return list(islice(self._entries, BATCH))

    def _keep_batch(self, batch: list[os.DirEntry[AnyStr]]) -> None:
        if not self._closed:
            self._ready.extend(batch)
        self._exhausted = len(batch) < BATCH  # builtin's iterator closes itself at the end

    async def _run(
        self, call: Callable[[], T], keep: Callable[[T], None], needed: Callable[[], bool]
    ) -> None:
        """Runs `call` and hands its result to `keep`: inline, or on a worker with `keep` run on
        the loop's thread when the call ends, whether or not the awaiting task is still there.
        When a step is already underway, waits for it instead. `needed` is asked again after each
        wait: a step that ended meanwhile may have done the work (a second scan would replace the
        open directory, and its entries would start over)."""
        await yield_if_spent()
        if self._step is None and not self._may_wait:
            if needed():
                keep(call())
            return
        async with held(self._limiter):
            if self._step is None and needed():
                self._step = self._start(call, keep)
            if self._step is not None:
                await asyncio.shield(self._step)
        if (error := self._error) is not None:
            self._error = None
            raise error

    def _start(self, call: Callable[[], T], keep: Callable[[T], None]) -> asyncio.Future[None]:
        loop = asyncio.get_running_loop()
        done: asyncio.Future[None] = loop.create_future()

        def deliver(outcome: Outcome) -> None:
            self._step = None
            ok, value = outcome
            if ok:
                keep(value)
            else:
                self._error = value
            if self._closed:
                self._close_entries()
            done.set_result(None)

        _workers.pool().submit(loop, call, deliver)
        return done

    def _close_entries(self) -> None:
        if self._entries is not None:
            self._entries.close()

    # ---- plain iteration, for code written for aiofiles ----------------------------------

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> os.DirEntry[AnyStr]:
        if self._step is not None or (self._entries is None and not self._closed):
            raise RuntimeError(
                "await scandir() and its pending calls before iterating it with plain for"
            )
        if self._ready:
            return self._ready.popleft()
        if self._exhausted or self._closed:
            raise StopIteration
        assert self._entries is not None
        return next(self._entries)
