"""larkspan as an fsspec file system: local paths (network and FUSE mounts included) under the
protocol "larkspan", for everything that reads through fsspec (zarr, Dask, pandas, xarray).

    fs = fsspec.filesystem("larkspan")          # or larkspan.fsspec.LarkspanFileSystem()
    fs.cat(["/data/a", "/data/b"])              # both read at once
    await LarkspanFileSystem(asynchronous=True)._cat_file("/data/a", start=10, end=20)

Every call runs on larkspan's own calls, so it is placed as they are: inline on the event loop
when the kernel can answer from memory, on a worker when it can wait. Paths, results and
exceptions are those of fsspec's LocalFileSystem for the same call; the synchronous methods
run the coroutines on fsspec's own event loop thread, as with every async fsspec file system.
"""

import asyncio
import atexit
import errno
import io
import os
import stat
import sys
import weakref
from collections.abc import Awaitable, Callable, Iterable
from enum import Enum
from typing import Any, SupportsIndex

try:
    from fsspec.asyn import (  # type: ignore[import-untyped]
        AbstractAsyncStreamedFile,
        AsyncFileSystem,
        _run_coros_in_chunks,
        sync,
        sync_wrapper,
    )
    from fsspec.implementations.local import make_path_posix  # type: ignore[import-untyped]
    from fsspec.utils import isfilelike, stringify_path  # type: ignore[import-untyped]
except ModuleNotFoundError as error:  # pragma: no cover (the test environment has fsspec)
    raise ModuleNotFoundError(
        "larkspan.fsspec needs fsspec: pip install 'larkspan[fsspec]'", name=error.name
    ) from error

import larkspan

from ._calls import on_worker, placed

__all__ = ["BlockingFile", "LarkspanFileSystem", "StreamedFile"]

PROTOCOL = "larkspan"
# Entries stat'ed per placed call while listing a directory with details: as larkspan.os.scandir
# draws them, so one batch holds the loop for about as long as one of its draws.
STAT_BATCH = 512
COPY_CHUNK = 1 << 20  # bytes per read when copying into a caller's file object
# Whole files up to this size are read in one step where the kernel has them in memory: larkspan
# sends larger copies to a worker too, since one would hold the loop for a millisecond or more.
WHOLE_READ_LIMIT = 4 << 20
# Cached files read in one placed call by fs.cat: about a third of a millisecond of the loop.
CACHED_GROUP = 64
# A regular file opens at once with these; a FIFO or device too, and is then left to larkspan.open.
WHOLE_READ_FLAGS = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY

type Info = dict[str, Any]


# ---- what a stat tells, as LocalFileSystem.info() reports it ------------------------------


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


def _path_info(path: str) -> Info:
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
    info = _info_dict(LarkspanFileSystem._strip_protocol(entry.path), status, size, kind, link)
    if link:
        info["destination"] = os.readlink(entry.path)
    return info


def _entries_info(entries: list["os.DirEntry[str]"]) -> list[Info]:
    """The details of the entries still there; one removed since the listing is left out."""
    infos = []
    for entry in entries:
        try:
            infos.append(_entry_info(entry))
        except FileNotFoundError:
            pass
    return infos


def _bytes_only[T](data: T) -> T:
    """`data`, unless it is a str: larkspan's binary handles write str as UTF-8, builtin's refuse it."""
    if isinstance(data, str):
        raise TypeError("a bytes-like object is required, not 'str'")
    return data


class Unread(Enum):
    """Why _read_whole read nothing."""

    WOULD_WAIT = "its pages must come from the device, or it lies on a file system that can wait"
    NOT_SMALL_REGULAR = "not a regular file, WHOLE_READ_LIMIT or more, or changing while read"


