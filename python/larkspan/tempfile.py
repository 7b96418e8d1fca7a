"""Temporary files and directories as builtin tempfile makes them, with its arguments, for asyncio.

Each function returns an object to await (for the file or directory) or to enter with `async with`
(which closes and removes it where builtin would when the block ends). Files are larkspan
handles, except a SpooledTemporaryFile, which is builtin's, kept in memory and run inline until it
moves to disk; from then on its calls run on a worker. Creating and removing run on a worker where
the directory can wait, as do all removals of a directory tree."""

import asyncio
import os
import sys
import tempfile
import weakref
from collections.abc import Awaitable, Callable, Generator, Iterable
from contextlib import AbstractAsyncContextManager, suppress
from types import TracebackType
from typing import Any, AnyStr, Generic, Self, TypeVar

from . import _open
from ._budget import yield_if_spent
from ._buffer import Buffer
from ._calls import on_worker, open_options, placed
from ._file import FileHandle
from ._placement import PathName

__all__ = [
    "AsyncSpooledTemporaryFile",
    "AsyncTemporaryDirectory",
    "NamedTemporaryFile",
    "SpooledTemporaryFile",
    "TemporaryDirectory",
    "TemporaryFile",
    "TemporaryFileWrapper",
]


T = TypeVar("T")
Made = TypeVar("Made", bound=AbstractAsyncContextManager[Any])


class _Deferred(Generic[Made]):
    """Made when awaited or entered; a block that entered it ends by exiting what was made."""

    __slots__ = ("_made", "_make")

    def __init__(self, make: Callable[[], Awaitable[Made]]) -> None:
        self._make = make
        self._made: Made | None = None

    def __await__(self) -> Generator[Any, None, Made]:
        return self._make().__await__()

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._made is not None:
            await self._made.__aexit__(exc_type, exc, tb)


class Opening(_Deferred[Made]):
    """What the file functions return: await it for the file, or enter it with `async with` for
    the file, closed (and removed where builtin removes it) when the block ends."""

    __slots__ = ()

    async def __aenter__(self) -> Made:
        made = self._made = await self._make()
        await made.__aenter__()
        return made


async def _parent(dir: PathName | None) -> PathName:
    """The directory a temporary file goes in. Finding the default one the first time probes
    candidates by writing a file in each, so that runs on a worker."""
    if dir is not None:
        return dir
    if tempfile.tempdir is None:
        return await on_worker(tempfile.gettempdir)
    return tempfile.gettempdir()


def _remove_quietly(name: PathName) -> None:
    try:
        os.unlink(name)
    except FileNotFoundError:
        pass


def _abandon(descriptor: int, name: PathName) -> None:
    """Removes a file whose open failed, and closes its descriptor unless the failed open already
    did (a text open closes the binary handle it made when it fails or is cancelled)."""
    try:
        os.unlink(name)
    finally:
        with suppress(OSError):
            os.close(descriptor)


async def _open_new(
    mode: str,
    options: dict[str, Any],
    suffix: AnyStr | None,
    prefix: AnyStr | None,
    dir: AnyStr | os.PathLike[AnyStr] | None,
    keep_name: bool,
) -> tuple[FileHandle[Any], AnyStr]:
    """Creates a file as mkstemp() does (private to the user, never an existing one) and opens the
    descriptor mkstemp() returned, never the name again: in a directory others can write to, the
    name may by then lead somewhere else. The file is removed again when the open fails, or at once
    when not `keep_name`."""
    descriptor, name = await placed(
        lambda: tempfile.mkstemp(suffix, prefix, dir), await _parent(dir)
    )
    try:
        handle = await _open.open(descriptor, mode, **options)
    except BaseException:
        await placed(lambda: _abandon(descriptor, name), name)
        raise
    if not keep_name:
        try:
            await placed(lambda: os.unlink(name), name)
        except BaseException:
            await handle.close()
            raise
    return handle, name


def TemporaryFile(
    mode: str = "w+b",
    buffering: int = -1,
    encoding: str | None = None,
    newline: str | None = None,
    suffix: AnyStr | None = None,
    prefix: AnyStr | None = None,
    dir: AnyStr | os.PathLike[AnyStr] | None = None,
    *,
    errors: str | None = None,
) -> Opening[FileHandle[Any]]:
    """A file that has no name left once open: it is gone for good when closed."""
    options = open_options(buffering, encoding, errors, newline)

    async def make() -> FileHandle[Any]:
        handle, _ = await _open_new(mode, options, suffix, prefix, dir, keep_name=False)
        return handle

    return Opening(make)


