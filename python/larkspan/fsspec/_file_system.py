"""LarkspanFileSystem: fsspec's AsyncFileSystem over larkspan's calls, with LocalFileSystem's
paths, results and exceptions."""

import os
from collections.abc import Awaitable, Callable
from functools import partial
from typing import Any, TypeVar

from fsspec.asyn import AsyncFileSystem, _run_coros_in_chunks, sync, sync_wrapper  # type: ignore[import-untyped]
from fsspec.implementations.local import make_path_posix  # type: ignore[import-untyped]
from fsspec.utils import isfilelike, stringify_path  # type: ignore[import-untyped]

import larkspan

from .._calls import on_worker, placed
from ._files import BlockingFile, StreamedFile
from ._local import (
    WHOLE_FILE_LIMIT,
    Info,
    Unread,
    Waiting,
    bytes_only,
    entries_info,
    finish_read,
    outcome,
    path_info,
    read_count,
    read_whole,
    write_whole,
)

T = TypeVar("T")

PROTOCOL = "larkspan"
# Entries stat'ed per placed call while listing a directory with details: as larkspan.os.scandir
# draws them, so one batch holds the loop for about as long as one of its draws.
STAT_BATCH = 512
COPY_CHUNK = 1 << 20  # bytes per read when copying into a caller's file object
# Cached files read in one placed call by fs.cat: about a third of a millisecond of the loop.
CACHED_GROUP = 64


def _read_each(paths: list[str]) -> list[Any]:
    """Each file's bytes where the kernel has them in memory, or why not, or what opening it
    raised."""
    return [outcome(read_whole, name, False) for name in paths]


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

    async def _cat_file(
        self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any
    ) -> bytes:
        """The file's bytes from `start` to `end` (negative: from the end; None: its start or
        end), as LocalFileSystem's cat_file reads them."""
        path = self._strip_protocol(path)
        if start is None and end is None:
            whole = await placed(lambda: read_whole(path, True, hand_over=True), path)
            # A local file not in the page cache: read on, on a worker.
            if isinstance(whole, Waiting):
                waiting = whole
                whole = await on_worker(lambda: finish_read(waiting))
            if isinstance(whole, bytes):
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
            return await f.read(read_count((end if end >= 0 else size + end) - position))

    async def _cat(
        self,
        path: Any,
        recursive: bool = False,
        on_error: str = "raise",
        batch_size: int | None = None,
        **kwargs: Any,
    ) -> Any:
        """The bytes of every file that `path` names (a path, a glob, a list of them), as fsspec's
        own _cat gives them. Files whose bytes are in memory are read at once, one after the
        other; the rest are read side by side by fsspec's batches, so their waits overlap."""
        paths = await self._expand_path(path, recursive=recursive)
        results: list[Any] = (
            [Unread.WOULD_WAIT] * len(paths) if kwargs else await self._read_cached(paths)
        )
        later = [i for i, result in enumerate(results) if isinstance(result, Unread)]
        overlapped = await _run_coros_in_chunks(
            [self._cat_file(paths[i], **kwargs) for i in later],
            batch_size=batch_size or self.batch_size,
            nofiles=True,
            return_exceptions=True,
        )
        for i, result in zip(later, overlapped):
            results[i] = result
        return self._catoutcome(path, paths, results, on_error)

    async def _read_cached(self, paths: list[str]) -> list[Any]:
        """Each file's bytes where the kernel has them in memory, or why not (Unread), or the error
        that opening it raised. Files of one folder are read in one placed call, up to CACHED_GROUP
        of them: they lie on its file system (a file mounted on its own is not told apart, as
        larkspan's placement of path calls does not look at the path itself)."""
        results: list[Any] = []
        start = 0
        while start < len(paths):
            folder = self._parent(paths[start])
            end = start + 1
            while (
                end < len(paths)
                and end - start < CACHED_GROUP
                and self._parent(paths[end]) == folder
            ):
                end += 1
            results += await placed(partial(_read_each, paths[start:end]), folder)
            start = end
        return results

    def _catoutcome(self, path: Any, paths: list[str], results: list[Any], on_error: str) -> Any:
        """fsspec's shape of a _cat result: the first error raised with on_error="raise"; the
        bytes alone for one file named as it is, else a dict by path (without the failures when
        on_error="omit")."""
        errors = [result for result in results if isinstance(result, Exception)]
        if on_error == "raise" and errors:
            raise errors[0]
        if len(paths) > 1 or isinstance(path, list) or paths[0] != self._strip_protocol(path):
            return {
                name: result
                for name, result in zip(paths, results)
                if on_error != "omit" or not isinstance(result, Exception)
            }
        return results[0]

    async def _pipe_file(
        self, path: str, value: Any, mode: str = "overwrite", **kwargs: Any
    ) -> None:
        """Replaces the file's bytes with `value`; with mode="create", refuses an existing file
        (FileExistsError) in the same step that creates it. Below WHOLE_FILE_LIMIT, in one
        placed call (larkspan writes inline wherever the file system cannot wait)."""
        path = self._strip_protocol(path)
        exclusive = mode == "create"
        if isinstance(value, (bytes, bytearray)) and len(value) < WHOLE_FILE_LIMIT:
            await self._with_parents(
                path, placed, lambda: write_whole(path, value, exclusive), path
            )
        else:
            await self._with_parents(
                path, self._write_all, path, value, "xb" if exclusive else "wb"
            )

    async def _write_all(self, path: str, value: Any, mode: str) -> None:
        async with larkspan.open(path, mode) as f:
            await f.write(bytes_only(value))

    async def _with_parents(self, path: str, write: Callable[..., Awaitable[T]], *args: Any) -> T:
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
        return await placed(lambda: path_info(path), path)

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
        return await placed(lambda: entries_info(entries), path) if entries else []

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

    async def _rm(
        self,
        path: str | list[str],
        recursive: bool = False,
        maxdepth: int | None = None,
        **kwargs: Any,
    ) -> None:
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

    async def _mv(
        self,
        path1: str,
        path2: str,
        recursive: bool = True,
        maxdepth: int | None = None,
        **kwargs: Any,
    ) -> None:
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

    def _open(
        self,
        path: str,
        mode: str = "rb",
        block_size: Any = None,
        autocommit: bool = True,
        cache_options: Any = None,
        **kwargs: Any,
    ) -> "BlockingFile":
        """What fs.open() returns in binary modes: a file object whose calls run on fsspec's
        event loop thread, as larkspan's calls."""
        if not autocommit:
            raise NotImplementedError(
                "larkspan.fsspec writes files in place: transactions are not supported"
            )
        path = self._strip_protocol(path)
        handle, size = sync(self.loop, self._open_sized, path, mode)
        return BlockingFile(self, path, handle, size)

    async def _open_handle(self, path: str, mode: str) -> "larkspan.FileHandle[bytes]":
        if self.auto_mkdir and any(letter in mode for letter in "wxa"):
            await larkspan.os.makedirs(self._parent(path), exist_ok=True)
        # A binary mode, by fs.open.
        handle: larkspan.FileHandle[bytes] = await larkspan.open(path, mode)
        return handle

    async def _open_sized(
        self, path: str, mode: str
    ) -> tuple["larkspan.FileHandle[bytes]", int | None]:
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
            raise ValueError(
                f"open_async reads and writes bytes only, without compression; mode {mode!r}"
            )
        if mode not in ("rb", "wb", "ab", "xb"):
            raise NotImplementedError("File mode not supported")
        handle, size = await self._open_sized(self._strip_protocol(path), mode)
        return StreamedFile(self, self._strip_protocol(path), mode, handle, size, **kwargs)