def _read_whole(path: str, on_worker_too: bool) -> bytes | Unread:
    """The whole of regular file `path`, read with one system call. On the event loop's thread,
    only when the kernel has every page in memory; on a worker (where larkspan places calls on
    file systems that can wait), only with `on_worker_too`. Opening and reading raise builtin
    open()'s and read()'s exceptions."""
    on_the_loop = asyncio._get_running_loop() is not None  # placed inline rather than on a worker
    if not (on_the_loop or on_worker_too):
        return Unread.WOULD_WAIT
    descriptor = os.open(path, WHOLE_READ_FLAGS)
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(status.st_mode) or status.st_size >= WHOLE_READ_LIMIT:
            return Unread.NOT_SMALL_REGULAR
        buffer = bytearray(status.st_size + 1)  # a byte more, to find the end where the size said
        try:
            count = os.preadv(descriptor, [buffer], 0, os.RWF_NOWAIT if on_the_loop else 0)
        except OSError as error:
            if isinstance(error, BlockingIOError) or error.errno == errno.EOPNOTSUPP:
                return Unread.WOULD_WAIT  # the pages are not in memory, or the file system cannot say
            raise
        if count != status.st_size:
            return Unread.NOT_SMALL_REGULAR
        with memoryview(buffer) as view:
            return bytes(view[:count])
    finally:
        os.close(descriptor)


def _outcome(call: Callable[..., Any], *args: Any) -> Any:
    """`call(*args)`, or the exception it raised, as fsspec's batches hand results back."""
    try:
        return call(*args)
    except Exception as error:
        return error


# Builtin buffered reads refuse these counts; larkspan reads to the end for any negative count.
def _read_count(count: int) -> int:
    if count < -1:
        raise ValueError("read length must be non-negative or -1")
    return count