class TemporaryFileWrapper(Generic[AnyStr]):
    """A named temporary file: `file` is its larkspan handle, `name` its path, and every other
    attribute the handle's. Removed where builtin's NamedTemporaryFile removes it: by close()
    with delete and delete_on_close, at the end of `async with` with delete, or when dropped
    unclosed with delete."""

    def __init__(
        self, file: FileHandle[Any], name: AnyStr, delete: bool, delete_on_close: bool
    ) -> None:
        self.file = file
        self.name: AnyStr = name
        self.delete = delete
        self.delete_on_close = delete_on_close
        self._remover: weakref.finalize[[AnyStr], TemporaryFileWrapper[AnyStr]] | None = (
            weakref.finalize(self, _remove_quietly, name) if delete else None
        )

    def __getattr__(self, attribute: str) -> Any:
        # A KeyError, not a recursion, before __init__.
        return getattr(self.__dict__["file"], attribute)

    async def close(self) -> None:
        """Closes the file, and removes it where builtin's NamedTemporaryFile would."""
        try:
            await self.file.close()
        finally:
            if self.delete_on_close:
                await self._remove()

    async def _remove(self) -> None:
        """Removes the file the first time only, as builtin does, and whether or not it is there."""
        if self._remover is not None and self._remover.detach() is not None:
            await placed(lambda: _remove_quietly(self.name), self.name)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        try:
            await self.file.close()
        finally:
            await self._remove()

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Any:
        return await self.file.__anext__()


def NamedTemporaryFile(
    mode: str = "w+b",
    buffering: int = -1,
    encoding: str | None = None,
    newline: str | None = None,
    suffix: AnyStr | None = None,
    prefix: AnyStr | None = None,
    dir: AnyStr | os.PathLike[AnyStr] | None = None,
    delete: bool = True,
    *,
    errors: str | None = None,
    delete_on_close: bool = True,
) -> Opening[TemporaryFileWrapper[AnyStr]]:
    """A file with a name in `dir`, as builtin's NamedTemporaryFile: removed when closed (with
    delete and delete_on_close), when the `async with` block ends (with delete), or never."""
    options = open_options(buffering, encoding, errors, newline)

    async def make() -> TemporaryFileWrapper[AnyStr]:
        handle, name = await _open_new(mode, options, suffix, prefix, dir, keep_name=True)
        return TemporaryFileWrapper(handle, name, delete, delete_on_close)

    return Opening(make)


def _size_bound(data: object) -> int:
    """At most the bytes that writing `data` adds. A character takes at most 4 bytes in the
    codecs text files use, and translating newlines at most doubles the characters."""
    if isinstance(data, str):
        return 8 * len(data)
    try:
        with memoryview(data) as view:  # type: ignore[arg-type]
            return view.nbytes
    except TypeError:
        return 0  # builtin rejects it at once


def _never() -> bool:
    return False


