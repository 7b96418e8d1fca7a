"""larkspan.Path: pathlib's Path for asyncio."""

import os
import pathlib
from collections.abc import AsyncIterator, Buffer, Callable
from typing import Any, Self

import larkspan  # for larkspan.open and its helpers, looked up when called: larkspan imports this module

from . import _placement
from ._calls import in_batches, on_worker, open_options, placed, take_turn
from ._open import OpenContext
from ._placement import Located, StrPath
from .os import scandir


def _reads_user_database(path: pathlib.PurePath) -> bool:
    """Whether expanding `path`'s "~" looks a user up (by name, or for want of $HOME): the user
    database may be served over the network (LDAP, NIS)."""
    first = path.parts[0] if path.parts else ""
    return first.startswith("~") and (first != "~" or "HOME" not in os.environ)


class Path(pathlib.PurePosixPath):
    """A path whose pure operations and properties are pathlib's (and give larkspan.Path
    objects), and whose operations on the file system are coroutines with pathlib.Path's
    arguments, results and exceptions. Like larkspan.os, each runs inline when the path lies on a
    file system that cannot wait, else on a worker; looking users up (owner, group, "~name") always
    runs on a worker. iterdir, glob, rglob and walk are async iterators drawing their results in
    batches. open() is larkspan.open() on the path: await it, or enter it with `async with`."""

    __slots__ = ()

    def _sync(self) -> pathlib.Path:
        return pathlib.Path(self)

    async def _placed[T](self, call: Callable[[pathlib.Path], T], *others: Located) -> T:
        """Runs pathlib's `call` on this path, which (with `others`) places it."""
        path = self._sync()
        return await placed(lambda: call(path), self, *others)

    # ---- queries ---------------------------------------------------------------------------

    async def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        return await self._placed(lambda path: path.stat(follow_symlinks=follow_symlinks))

    async def lstat(self) -> os.stat_result:
        return await self._placed(pathlib.Path.lstat)

    async def exists(self, *, follow_symlinks: bool = True) -> bool:
        return await self._placed(lambda path: path.exists(follow_symlinks=follow_symlinks))

    async def is_dir(self) -> bool:
        return await self._placed(pathlib.Path.is_dir)

    async def is_file(self) -> bool:
        return await self._placed(pathlib.Path.is_file)

    async def is_symlink(self) -> bool:
        return await self._placed(pathlib.Path.is_symlink)

    async def is_mount(self) -> bool:
        return await self._placed(pathlib.Path.is_mount)

    async def is_junction(self) -> bool:
        return await self._placed(pathlib.Path.is_junction)

    async def is_block_device(self) -> bool:
        return await self._placed(pathlib.Path.is_block_device)

    async def is_char_device(self) -> bool:
        return await self._placed(pathlib.Path.is_char_device)

    async def is_fifo(self) -> bool:
        return await self._placed(pathlib.Path.is_fifo)

    async def is_socket(self) -> bool:
        return await self._placed(pathlib.Path.is_socket)

    async def samefile(self, other_path: StrPath) -> bool:
        # pathlib calls other_path.stat(), which on a larkspan.Path is a coroutine.
        other = os.fspath(other_path) if isinstance(other_path, Path) else other_path
        return await self._placed(lambda path: path.samefile(other), other)

    async def owner(self) -> str:
        return await on_worker(self._sync().owner)

    async def group(self) -> str:
        return await on_worker(self._sync().group)

    # ---- paths -----------------------------------------------------------------------------

    async def readlink(self) -> Self:
        return self.with_segments(await self._placed(pathlib.Path.readlink))

    async def resolve(self, strict: bool = False) -> Self:
        return self.with_segments(await self._placed(lambda path: path.resolve(strict)))

    async def absolute(self) -> Self:
        """Inline: it reads the current directory's name, which the kernel keeps in memory."""
        await take_turn()
        return self.with_segments(self._sync().absolute())

    async def expanduser(self) -> Self:
        path = self._sync()
        if _reads_user_database(self):
            return self.with_segments(await on_worker(path.expanduser))
        await take_turn()
        return self.with_segments(path.expanduser())

    @classmethod
    async def home(cls) -> Self:
        return await cls("~").expanduser()

    @classmethod
    async def cwd(cls) -> Self:
        await take_turn()
        return cls(os.getcwd())

    # ---- changes ---------------------------------------------------------------------------

    async def touch(self, mode: int = 0o666, exist_ok: bool = True) -> None:
        await self._placed(lambda path: path.touch(mode, exist_ok))

    async def mkdir(self, mode: int = 0o777, parents: bool = False, exist_ok: bool = False) -> None:
        await self._placed(lambda path: path.mkdir(mode, parents, exist_ok))

    async def chmod(self, mode: int, *, follow_symlinks: bool = True) -> None:
        await self._placed(lambda path: path.chmod(mode, follow_symlinks=follow_symlinks))

    async def lchmod(self, mode: int) -> None:
        await self._placed(lambda path: path.lchmod(mode))

    async def unlink(self, missing_ok: bool = False) -> None:
        await self._placed(lambda path: path.unlink(missing_ok))

    async def rmdir(self) -> None:
        await self._placed(pathlib.Path.rmdir)

    async def rename(self, target: StrPath) -> Self:
        return self.with_segments(await self._placed(lambda path: path.rename(target), target))

    async def replace(self, target: StrPath) -> Self:
        return self.with_segments(await self._placed(lambda path: path.replace(target), target))

    async def symlink_to(self, target: StrPath, target_is_directory: bool = False) -> None:
        # The link's target is only written into the link, never looked up.
        await self._placed(lambda path: path.symlink_to(target, target_is_directory))

    async def hardlink_to(self, target: StrPath) -> None:
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
        return larkspan.open(self, mode, **open_options(buffering, encoding, errors, newline))

    async def read_bytes(self) -> bytes:
        return await larkspan.read_bytes(self)

    async def read_text(self, encoding: str | None = None, errors: str | None = None) -> str:
        return await larkspan.read_text(self, encoding, errors)

    async def write_bytes(self, data: Buffer) -> int:
        view = memoryview(data)  # as pathlib: any buffer, and a TypeError before the file is touched
        return await larkspan.write_bytes(self, view)

    async def write_text(
        self, data: str, encoding: str | None = None, errors: str | None = None, newline: str | None = None
    ) -> int:
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        async with self.open("w", encoding=encoding, errors=errors, newline=newline) as f:
            written: int = await f.write(data)
            return written

    # ---- directories -----------------------------------------------------------------------

    async def iterdir(self) -> AsyncIterator[Self]:
        async with scandir(self) as entries:
            async for entry in entries:
                yield self / entry.name

    async def glob(self, pattern: str, *, case_sensitive: bool | None = None) -> AsyncIterator[Self]:
        matches = self._sync().glob(pattern, case_sensitive=case_sensitive)
        async for match in in_batches(matches, _placement.path_may_wait(self)):
            yield self.with_segments(match)

    async def rglob(self, pattern: str, *, case_sensitive: bool | None = None) -> AsyncIterator[Self]:
        matches = self._sync().rglob(pattern, case_sensitive=case_sensitive)
        async for match in in_batches(matches, _placement.path_may_wait(self)):
            yield self.with_segments(match)

    async def walk(
        self,
        top_down: bool = True,
        on_error: Callable[[OSError], object] | None = None,
        follow_symlinks: bool = False,
    ) -> AsyncIterator[tuple[Self, list[str], list[str]]]:
        """pathlib's walk, one directory per step, so that (top down) the names the caller removes
        from a step's directory list are not walked, as with pathlib. `on_error` runs where the
        step does, on a worker when the tree can wait."""
        steps = self._sync().walk(top_down, on_error, follow_symlinks)
        may_wait = _placement.path_may_wait(self)

        def step() -> tuple[pathlib.Path, list[str], list[str]] | None:
            return next(steps, None)

        while True:
            await take_turn()
            taken = await on_worker(step) if may_wait else step()
            if taken is None:
                return
            path, dirnames, filenames = taken
            yield self.with_segments(path), dirnames, filenames