class LarkspanFileSystem(AsyncFileSystem):  # type: ignore[misc]
    """fsspec's interface to local files over larkspan. `auto_mkdir`: as for LocalFileSystem,
    writing a file first makes its missing parent directories (zarr's stores need it)."""

    protocol = (PROTOCOL,)
    root_marker = "/"
    local_file = True
    sep = "/"

    def __init__(self, auto_mkdir: bool = False, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.auto_mkdir = auto_mkdir

    @property
    def fsid(self) -> str:
        return "local"  # the same files as LocalFileSystem's

    # ---- paths ---------------------------------------------------------------------------

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        """The absolute local path that a path or "larkspan://" URL names (a list: each one's)."""
        if isinstance(path, list):
            return [cls._strip_protocol(item) for item in path]
        text: str = stringify_path(path)
        for prefix in (f"{PROTOCOL}://", f"{PROTOCOL}:"):
            if text.startswith(prefix):
                text = text.removeprefix(prefix)
                break
        posix: str = make_path_posix(text)
        return posix.rstrip("/") or cls.root_marker

    @classmethod
    def _parent(cls, path: Any) -> str:
        return cls._strip_protocol(path).rsplit("/", 1)[0] or "/"

    def unstrip_protocol(self, name: str) -> str:
        return f"{PROTOCOL}://{self._strip_protocol(name)}"

    def _isfilestore(self) -> bool:
        return True

    # ---- reading and writing whole files -------------------------------------------------

    async def _cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        """The file's bytes from `start` to `end` (negative: from the end; None: its start or
        end), as LocalFileSystem's cat_file reads them."""
        path = self._strip_protocol(path)
        if start is None and end is None:
            whole = await placed(lambda: _read_whole(path, True), path)
            if whole is Unread.WOULD_WAIT:  # a local file not in the page cache
                whole = await on_worker(lambda: _read_whole(path, True))
            if not isinstance(whole, Unread):
                return whole
        async with larkspan.open(path, "rb") as f:
            if start is None and end is None:
                return await f.read()
            size = 0
            if (start is not None and start < 0) or (end is not None and end < 0):
                size = await f.seek(0, os.SEEK_END)
            position = 0 if start is None else start if start >= 0 else max(0, size + start)
            await f.seek(position)
            if end is None:
                return await f.read()
            return await f.read(_read_count((end if end >= 0 else size + end) - position))

    async def _cat(self, path: Any, recursive: bool = False, on_error: str = "raise", batch_size: int | None = None,
                   **kwargs: Any) -> Any:
        """The bytes of every file that `path` names (a path, a glob, a list of them), as fsspec's
        own _cat gives them. Files whose bytes are in memory are read at once, one after the
        other; the rest are read side by side by fsspec's batches, so their waits overlap."""
        paths = await self._expand_path(path, recursive=recursive)
        results: list[Any] = [Unread.WOULD_WAIT] * len(paths) if kwargs else await self._read_cached(paths)
        later = [i for i, result in enumerate(results) if isinstance(result, Unread)]
        overlapped = await _run_coros_in_chunks([self._cat_file(paths[i], **kwargs) for i in later],
                                                batch_size=batch_size or self.batch_size, nofiles=True,
                                                return_exceptions=True)
        for i, result in zip(later, overlapped):
            results[i] = result
        return self._cat_outcome(path, paths, results, on_error)

    async def _read_cached(self, paths: list[str]) -> list[Any]:
        """Each file's bytes where the kernel has them in memory, or why not (Unread), or the error
        that opening it raised. Files of one folder are read in one placed call, up to CACHED_GROUP of
        them: they lie on its file system (a file mounted on its own is not told apart, as
        larkspan's placement of path calls does not look at the path itself)."""
        results: list[Any] = []
        start = 0
        while start < len(paths):
            folder = self._parent(paths[start])
            end = start + 1
            while end < len(paths) and end - start < CACHED_GROUP and self._parent(paths[end]) == folder:
                end += 1
            group = paths[start:end]
            results += await placed(lambda: [_outcome(_read_whole, name, False) for name in group], folder)
            start = end
        return results

    def _cat_outcome(self, path: Any, paths: list[str], results: list[Any], on_error: str) -> Any:
        """fsspec's shape of a _cat result: the first error raised with on_error="raise"; the
        bytes alone for one file named as it is, else a dict by path (without the failures when
        on_error="omit")."""
        errors = [result for result in results if isinstance(result, Exception)]
        if on_error == "raise" and errors:
            raise errors[0]
        if len(paths) > 1 or isinstance(path, list) or paths[0] != self._strip_protocol(path):
            return {name: result for name, result in zip(paths, results)
                    if on_error != "omit" or not isinstance(result, Exception)}
        return results[0]

    async def _pipe_file(self, path: str, value: Any, mode: str = "overwrite", **kwargs: Any) -> None:
        """Replaces the file's bytes with `value`; with mode="create", refuses an existing file
        (FileExistsError) in the same step that creates it."""
        await self._with_parents(path, self._write_all, self._strip_protocol(path), value,
                                 "xb" if mode == "create" else "wb")

    async def _write_all(self, path: str, value: Any, mode: str) -> None:
        async with larkspan.open(path, mode) as f:
            await f.write(_bytes_only(value))

    async def _with_parents[T](self, path: str, write: Callable[..., Awaitable[T]], *args: Any) -> T:
        """`write(*args)`; with auto_mkdir, when it fails for want of a parent directory, makes the
        parents and tries once more (one attempt per write in the usual case, not a makedirs)."""
        try:
            return await write(*args)
        except FileNotFoundError:
            if not self.auto_mkdir:
                raise
        await larkspan.os.makedirs(self._parent(path), exist_ok=True)
        return await write(*args)

    async def _cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        path1, path2 = self._strip_protocol(path1), self._strip_protocol(path2)
        if self.auto_mkdir:
            await larkspan.os.makedirs(self._parent(path2), exist_ok=True)
        if await larkspan.os.path.isfile(path1):
            await larkspan.shutil.copyfile(path1, path2)
        elif await larkspan.os.path.isdir(path1):
            await larkspan.os.makedirs(path2, exist_ok=True)
        else:
            raise FileNotFoundError(path1)

    async def _get_file(self, rpath: str, lpath: Any, callback: Any = None, **kwargs: Any) -> None:
        """Copies `rpath` to the local path `lpath`, or into `lpath` when it is a file object."""
        if isfilelike(lpath):
            async with larkspan.open(self._strip_protocol(rpath), "rb") as f:
                while chunk := await f.read(COPY_CHUNK):
                    lpath.write(chunk)
        else:
            await self._cp_file(rpath, lpath, **kwargs)

    async def _put_file(self, lpath: str, rpath: str, callback: Any = None, **kwargs: Any) -> None:
        await self._cp_file(lpath, rpath, **kwargs)

    # ---- what the file system holds ------------------------------------------------------

    async def _info(self, path: Any, **kwargs: Any) -> Info:
        path = self._strip_protocol(path)
        return await placed(lambda: _path_info(path), path)

    async def _ls(self, path: str, detail: bool = False, **kwargs: Any) -> list[Info] | list[str]:
        """The entries of directory `path` (names, or their details with `detail`), or a file's
        own; FileNotFoundError when there is nothing at `path`."""
        path = self._strip_protocol(path)
        info = await self._info(path)
        if info["type"] != "directory":
            return [info] if detail else [info["name"]]
        async with larkspan.os.scandir(path) as listing:
            if not detail:
                return [self._strip_protocol(entry.path) async for entry in listing]
            infos: list[Info] = []
            batch: list[os.DirEntry[str]] = []
            async for entry in listing:
                batch.append(entry)
                if len(batch) == STAT_BATCH:
                    infos += await self._stat_entries(path, batch)
                    batch = []
            return infos + await self._stat_entries(path, batch)

    async def _stat_entries(self, path: str, entries: list["os.DirEntry[str]"]) -> list[Info]:
        return await placed(lambda: _entries_info(entries), path) if entries else []

    async def _isfile(self, path: str) -> bool:
        return await larkspan.os.path.isfile(self._strip_protocol(path))

    async def _isdir(self, path: str) -> bool:
        return await larkspan.os.path.isdir(self._strip_protocol(path))

    async def _exists(self, path: str, **kwargs: Any) -> bool:
        return await larkspan.os.path.exists(self._strip_protocol(path))

    async def _lexists(self, path: str, **kwargs: Any) -> bool:
        path = self._strip_protocol(path)
        return await placed(lambda: os.path.lexists(path), path)

    async def _islink(self, path: str) -> bool:
        return await larkspan.os.path.islink(self._strip_protocol(path))

    async def _created(self, path: str) -> Any:
        from datetime import UTC, datetime

        return datetime.fromtimestamp((await self._info(path))["created"], tz=UTC)

    async def _modified(self, path: str) -> Any:
        from datetime import UTC, datetime

        return datetime.fromtimestamp((await self._info(path))["mtime"], tz=UTC)

    # ---- changing it ---------------------------------------------------------------------

    async def _rm_file(self, path: str, **kwargs: Any) -> None:
        await larkspan.os.remove(self._strip_protocol(path))

    async def _rm(self, path: str | list[str], recursive: bool = False, maxdepth: int | None = None,
                  **kwargs: Any) -> None:
        """Removes each path given, in order, as LocalFileSystem's rm does: a directory only with
        `recursive`, and never the current one; names are not expanded as globs."""
        for name in path if isinstance(path, list) else [path]:
            name = self._strip_protocol(name)
            if await larkspan.os.path.isdir(name) and not await larkspan.os.path.islink(name):
                if not recursive:
                    raise ValueError("Cannot delete directory, set recursive=True")
                if os.path.abspath(name) == await larkspan.os.getcwd():
                    raise ValueError("Cannot delete current working directory")
                await larkspan.shutil.rmtree(name)
            else:
                await larkspan.os.remove(name)

    async def _mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        if await self._exists(path):
            raise FileExistsError(path)
        if create_parents:
            await larkspan.os.makedirs(path, exist_ok=True)
        else:
            await larkspan.os.mkdir(path, **kwargs)

    async def _makedirs(self, path: str, exist_ok: bool = False) -> None:
        await larkspan.os.makedirs(self._strip_protocol(path), exist_ok=exist_ok)

    async def _rmdir(self, path: str) -> None:
        await larkspan.os.rmdir(self._strip_protocol(path))

    async def _mv(self, path1: str, path2: str, recursive: bool = True, maxdepth: int | None = None,
                  **kwargs: Any) -> None:
        """Moves a file or a whole directory (always recursive, as LocalFileSystem's mv)."""
        path1, path2 = self._strip_protocol(path1), self._strip_protocol(path2)
        if self.auto_mkdir:
            await larkspan.os.makedirs(self._parent(path2), exist_ok=True)
        await larkspan.shutil.move(path1, path2)

    async def _touch(self, path: str, truncate: bool = True, **kwargs: Any) -> None:
        """Creates an empty file, or updates its times (and empties it with `truncate`)."""
        path = self._strip_protocol(path)
        if self.auto_mkdir:
            await larkspan.os.makedirs(self._parent(path), exist_ok=True)
        if await self._exists(path):
            await placed(lambda: os.utime(path, None), path)
        else:
            await self._write_all(path, b"", "ab")
        if truncate:
            await placed(lambda: os.truncate(path, 0), path)

    async def _link(self, src: str, dst: str, **kwargs: Any) -> None:
        await larkspan.os.link(self._strip_protocol(src), self._strip_protocol(dst), **kwargs)

    async def _symlink(self, src: str, dst: str, **kwargs: Any) -> None:
        await larkspan.os.symlink(self._strip_protocol(src), self._strip_protocol(dst), **kwargs)

    async def _chmod(self, path: str, mode: int) -> None:
        path = stringify_path(path)
        await placed(lambda: os.chmod(path, mode), path)

    # fsspec derives the blocking forms only of the methods AsyncFileSystem itself declares.
    mv = sync_wrapper(_mv)
    rmdir = sync_wrapper(_rmdir)
    touch = sync_wrapper(_touch)
    lexists = sync_wrapper(_lexists)
    islink = sync_wrapper(_islink)
    created = sync_wrapper(_created)
    modified = sync_wrapper(_modified)
    link = sync_wrapper(_link)
    symlink = sync_wrapper(_symlink)
    chmod = sync_wrapper(_chmod)

    # ---- open files ----------------------------------------------------------------------

    def _open(self, path: str, mode: str = "rb", block_size: Any = None, autocommit: bool = True,
              cache_options: Any = None, **kwargs: Any) -> "BlockingFile":
        """What fs.open() returns in binary modes: a file object whose calls run on fsspec's
        event loop thread, as larkspan's calls."""
        if not autocommit:
            raise NotImplementedError("larkspan.fsspec writes files in place: transactions are not supported")
        path = self._strip_protocol(path)
        handle, size = sync(self.loop, self._open_sized, path, mode)
        return BlockingFile(self, path, handle, size)

    async def _open_handle(self, path: str, mode: str) -> "larkspan.FileHandle[bytes]":
        if self.auto_mkdir and any(letter in mode for letter in "wxa"):
            await larkspan.os.makedirs(self._parent(path), exist_ok=True)
        handle: larkspan.FileHandle[bytes] = await larkspan.open(path, mode)  # a binary mode, by fs.open
        return handle

    async def _open_sized(self, path: str, mode: str) -> tuple["larkspan.FileHandle[bytes]", int | None]:
        """A handle on `path` and, unless `mode` writes anew ("w"), the file's size, with the
        position at its start, as LocalFileSystem's files have them (appending files included);
        the handle is closed again when the size cannot be had."""
        handle = await self._open_handle(path, mode)
        if "w" in mode:
            return handle, None
        try:
            size = await handle.seek(0, os.SEEK_END)
            await handle.seek(0)
        except BaseException:
            await handle.close()
            raise
        return handle, size

    async def open_async(self, path: str, mode: str = "rb", **kwargs: Any) -> "StreamedFile":
        """An fsspec streamed file: `await f.read(n)`, `await f.write(data)`, `async with`, in
        the modes "rb", "wb", "ab" and "xb"."""
        if "b" not in mode or kwargs.get("compression"):
            raise ValueError(f"open_async reads and writes bytes only, without compression; mode {mode!r}")
        if mode not in ("rb", "wb", "ab", "xb"):
            raise NotImplementedError("File mode not supported")
        handle, size = await self._open_sized(self._strip_protocol(path), mode)
        return StreamedFile(self, self._strip_protocol(path), mode, handle, size, **kwargs)


class StreamedFile(AbstractAsyncStreamedFile):  # type: ignore[misc]
    """fsspec's streamed file over one open larkspan handle: reads ask the handle for the
    range asked; writes gather in fsspec's buffer and go to the handle a block at a time."""

    def __init__(self, fs: LarkspanFileSystem, path: str, mode: str, handle: "larkspan.FileHandle[bytes]",
                 size: int | None, **kwargs: Any) -> None:
        # "xb" has already refused an existing file at the open; from there it writes as "wb".
        super().__init__(fs, path, "wb" if mode == "xb" else mode, size=size, cache_type="none", **kwargs)
        self.handle = handle

    async def _fetch_range(self, start: int, end: int) -> bytes:
        await self.handle.seek(start)
        return await self.handle.read(end - start)

    async def _upload_chunk(self, final: bool = False) -> bool:
        await self.handle.write(self.buffer.getbuffer())
        return True

    async def close(self) -> None:
        try:
            await super().close()
        finally:
            await self.handle.close()


class BlockingFile(io.BufferedIOBase):
    """A binary file object for blocking code: each call runs the larkspan handle's call on the
    file system's event loop and waits for it. Builtin's exceptions, positions and modes."""

    def __init__(self, fs: LarkspanFileSystem, path: str, handle: "larkspan.FileHandle[bytes]", size: int | None) -> None:
        super().__init__()
        self.fs = fs
        self.path = path
        self.handle = handle
        if size is not None:
            self.size = size  # when opened for reading, as LocalFileSystem's files have it
        _open_blocking_files.add(self)

    def _run[T](self, call: Callable[..., Awaitable[T]], *args: Any) -> T:
        result: T = sync(self.fs.loop, call, *args)
        return result

    @property
    def name(self) -> str:
        return self.path

    @property
    def mode(self) -> str:
        return self.handle.mode

    def readable(self) -> bool:
        return self.handle.readable()

    def writable(self) -> bool:
        return self.handle.writable()

    def seekable(self) -> bool:
        return self.handle.seekable()

    def fileno(self) -> int:
        return self.handle.fileno()

    def isatty(self) -> bool:
        return self._run(self.handle.isatty)

    def read(self, size: int | None = -1) -> bytes:
        return self._run(self.handle.read, _read_count(-1 if size is None else size))

    def read1(self, size: int = -1) -> bytes:
        return self._run(self.handle.read1, _read_count(size))

    def readinto(self, buffer: Any) -> int:
        return self._run(self.handle.readinto, buffer)

    def readline(self, size: int | None = -1) -> bytes:
        return self._run(self.handle.readline, size)

    def write(self, data: Any) -> int:
        return self._run(self.handle.write, _bytes_only(data))

    def writelines(self, lines: Iterable[Any]) -> None:
        for line in lines:
            self.write(line)

    def seek(self, offset: SupportsIndex, whence: int = os.SEEK_SET) -> int:
        return self._run(self.handle.seek, offset, whence)

    def tell(self) -> int:
        return self._run(self.handle.tell)

    def truncate(self, size: int | None = None) -> int:
        return self._run(self.handle.truncate, size)

    def flush(self) -> None:
        if not self.handle.closed:  # close() flushes and closes in one call
            self._run(self.handle.flush)
        super().flush()  # ValueError once closed, as builtin's files

    def close(self) -> None:
        if self.closed:
            return
        try:
            self._run(self.handle.close)
        finally:
            _open_blocking_files.discard(self)
            super().close()

    def __del__(self) -> None:
        """Closes the file as builtin's files do when let go, where its loop can still run the
        close: not at interpreter exit, when fsspec's loop thread has stopped (the files open
        then were closed before, by _close_blocking_files_at_exit), nor on that loop's own
        thread, which cannot wait for itself. There the handle's own finalizer closes it."""
        if self.closed or sys.is_finalizing() or _on_the_loop(self.fs.loop):
            return
        self.close()


# Files that fs.open() gave and nobody closed yet: closed at interpreter exit while fsspec's loop
# thread still runs, so that their pending bytes reach the file as with builtin's files.
_open_blocking_files: "weakref.WeakSet[BlockingFile]" = weakref.WeakSet()


@atexit.register
def _close_blocking_files_at_exit() -> None:
    for file in list(_open_blocking_files):
        try:
            file.close()
        except Exception:  # the one place that swallows: what remains at exit has no caller to tell
            pass


def _on_the_loop(loop: Any) -> bool:
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False
