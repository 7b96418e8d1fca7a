"""The file libraries that peers_bench.py compares, each behind the same opener:
`open(path, mode)` gives an async context manager whose handle has the coroutines
read(size), readline() and write(data) and supports `async for`.

Only the library that a child process measures is imported, so a missing peer costs
only its own rows.
"""

import importlib.metadata
from collections.abc import AsyncIterator, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from pathlib import Path
from typing import Any, Self, TypeAlias

Opener: TypeAlias = Callable[[Path, str], AbstractAsyncContextManager[Any]]

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
