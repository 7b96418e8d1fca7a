"""AsyncFile: what every larkspan handle offers, binary or text, so that one annotation covers both,
as anyio's AsyncFile does (FileHandle[bytes] and wrap_file() of a binary file are AsyncFile[bytes];
TextHandle and wrap_file() of a text file are AsyncFile[str])."""

from collections.abc import Iterable
from types import TracebackType
from typing import Any, AnyStr, Protocol, Self, runtime_checkable


@runtime_checkable
class AsyncFile(Protocol[AnyStr]):
    """An open file whose I/O methods are coroutines. isinstance() checks that the members are
    there; a type checker checks their types too."""

    @property
    def name(self) -> Any:
        """The name the file was opened with: its path as given, or its descriptor."""

    @property
    def closed(self) -> bool:
        """Whether the file is closed."""

    def fileno(self) -> int:
        """The file's descriptor; ValueError once closed."""

    def readable(self) -> bool:
        """Whether the file was opened for reading."""

    def writable(self) -> bool:
        """Whether the file was opened for writing."""

    def seekable(self) -> bool:
        """Whether the file supports seek() and tell()."""

    async def read(self, size: int = ..., /) -> AnyStr:
        """Up to `size` bytes (characters in text mode) from the position; to the end when
        negative."""

    async def readline(self, size: int = ..., /) -> AnyStr:
        """The next line, with its newline; at most `size` bytes or characters when given; empty at
        the end."""

    async def readlines(self, hint: int = ..., /) -> list[AnyStr]:
        """The lines left, or lines until their total length reaches `hint` when it is positive."""

    async def write(self, data: AnyStr, /) -> int:
        """Writes `data`; returns how much was taken (bytes, or characters in text mode)."""

    async def writelines(self, lines: Iterable[AnyStr], /) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""

    async def seek(self, offset: int, whence: int = ..., /) -> int:
        """Moves to `offset` from the start (`whence` 0), the position (1) or the end (2); returns
        where."""

    async def tell(self) -> int:
        """The position."""

    async def truncate(self, size: int | None = ..., /) -> int:
        """Cuts or extends the file to `size` (the position when None); returns the new size."""

    async def flush(self) -> None:
        """Hands what was written to the operating system."""

    async def isatty(self) -> bool:
        """Whether the file is a terminal."""

    async def close(self) -> None:
        """Closes the file; closing a closed file does nothing."""

    async def aclose(self) -> None:
        """close() under the name anyio's files use."""

    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...
    def __aiter__(self) -> Self: ...
    async def __anext__(self) -> AnyStr: ...
