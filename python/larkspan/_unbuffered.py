"""The engine's file as builtin's unbuffered files (io.FileIO) refuse a call their mode does not
allow: the argument's type first where FileIO converts it first, then a closed file, then the mode
in FileIO's words. (The engine refuses as builtin's buffered files do, whose classes lack what the
mode refuses: the mode first, open or closed, naming the operation.)"""

import io
import operator
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, SupportsIndex

from ._buffer import Buffer
from ._closed import CLOSED
from ._engine import File, size_or_none
from ._file import writable_bytes

NOT_READABLE = "File not open for reading"
NOT_WRITABLE = "File not open for writing"

if TYPE_CHECKING:
    BinaryFile = File[bytes]
else:
    BinaryFile = File  # the engine's class takes no type arguments when the program runs


class UnbufferedFile(BinaryFile):
    """The engine's file of a handle opened with buffering=0."""

    def read(self, size: SupportsIndex | None, inline_only: bool) -> Any:
        if not self.readable():
            size_or_none(size)  # FileIO takes an int or None, and says so first
            self._refuse(NOT_READABLE)
        return super().read(size, inline_only)

    def read1(self, size: SupportsIndex, inline_only: bool) -> Any:
        if not self.readable():  # FileIO has no read1(): refused as its read() is
            operator.index(size)
            self._refuse(NOT_READABLE)
        return super().read1(size, inline_only)

    def readinto(self, buffer: Buffer, inline_only: bool) -> Any:
        if not self.readable():
            writable_bytes(
                "readinto", buffer
            ).release()  # FileIO refuses what is not a buffer first
            self._refuse(NOT_READABLE)
        return super().readinto(buffer, inline_only)

    def readline(self, size: SupportsIndex | None, inline_only: bool) -> Any:
        # A line of at most 0 bytes reads nothing.
        if not self.readable() and size_or_none(size) != 0:
            self._refuse(NOT_READABLE)
        return super().readline(size, inline_only)

    def readlines(self, hint: SupportsIndex | None, inline_only: bool) -> Any:
        if not self.readable():
            size_or_none(hint)
            self._refuse(NOT_READABLE)
        return super().readlines(hint, inline_only)

    def write(self, data: Buffer | str, inline_only: bool) -> Any:
        if not self.writable():
            require_bytes_like(data)
            self._refuse(NOT_WRITABLE)
        return super().write(data, inline_only)

    def writelines(self, lines: Iterable[Buffer | str], inline_only: bool) -> Any:
        if not self.writable() and not self.closed:
            for (
                line
            ) in lines:  # FileIO writes each line in turn: the first one's type, else the mode
                require_bytes_like(line)
                self._refuse(NOT_WRITABLE)
        return super().writelines(lines, inline_only)

    def truncate(self, size: SupportsIndex | None, inline_only: bool) -> Any:
        if not self.writable():
            self._refuse(NOT_WRITABLE)
        return super().truncate(size, inline_only)

    def _refuse(self, refusal: str) -> None:
        if self.closed:
            raise ValueError(CLOSED)
        raise io.UnsupportedOperation(refusal)


def require_bytes_like(data: object) -> None:
    """FileIO.write()'s TypeError for what is not a bytes-like object."""
    try:
        memoryview(data).release()  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'") from None