class AsyncSpooledTemporaryFile:
    """Builtin's SpooledTemporaryFile: in memory, and run inline, until it grows past max_size or
    its descriptor is asked for; it then moves to disk on a worker (a write that may move it goes
    there too), and every call after runs on a worker. Calls run one at a time; one whose task is
    cancelled on a worker still holds the file until it ends, and what it read is lost."""

    def __init__(self, file: tempfile.SpooledTemporaryFile[Any], max_size: int) -> None:
        self._file = file
        self._max_size = max_size
        self._lock = asyncio.Lock()

    def _in_memory(self) -> bool:
        return self._file.name is None  # a file on disk is named by its descriptor

    def _may_roll(self, added: int) -> bool:
        """Whether adding `added` bytes may move the file to disk: builtin moves it once its
        position passes max_size (a max_size of 0 keeps it in memory)."""
        return (
            self._in_memory() and self._max_size > 0 and self._file.tell() + added > self._max_size
        )

    async def _run(self, call: Callable[[], T], may_roll: Callable[[], bool] = _never) -> T:
        await yield_if_spent()
        await self._lock.acquire()
        if self._in_memory() and not may_roll():
            try:
                return call()
            finally:
                self._lock.release()
        ran = asyncio.ensure_future(on_worker(call))
        ran.add_done_callback(self._release)
        return await asyncio.shield(ran)

    def _release(self, ran: asyncio.Future[Any]) -> None:
        self._lock.release()
        if not ran.cancelled():  # by the loop closing
            ran.exception()  # taken here too: the task that awaited it may be gone

    async def write(self, s: Any) -> int:
        """Writes `data`; returns how much was taken (bytes, or characters in text mode)."""
        return await self._run(lambda: self._file.write(s), lambda: self._may_roll(_size_bound(s)))

    async def writelines(self, iterable: Iterable[Any]) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""
        lines = list(iterable)
        await self._run(
            lambda: self._file.writelines(lines),
            lambda: self._may_roll(sum(map(_size_bound, lines))),
        )

    async def truncate(self, size: int | None = None) -> int:
        """Cuts or extends the file to `size` (the position when None); returns the new size."""

        def rolls() -> bool:  # builtin moves the file to disk before it grows past max_size
            return self._in_memory() and size is not None and size > self._max_size

        return await self._run(lambda: self._file.truncate(size), rolls)

    async def rollover(self) -> None:
        """Moves the file from memory to disk now."""
        await self._run(self._file.rollover, self._in_memory)

    async def fileno(self) -> int:
        """The file's descriptor; ValueError once closed."""
        return await self._run(self._file.fileno, self._in_memory)

    async def read(self, size: int = -1) -> Any:
        """Up to `size` bytes (characters in text mode) from the position; all to the end when
        `size` is None or negative."""
        return await self._run(lambda: self._file.read(size))

    async def read1(self, size: int = -1) -> Any:
        """Up to `size` bytes with at most one read of the file: fewer when fewer are at hand."""
        return await self._run(lambda: self._file.read1(size))

    async def readinto(self, b: Buffer) -> int:
        """Fills `buffer` from the position; returns the number of bytes stored (0 at the end)."""
        return await self._run(lambda: self._file.readinto(b))

    async def readline(self, size: int = -1) -> Any:
        """The next line, with its newline; at most `size` bytes or characters when given; empty at
        the end."""
        return await self._run(lambda: self._file.readline(size))

    async def readlines(self, hint: int = -1) -> list[Any]:
        """The lines left, or lines until their total length reaches `hint` when it is positive."""
        return await self._run(lambda: self._file.readlines(hint))

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Moves to `offset` from the start (`whence` 0), the position (1) or the end (2); returns
        the new position."""
        return await self._run(lambda: self._file.seek(offset, whence))

    async def tell(self) -> int:
        """The position."""
        return await self._run(self._file.tell)

    async def flush(self) -> None:
        """Hands what was written to the operating system."""
        await self._run(self._file.flush)

    async def isatty(self) -> bool:
        """Whether the file is a terminal."""
        return await self._run(self._file.isatty)

    async def close(self) -> None:
        """Closes the file; closing a closed file does nothing."""
        await self._run(self._file.close)

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        return self._file.readable()

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        return self._file.writable()

    def seekable(self) -> bool:
        """Whether the file supports seek() and tell()."""
        return self._file.seekable()

    @property
    def closed(self) -> bool:
        """Whether the file is closed."""
        return self._file.closed

    @property
    def encoding(self) -> str:
        """The text encoding, in text modes."""
        return self._file.encoding

    @property
    def errors(self) -> str | None:
        """The decoding and encoding error handler, in text modes."""
        return self._file.errors

    @property
    def mode(self) -> str:
        """The mode, as builtin's files report it."""
        return self._file.mode

    @property
    def name(self) -> Any:
        """None while in memory, then the descriptor of the file on disk."""
        return self._file.name

    @property
    def newlines(self) -> Any:
        """The newlines met so far in text modes, as builtin reports them."""
        return self._file.newlines

    async def __aenter__(self) -> Self:
        if self._file.closed:
            raise ValueError("Cannot enter context with closed file")
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.close()

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Any:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line


