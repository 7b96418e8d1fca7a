"""larkspan.Path: pathlib's Path for asyncio."""

import os
import pathlib
import sys
from collections.abc import AsyncIterator, Callable, Iterable, Iterator
from typing import Any, Self, TypeVar

from . import _open, _placement, _whole_file
from ._budget import yield_if_spent
from ._buffer import Buffer
from ._calls import in_batches, on_worker, open_options, placed
from ._limiter import Limiter, check_limiter
from ._open import OpenContext
from ._placement import Located, StrPath
from .os import ScandirIterator

T = TypeVar("T")


def _reads_user_database(path: pathlib.PurePath) -> bool:
    """Whether expanding `path`'s "~" looks a user up (by name, or for want of $HOME): the user
    database may be served over the network (LDAP, NIS)."""
    first = path.parts[0] if path.parts else ""
    return first.startswith("~") and (first != "~" or "HOME" not in os.environ)


class Path(pathlib.PurePosixPath):
    """A path whose pure operations and properties are pathlib's (and give larkspan.Path objects),
    and whose operations on the file system are coroutines with pathlib.Path's arguments, results
    and exceptions. Like larkspan.os, each runs inline when the path lies on a file system that
    cannot wait, else on a worker; looking users up (owner, group, "~name") always runs on a worker.
    iterdir, glob, rglob and walk are async iterators drawing their results in batches. open() is
    larkspan.open() on the path: await it, or enter it with `async with`. `limiter`, as for open(),
    bounds the calls on workers, and the paths made from this one keep it."""

    __slots__ = ("_limiter",)

    if sys.version_info >= (3, 12):

        def __init__(self, *args: StrPath, limiter: Limiter | None = None) -> None:
            super().__init__(*args)
            self._limiter = check_limiter("Path()", limiter)

        def with_segments(self, *segments: StrPath) -> Self:
            """A path of the same class from `segments`, keeping this one's limiter; pathlib makes
            every derived path (`/`, parent, glob's results, ...) with it."""
            return self._derive(*segments)

    else:  # pathlib makes paths in __new__, and derives them without with_segments

        def __new__(cls, *args: StrPath, limiter: Limiter | None = None) -> Self:
            path = super().__new__(cls, *args)
            path._limiter = check_limiter("Path()", limiter)
            return path

        # The derivations people write most keep the limiter, as 3.12's pathlib keeps it.
        def __truediv__(self, key: StrPath) -> Self:
            return self._derive(self, key)

        def __rtruediv__(self, key: StrPath) -> Self:
            return self._derive(key, self)

        def joinpath(self, *segments: StrPath) -> Self:
            """pathlib.Path.joinpath(), awaited: pathlib's arguments, result and exceptions."""
            return self._derive(self, *segments)

        @property
        def parent(self) -> Self:
            """pathlib.Path.parent(), awaited: pathlib's arguments, result and exceptions."""
            return self._derive(super().parent)

        def with_name(self, name: str) -> Self:
            """pathlib.Path.with_name(), awaited: pathlib's arguments, result and exceptions."""
            return self._derive(super().with_name(name))

        def with_stem(self, stem: str) -> Self:
            """pathlib.Path.with_stem(), awaited: pathlib's arguments, result and exceptions."""
            return self._derive(super().with_stem(stem))

        def with_suffix(self, suffix: str) -> Self:
            """pathlib.Path.with_suffix(), awaited: pathlib's arguments, result and exceptions."""
            return self._derive(super().with_suffix(suffix))

    def _derive(self, *segments: StrPath) -> Self:
        return type(self)(*segments, limiter=self.limiter)

    @property
    def limiter(self) -> Limiter | None:
        """What bounds this path's calls on workers, or None."""
        return getattr(self, "_limiter", None)  # unset in a path pathlib derived before 3.12

    def _sync(self) -> pathlib.Path:
        return pathlib.Path(self)

    async def _placed(self, call: Callable[[pathlib.Path], T], *others: Located) -> T:
        """Runs pathlib's `call` on this path, which (with `others`) places it."""
        path = self._sync()
        return await placed(lambda: call(path), self, *others, limiter=self.limiter)

    # ---- queries ---------------------------------------------------------------------------

    async def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        """pathlib.Path.stat(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(lambda path: path.stat(follow_symlinks=follow_symlinks))

    async def lstat(self) -> os.stat_result:
        """pathlib.Path.lstat(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.lstat)

    # Each method takes the arguments of the running CPython's pathlib: the newer ones have more.
    if sys.version_info >= (3, 12):

        async def exists(self, *, follow_symlinks: bool = True) -> bool:
            """pathlib.Path.exists(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(lambda path: path.exists(follow_symlinks=follow_symlinks))

        async def is_junction(self) -> bool:
            """pathlib.Path.is_junction(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(pathlib.Path.is_junction)

    else:

        async def exists(self) -> bool:
            """pathlib.Path.exists(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(pathlib.Path.exists)

        async def link_to(self, target: StrPath) -> None:
            """pathlib.Path.link_to(), awaited: pathlib's arguments, result and exceptions."""
            await self._placed(lambda path: path.link_to(target), target)

    if sys.version_info >= (3, 13):

        async def is_dir(self, *, follow_symlinks: bool = True) -> bool:
            """pathlib.Path.is_dir(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(lambda path: path.is_dir(follow_symlinks=follow_symlinks))

        async def is_file(self, *, follow_symlinks: bool = True) -> bool:
            """pathlib.Path.is_file(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(lambda path: path.is_file(follow_symlinks=follow_symlinks))

        async def owner(self, *, follow_symlinks: bool = True) -> str:
            """pathlib.Path.owner(), awaited: pathlib's arguments, result and exceptions."""
            return await on_worker(
                lambda: self._sync().owner(follow_symlinks=follow_symlinks), self.limiter
            )

        async def group(self, *, follow_symlinks: bool = True) -> str:
            """pathlib.Path.group(), awaited: pathlib's arguments, result and exceptions."""
            return await on_worker(
                lambda: self._sync().group(follow_symlinks=follow_symlinks), self.limiter
            )

        @classmethod
        def from_uri(cls, uri: str) -> Self:
            """The path of a "file:" URI, as pathlib's from_uri (no I/O, so not a coroutine)."""
            return cls(pathlib.Path.from_uri(uri))

    else:

        async def is_dir(self) -> bool:
            """pathlib.Path.is_dir(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(pathlib.Path.is_dir)

        async def is_file(self) -> bool:
            """pathlib.Path.is_file(), awaited: pathlib's arguments, result and exceptions."""
            return await self._placed(pathlib.Path.is_file)

        async def owner(self) -> str:
            """pathlib.Path.owner(), awaited: pathlib's arguments, result and exceptions."""
            return await on_worker(self._sync().owner, self.limiter)

        async def group(self) -> str:
            """pathlib.Path.group(), awaited: pathlib's arguments, result and exceptions."""
            return await on_worker(self._sync().group, self.limiter)

    async def is_symlink(self) -> bool:
        """pathlib.Path.is_symlink(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.is_symlink)

    async def is_mount(self) -> bool:
        """pathlib.Path.is_mount(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.is_mount)

    async def is_block_device(self) -> bool:
        """pathlib.Path.is_block_device(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.is_block_device)

    async def is_char_device(self) -> bool:
        """pathlib.Path.is_char_device(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.is_char_device)

    async def is_fifo(self) -> bool:
        """pathlib.Path.is_fifo(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.is_fifo)

    async def is_socket(self) -> bool:
        """pathlib.Path.is_socket(), awaited: pathlib's arguments, result and exceptions."""
        return await self._placed(pathlib.Path.is_socket)

    async def samefile(self, other_path: StrPath) -> bool:
        # pathlib calls other_path.stat(), which on a larkspan.Path is a coroutine.
        """pathlib.Path.samefile(), awaited: pathlib's arguments, result and exceptions."""
        other = os.fspath(other_path) if isinstance(other_path, Path) else other_path
        return await self._placed(lambda path: path.samefile(other), other)

    # ---- paths -----------------------------------------------------------------------------

    async def readlink(self) -> Self:
        """pathlib.Path.readlink(), awaited: pathlib's arguments, result and exceptions."""
        return self._derive(await self._placed(pathlib.Path.readlink))

    async def resolve(self, strict: bool = False) -> Self:
        """pathlib.Path.resolve(), awaited: pathlib's arguments, result and exceptions."""
        return self._derive(await self._placed(lambda path: path.resolve(strict)))

    async def absolute(self) -> Self:
        """Inline: it reads the current directory's name, which the kernel keeps in memory."""
        await yield_if_spent()
        return self._derive(self._sync().absolute())

    async def expanduser(self) -> Self:
        """pathlib.Path.expanduser(), awaited: pathlib's arguments, result and exceptions."""
        path = self._sync()
        if _reads_user_database(self):
            return self._derive(await on_worker(path.expanduser, self.limiter))
        await yield_if_spent()
        return self._derive(path.expanduser())

    @classmethod
    async def home(cls, *, limiter: Limiter | None = None) -> Self:
        """The user's home directory, as pathlib's home() (the user database may be asked, on a
        worker)."""
        return await cls("~", limiter=limiter).expanduser()

    @classmethod
    async def cwd(cls, *, limiter: Limiter | None = None) -> Self:
        """The current directory."""
        path = cls(os.getcwd(), limiter=limiter)
        await yield_if_spent()
        return path

    # ---- changes ---------------------------------------------------------------------------

    async def touch(self, mode: int = 0o666, exist_ok: bool = True) -> None:
        """pathlib.Path.touch(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.touch(mode, exist_ok))

    async def mkdir(self, mode: int = 0o777, parents: bool = False, exist_ok: bool = False) -> None:
        """pathlib.Path.mkdir(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.mkdir(mode, parents, exist_ok))

    async def chmod(self, mode: int, *, follow_symlinks: bool = True) -> None:
        """pathlib.Path.chmod(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.chmod(mode, follow_symlinks=follow_symlinks))

    async def lchmod(self, mode: int) -> None:
        """pathlib.Path.lchmod(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.lchmod(mode))

    async def unlink(self, missing_ok: bool = False) -> None:
        """pathlib.Path.unlink(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.unlink(missing_ok))

    async def rmdir(self) -> None:
        """pathlib.Path.rmdir(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(pathlib.Path.rmdir)

    async def rename(self, target: StrPath) -> Self:
        """pathlib.Path.rename(), awaited: pathlib's arguments, result and exceptions."""
        return self._derive(await self._placed(lambda path: path.rename(target), target))

    async def replace(self, target: StrPath) -> Self:
        """pathlib.Path.replace(), awaited: pathlib's arguments, result and exceptions."""
        return self._derive(await self._placed(lambda path: path.replace(target), target))

    async def symlink_to(self, target: StrPath, target_is_directory: bool = False) -> None:
        # The link's target is only written into the link, never looked up.
        """pathlib.Path.symlink_to(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.symlink_to(target, target_is_directory))

    async def hardlink_to(self, target: StrPath) -> None:
        """pathlib.Path.hardlink_to(), awaited: pathlib's arguments, result and exceptions."""
        await self._placed(lambda path: path.hardlink_to(target), target)

    # ---- content ---------------------------------------------------------------------------

    def open(
        self,
        mode: str = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> OpenContext[Any]:
        """larkspan.open() on this path, with pathlib's arguments (and the path's limiter): await it
        or enter it."""
        return _open.open(
            self, mode, **open_options(buffering, encoding, errors, newline), limiter=self.limiter
        )

    async def read_bytes(self) -> bytes:
        """The file's bytes, as pathlib's read_bytes()."""
        return await _whole_file.read_bytes(self, limiter=self.limiter)

    if sys.version_info >= (3, 13):

        async def read_text(
            self, encoding: str | None = None, errors: str | None = None, newline: str | None = None
        ) -> str:
            """The file's text, as pathlib's read_text()."""
            async with self.open("r", encoding=encoding, errors=errors, newline=newline) as f:
                text: str = await f.read()
                return text

    else:

        async def read_text(self, encoding: str | None = None, errors: str | None = None) -> str:
            """The file's text, as pathlib's read_text()."""
            return await _whole_file.read_text(self, encoding, errors, limiter=self.limiter)

    async def write_bytes(self, data: Buffer) -> int:
        """Replaces the file's content with `data`; returns the number of bytes written."""
        # As pathlib: any buffer, and a TypeError before the file is touched.
        view = memoryview(data)
        return await _whole_file.write_bytes(self, view, limiter=self.limiter)

    async def write_text(
        self,
        data: str,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> int:
        """Replaces the file's content with `data`; returns the number of characters written."""
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        async with self.open("w", encoding=encoding, errors=errors, newline=newline) as f:
            written: int = await f.write(data)
            return written

    # ---- directories -----------------------------------------------------------------------

    async def iterdir(self) -> AsyncIterator[Self]:
        """The entries of this directory, as paths, drawn in batches."""
        async with ScandirIterator(self, self.limiter) as entries:
            async for entry in entries:
                yield self._derive(self, entry.name)

    async def _matches(
        self, find: Callable[[pathlib.Path], Iterable[pathlib.Path]]
    ) -> AsyncIterator[Self]:
        """What pathlib's `find` yields on this path. It is called where the batches are drawn, as
        3.13's glob() checks its pattern when called, not when first iterated."""
        path = self._sync()

        def matches() -> Iterator[pathlib.Path]:
            yield from find(path)

        async for match in in_batches(matches(), _placement.path_may_wait(self), self.limiter):
            yield self._derive(match)

    if sys.version_info >= (3, 13):

        async def glob(
            self,
            pattern: str,
            *,
            case_sensitive: bool | None = None,
            recurse_symlinks: bool = False,
        ) -> AsyncIterator[Self]:
            """The paths under this one that match `pattern`, as pathlib's glob(), drawn in
            batches."""
            async for match in self._matches(
                lambda path: path.glob(
                    pattern, case_sensitive=case_sensitive, recurse_symlinks=recurse_symlinks
                )
            ):
                yield match

        async def rglob(
            self,
            pattern: str,
            *,
            case_sensitive: bool | None = None,
            recurse_symlinks: bool = False,
        ) -> AsyncIterator[Self]:
            """glob() of `pattern` in this directory and every directory under it."""
            async for match in self._matches(
                lambda path: path.rglob(
                    pattern, case_sensitive=case_sensitive, recurse_symlinks=recurse_symlinks
                )
            ):
                yield match

    elif sys.version_info >= (3, 12):

        async def glob(
            self, pattern: str, *, case_sensitive: bool | None = None
        ) -> AsyncIterator[Self]:
            """The paths under this one that match `pattern`, as pathlib's glob(), drawn in
            batches."""
            async for match in self._matches(
                lambda path: path.glob(pattern, case_sensitive=case_sensitive)
            ):
                yield match

        async def rglob(
            self, pattern: str, *, case_sensitive: bool | None = None
        ) -> AsyncIterator[Self]:
            """glob() of `pattern` in this directory and every directory under it."""
            async for match in self._matches(
                lambda path: path.rglob(pattern, case_sensitive=case_sensitive)
            ):
                yield match

    else:

        async def glob(self, pattern: str) -> AsyncIterator[Self]:
            """The paths under this one that match `pattern`, as pathlib's glob(), drawn in
            batches."""
            async for match in self._matches(lambda path: path.glob(pattern)):
                yield match

        async def rglob(self, pattern: str) -> AsyncIterator[Self]:
            """glob() of `pattern` in this directory and every directory under it."""
            async for match in self._matches(lambda path: path.rglob(pattern)):
                yield match

    if sys.version_info >= (3, 12):  # pathlib has walk from 3.12 on

        async def walk(
            self,
            top_down: bool = True,
            on_error: Callable[[OSError], object] | None = None,
            follow_symlinks: bool = False,
        ) -> AsyncIterator[tuple[Self, list[str], list[str]]]:
            """pathlib's walk, one directory per step, so that (top down) the names the caller
            removes from a step's directory list are not walked, as with pathlib. `on_error` runs
            where the step does, on a worker when the tree can wait."""
            steps = self._sync().walk(top_down, on_error, follow_symlinks)
            may_wait = _placement.path_may_wait(self)

            def step() -> tuple[pathlib.Path, list[str], list[str]] | None:
                return next(steps, None)

            while True:
                await yield_if_spent()
                taken = await on_worker(step, self.limiter) if may_wait else step()
                if taken is None:
                    return
                path, dirnames, filenames = taken
                yield self._derive(path), dirnames, filenames
