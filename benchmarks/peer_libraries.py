"""The file libraries that peers_bench.py compares, each behind the same opener:
`open(path, mode)` gives an async context manager whose handle has the coroutines
read(size), readline() and write(data), a seek(offset) that `seek_to` calls whether
or not it is a coroutine, and supports `async for`. `positional_reader(library)` gives
reads at offsets on one shared handle, each library's own way.

Only the library that a child process measures is imported, so a missing peer costs
only its own rows.
"""

import functools
import importlib.metadata
import inspect
import os
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from pathlib import Path
from typing import Any, Self, TypeAlias

Opener: TypeAlias = Callable[[Path, str], AbstractAsyncContextManager[Any]]
Pread: TypeAlias = Callable[[int, int], Awaitable[bytes]]  # (size, offset) -> the bytes there
PositionalReader: TypeAlias = Callable[[Path], AbstractAsyncContextManager[Pread]]

LIBRARIES = ("larkspan", "builtin", "aiofiles", "anyio", "aiofile")
PEERS = ("aiofiles", "anyio", "aiofile")  # from the bench extra in pyproject.toml


class BlockingHandle:
    """A builtin file called straight in the coroutine: every call blocks the event loop,
    which is what code that skips an async library gets."""

    __slots__ = ("_file",)

    def __init__(self, file: Any) -> None:
        self._file = file

    async def read(self, size: int = -1) -> Any:
        return self._file.read(size)

    async def readline(self) -> Any:
        return self._file.readline()

    async def write(self, data: Any) -> int:
        return self._file.write(data)

    async def seek(self, offset: int) -> int:
        return self._file.seek(offset)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Any:
        line = self._file.readline()
        if not line:
            raise StopAsyncIteration
        return line


@asynccontextmanager
async def _open_builtin(path: Path, mode: str) -> AsyncIterator[BlockingHandle]:
    with open(path, mode) as file:
        yield BlockingHandle(file)


def _larkspan() -> Opener:
    import larkspan

    return larkspan.open


def _aiofiles() -> Opener:
    import aiofiles

    return aiofiles.open


def _anyio() -> Opener:
    import anyio

    @asynccontextmanager
    async def open_file(path: Path, mode: str) -> AsyncIterator[Any]:
        # anyio's open_file is a coroutine; its result is the context manager.
        async with await anyio.open_file(path, mode) as file:
            yield file

    return open_file


def _aiofile() -> Opener:
    import aiofile

    return aiofile.async_open


_LOADERS: dict[str, Callable[[], Opener]] = {
    "larkspan": _larkspan,
    "builtin": lambda: _open_builtin,
    "aiofiles": _aiofiles,
    "anyio": _anyio,
    "aiofile": _aiofile,
}


async def seek_to(handle: Any, offset: int) -> None:
    """aiofile's seek() is a plain call; the others' are coroutines."""
    moved = handle.seek(offset)
    if inspect.isawaitable(moved):
        await moved


@asynccontextmanager
async def _pread_larkspan(path: Path) -> AsyncIterator[Pread]:
    import larkspan

    async with larkspan.open(path, "rb") as f:
        yield f.pread


@asynccontextmanager
async def _pread_builtin(path: Path) -> AsyncIterator[Pread]:
    with open(path, "rb", buffering=0) as f:
        fd = f.fileno()

        async def pread(size: int, offset: int) -> bytes:
            return os.pread(fd, size, offset)

        yield pread


@asynccontextmanager
async def _pread_aiofiles(path: Path) -> AsyncIterator[Pread]:
    # aiofiles has no positional read on a handle: its users wrap os.pread as aiofiles.os wraps
    # the os module, onto the loop's default executor.
    import aiofiles.os

    async with aiofiles.open(path, "rb") as f:
        fd = f.fileno()
        yield functools.partial(aiofiles.os.wrap(os.pread), fd)


@asynccontextmanager
async def _pread_anyio(path: Path) -> AsyncIterator[Pread]:
    # Nor has anyio: os.pread goes to its worker threads, as anyio's own file calls do.
    import anyio.to_thread

    async with await anyio.open_file(path, "rb") as f:
        fd = f.wrapped.fileno()

        async def pread(size: int, offset: int) -> bytes:
            return await anyio.to_thread.run_sync(os.pread, fd, size, offset)

        yield pread


@asynccontextmanager
async def _pread_aiofile(path: Path) -> AsyncIterator[Pread]:
    import aiofile

    async with aiofile.AIOFile(path, "rb") as f:

        async def pread(size: int, offset: int) -> bytes:
            data: bytes = await f.read(size, offset)
            return data

        yield pread


_PREADS: dict[str, PositionalReader] = {
    "larkspan": _pread_larkspan,
    "builtin": _pread_builtin,
    "aiofiles": _pread_aiofiles,
    "anyio": _pread_anyio,
    "aiofile": _pread_aiofile,
}


def positional_reader(library: str) -> PositionalReader:
    """Opens a file whose one handle serves reads at offsets, any number in flight."""
    return _PREADS[library]


def opener(library: str) -> Opener:
    """Imports `library`; raises ModuleNotFoundError when it is not installed."""
    return _LOADERS[library]()


def version(library: str) -> str | None:
    """The installed distribution's version; None for builtin or when it is missing."""
    if library == "builtin":
        return None
    try:
        return importlib.metadata.version(library)
    except importlib.metadata.PackageNotFoundError:
        return None
