"""High-performance async file I/O for Python (C++ backend)"""

from collections.abc import Sequence
from types import TracebackType
from typing import Any, Self, SupportsIndex

from typing_extensions import Buffer  # collections.abc has it from 3.12 on

class AsyncFile:
    def __init__(
        self, filename: str | bytes | bytearray, mode: str | bytes | bytearray = "r"
    ) -> None:
        """Takes the path and mode (builtin's mode strings); opens nothing until open()."""
    def __aenter__(self) -> Self: ...
    def __aexit__(
        self,
        arg0: type[BaseException] | None,
        arg1: BaseException | None,
        arg2: TracebackType | None,
        /,
    ) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        arg0: type[BaseException] | None,
        arg1: BaseException | None,
        arg2: TracebackType | None,
        /,
    ) -> None: ...
    def open(self) -> Self:
        """Opens the file and returns the object itself."""
    def close(self) -> None:
        """Hands pending writes over and closes the stream; closing a closed object does nothing."""
    def read(self, size: SupportsIndex | None = None) -> Any:
        """bytes in a mode with "b", str otherwise."""
    def readall(self) -> Any:
        """Everything from the position to the end: bytes in a mode with "b", str otherwise."""
    def read1(self, size: SupportsIndex | None = None) -> Any:
        """Up to `size` bytes (256 KiB without it) with one read of the stream."""
    def readinto(self, buffer: Buffer) -> int:
        """Fills `buffer` from the position; returns the number of bytes stored."""
    def readline(self, size: SupportsIndex | None = None) -> str:
        """The next line, always as str, through the 256 KiB read-ahead; at most `size` bytes when
        given."""
    def readlines(self, hint: SupportsIndex | None = None) -> list[str]:
        """The lines left, each a str; lines until their length reaches `hint` when given."""
    def write(self, data: object) -> int:
        """Gathers `data` (bytes-like, or str as UTF-8) in the 256 KiB write buffer; returns its
        length."""
    def writelines(self, lines: Sequence[str | bytes | bytearray]) -> None:
        """Writes each item of `lines` (str, bytes or bytearray) in turn."""
    def seek(self, offset: SupportsIndex, whence: SupportsIndex = 0) -> int:
        """Hands pending writes over, then moves to `offset` from `whence`; returns the new
        position."""
    def tell(self) -> int:
        """The position, counting the bytes still pending."""
    def flush(self) -> None:
        """Hands pending writes to the stream and flushes it."""
    def truncate(self, size: SupportsIndex | None = None) -> None:
        """Cuts or extends the file to `size` (the position when None)."""
    def isatty(self) -> bool:
        """Whether the file is a terminal."""
    def seekable(self) -> bool:
        """Whether the object is open (its only test)."""
    def writable(self) -> bool:
        """Whether the mode writes."""
    def __iter__(self) -> Self: ...
    def __next__(self) -> str: ...
    def __aiter__(self) -> Self: ...
    def __anext__(self) -> str: ...
    @property
    def name(self) -> str:
        """The path, as given."""
    @property
    def mode(self) -> str:
        """The mode, as given."""
