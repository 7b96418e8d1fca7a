"""Builtin open()'s files, the oracle, with the faults of CPython 3.12's io that larkspan does not
copy corrected, each by the smallest change to the layer at fault. Everything else is builtin's.

- BufferedRandom.read1() reads from the file while writes wait in its buffer, without writing
  them first: it returns the bytes at the writes' place (stale), or the writes land a few bytes
  off after it read past its buffer. Corrected: read1() writes them first.
- In "a+b", a write lands at the end of the file but also in the read buffer at the position, so
  reads served from that buffer return bytes the file does not hold. Corrected: a write in append
  mode first drops the read buffer (flush(), when no writes are pending).
- TextIOWrapper's flush() enables tell() again after next() disabled it, but next() kept no
  snapshot of the decoder, so tell() then returns a wrong position. Corrected: next() is a
  readline() that keeps its snapshots, and tell() refuses only while lines are iterated.

- A seek() that the system fails, with writes pending, writes them but leaves the buffer's idea of
  the file's position stale, so tell() and seek(0, 1) then disagree (even give a negative
  position). Corrected: after such a failure the buffer starts again where the writes left the
  position.

- FileIO learns whether it is seekable from its first lseek(), so when that is a seek() to a
  negative position, which the system refuses, seekable() answers False from then on. Corrected:
  open_builtin() asks seekable() at once.

- Under CPython 3.11, a write-only file refuses read() and read1() before it looks at the size;
  3.12 converts the size first. Corrected: the size is converted first on every version.

One more cannot be corrected from outside, and the fuzzer stops comparing a sequence once builtin
meets it (see allowed.py): a utf-16 or utf-8-sig write that fails to encode loses the byte-order
mark of the write after it.
"""

import builtins
import io
import operator
import os
import sys
from typing import IO, Any

BYTES_LIKE = (
    bytes,
    bytearray,
    memoryview,
)  # what the fuzzer writes; anything else builtin refuses itself


class SoundBufferedRandom(io.BufferedRandom):
    def __init__(self, raw: io.RawIOBase, buffer_size: int, appending: bool) -> None:
        super().__init__(raw, buffer_size)
        self._appending = appending
        self._written = False  # written to since the last flush() or truncate()

    def read1(self, size: int | None = -1, /) -> bytes:
        if self._written:
            self.flush()  # writes wait in the buffer: they go first, and the read reads after them
        return super().read1(size)  # type: ignore[arg-type]  # None gets builtin's TypeError

    def seek(self, offset: int, whence: int = 0, /) -> int:
        if not self._written:
            return super().seek(offset, whence)
        before = self.tell()
        pending = before > self.raw.tell()
        try:
            position = super().seek(offset, whence)
        except OSError:
            # The writes went out, but the buffer kept a stale idea of the file's position: start
            # it again where the writes left the position (at the end, in append mode).
            self._start_again_at(
                os.fstat(self.fileno()).st_size if self._appending and pending else before
            )
            raise
        return position  # a seek inside the buffer keeps the writes pending

    def _start_again_at(self, position: int) -> None:
        super().seek(0, os.SEEK_END)  # never served from the buffer: drops it
        super().seek(position)
        self._written = False

    def flush(self) -> None:
        super().flush()
        self._written = False

    def truncate(self, size: int | None = None, /) -> int:
        length = super().truncate(size)
        self._written = False  # it flushed
        return length

    def write(self, data: Any, /) -> int:
        if (
            self._appending
            and not self.closed
            and isinstance(data, BYTES_LIKE)
            and self.tell() <= self.raw.tell()
        ):
            # The write lands at the end, not over what the read buffer holds: drop it. (Ahead
            # of the file's position, writes are pending and no read buffer holds anything.)
            self.flush()
        count = super().write(data)
        self._written |= count > 0
        return count


class SizeFirstBufferedWriter(io.BufferedWriter):
    """CPython 3.11's write-only files refuse read() and read1() before they look at the size;
    3.12's convert it first, as larkspan does on every version."""

    def read(self, size: Any = -1, /) -> bytes:
        operator.index(size)
        return super().read(size)

    def read1(self, size: Any = -1, /) -> bytes:
        operator.index(size)
        return super().read1(size)


class SoundTextIOWrapper(io.TextIOWrapper):
    def __init__(self, *arguments: Any, **options: Any) -> None:
        super().__init__(*arguments, **options)
        self._iterating = False

    def __next__(self) -> str:  # type: ignore[override]  # typeshed gives IOBase's bytes
        self._iterating = True
        line = self.readline()
        if not line:
            self._iterating = False
            raise StopIteration
        return line

    def tell(self) -> int:
        if self._iterating and not self.closed and self.seekable():
            raise OSError("telling position disabled by next() call")
        return super().tell()

    def flush(self) -> None:
        self._iterating = False
        super().flush()


def open_builtin(
    path: str,
    mode: str,
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
) -> IO[Any]:
    """builtin open() with the corrections above; raises what open() raises."""
    file = builtins.open(path, mode, buffering, encoding, errors, newline)
    file.seekable()  # asked now, before a seek() that fails could make FileIO remember False
    if "b" in mode:
        binary_file: IO[Any] = sound_binary(file, mode, buffering)
        return binary_file
    text: Any = file
    encoding, errors, line_buffering = text.encoding, text.errors, text.line_buffering
    binary = sound_binary(text.detach(), mode, buffering)
    wrapper = SoundTextIOWrapper(binary, encoding, errors, newline, line_buffering)
    wrapper.mode = mode  # type: ignore[misc]  # as open() sets it
    return wrapper


def sound_binary(file: Any, mode: str, buffering: int = -1) -> Any:
    """`file`, a binary file builtin open() made, corrected when it is a BufferedRandom (or, under
    CPython 3.11, a BufferedWriter)."""
    if isinstance(file, io.BufferedWriter) and sys.version_info < (3, 12):
        size = buffer_size(file, buffering)
        return SizeFirstBufferedWriter(file.detach(), size)
    if not isinstance(file, io.BufferedRandom):
        return file
    size = buffer_size(file, buffering)
    return SoundBufferedRandom(file.detach(), size, "a" in mode)


def buffer_size(file: IO[Any], buffering: int) -> int:
    """The size open() gave the file's buffer."""
    if buffering > 1:
        return buffering
    block = os.fstat(file.fileno()).st_blksize
    return block if block > 1 else io.DEFAULT_BUFFER_SIZE