def SpooledTemporaryFile(
    max_size: int = 0,
    mode: str = "w+b",
    buffering: int = -1,
    encoding: str | None = None,
    newline: str | None = None,
    suffix: str | None = None,
    prefix: str | None = None,
    dir: str | None = None,
    *,
    errors: str | None = None,
) -> Opening[AsyncSpooledTemporaryFile]:
    """A file held in memory until it grows past `max_size` (or its descriptor is asked for), then
    moved to disk, as builtin's SpooledTemporaryFile."""

    async def make() -> AsyncSpooledTemporaryFile:
        await yield_if_spent()
        # In memory: nothing touches a disk until it moves there.
        file = tempfile.SpooledTemporaryFile(
            max_size, mode, buffering, encoding, newline, suffix, prefix, dir, errors=errors
        )
        return AsyncSpooledTemporaryFile(file, max_size)

    return Opening(make)


class AsyncTemporaryDirectory(Generic[AnyStr]):
    """A directory made by builtin's TemporaryDirectory: its name, and its removal on a worker."""

    def __init__(self, directory: tempfile.TemporaryDirectory[AnyStr]) -> None:
        self._directory: tempfile.TemporaryDirectory[AnyStr] = directory

    @property
    def name(self) -> AnyStr:
        """The directory's path."""
        return self._directory.name

    async def cleanup(self) -> None:
        """Removes the directory and all in it (on a worker)."""
        await on_worker(self._directory.cleanup)

    close = cleanup  # aiofiles' name for it

    async def __aenter__(self) -> AnyStr:
        return self._directory.name

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        # Removes it unless delete is false.
        await on_worker(lambda: self._directory.__exit__(exc_type, exc, tb))


def TemporaryDirectory(
    suffix: AnyStr | None = None,
    prefix: AnyStr | None = None,
    dir: AnyStr | os.PathLike[AnyStr] | None = None,
    ignore_cleanup_errors: bool = False,
    *,
    delete: bool = True,
) -> "DirectoryOpening[AnyStr]":
    """Await it for an AsyncTemporaryDirectory, or enter it with `async with` for the directory's
    name; the directory and all in it are removed when the block ends, unless delete is false
    (an argument of builtin's from 3.12 on, as here)."""
    # Passed only when not the default, which builtin's before 3.12 has without the argument.
    options = {} if delete else {"delete": delete}

    def create() -> tempfile.TemporaryDirectory[AnyStr]:
        return tempfile.TemporaryDirectory(suffix, prefix, dir, ignore_cleanup_errors, **options)

    async def make() -> AsyncTemporaryDirectory[AnyStr]:
        return AsyncTemporaryDirectory(await placed(create, await _parent(dir)))

    return DirectoryOpening(make)


class DirectoryOpening(_Deferred[AsyncTemporaryDirectory[AnyStr]]):
    """What TemporaryDirectory returns: await it for the directory, or enter it for its name."""

    __slots__ = ()

    async def __aenter__(self) -> AnyStr:
        made = self._made = await self._make()
        return await made.__aenter__()


# Builtin's take delete_on_close and delete from 3.12 on; so do these.
if sys.version_info < (3, 12):
    _with_later_arguments = (NamedTemporaryFile, TemporaryDirectory)

    def NamedTemporaryFile(  # type: ignore[no-redef]
        mode: str = "w+b",
        buffering: int = -1,
        encoding: str | None = None,
        newline: str | None = None,
        suffix: AnyStr | None = None,
        prefix: AnyStr | None = None,
        dir: AnyStr | os.PathLike[AnyStr] | None = None,
        delete: bool = True,
        *,
        errors: str | None = None,
    ) -> Opening[TemporaryFileWrapper[AnyStr]]:
        """A file with a name in `dir`, as builtin's NamedTemporaryFile: removed when closed (with
        delete), or never."""
        return _with_later_arguments[0](
            mode, buffering, encoding, newline, suffix, prefix, dir, delete, errors=errors
        )

    def TemporaryDirectory(  # type: ignore[no-redef]
        suffix: AnyStr | None = None,
        prefix: AnyStr | None = None,
        dir: AnyStr | os.PathLike[AnyStr] | None = None,
        ignore_cleanup_errors: bool = False,
    ) -> "DirectoryOpening[AnyStr]":
        """Await it for an AsyncTemporaryDirectory, or enter it with `async with` for the
        directory's name; the directory and all in it are removed when the block ends."""
        return _with_later_arguments[1](suffix, prefix, dir, ignore_cleanup_errors)
