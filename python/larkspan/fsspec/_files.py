"""The file objects of larkspan.fsspec: BlockingFile, what fs.open() gives blocking code, and
StreamedFile, fsspec's streamed file that open_async() gives asyncio code; both over one larkspan
handle."""

import atexit
import io
import os
import sys
import weakref
from collections.abc import Awaitable, Callable, Iterable
from typing import TYPE_CHECKING, Any, SupportsIndex, TypeVar

from fsspec.asyn import AbstractAsyncStreamedFile, sync  # type: ignore[import-untyped]

import larkspan

from ._local import bytes_only, read_count, running_loop

T = TypeVar("T")

if TYPE_CHECKING:
    from ._file_system import LarkspanFileSystem


class StreamedFile(AbstractAsyncStreamedFile):  # type: ignore[misc]
    """fsspec's streamed file over one open larkspan handle: reads ask the handle for the
    range asked; writes gather in fsspec's buffer and go to the handle a block at a time."""

    def __init__(
        self,
        fs: "LarkspanFileSystem",
        path: str,
        mode: str,
        handle: "larkspan.FileHandle[bytes]",
        size: int | None,
        **kwargs: Any,
    ) -> None:
        # "xb" has already refused an existing file at the open; from there it writes as "wb".
        super().__init__(
            fs, path, "wb" if mode == "xb" else mode, size=size, cache_type="none", **kwargs
        )
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

    def __init__(
        self,
        fs: "LarkspanFileSystem",
        path: str,
        handle: "larkspan.FileHandle[bytes]",
        size: int | None,
    ) -> None:
        super().__init__()
        self.fs = fs
        self.path = path
        self.handle = handle
        if size is not None:
            self.size = size  # when opened for reading, as LocalFileSystem's files have it
        _open_blocking_files.add(self)

    def _run(self, call: Callable[..., Awaitable[T]], *args: Any) -> T:
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
        return self._run(self.handle.read, read_count(-1 if size is None else size))

    def read1(self, size: int = -1) -> bytes:
        return self._run(self.handle.read1, read_count(size))

    def readinto(self, buffer: Any) -> int:
        return self._run(self.handle.readinto, buffer)

    def readline(self, size: int | None = -1) -> bytes:
        return self._run(self.handle.readline, size)

    def write(self, data: Any) -> int:
        return self._run(self.handle.write, bytes_only(data))

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
        if self.closed or sys.is_finalizing() or running_loop() is self.fs.loop:
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
