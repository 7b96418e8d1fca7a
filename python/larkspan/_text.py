"""Text files over the binary handles, with the behaviour of builtin open()'s text files.

Both sides follow builtin's text files step for step, because what they do shows: bytes are read
CHUNK_SIZE at a time with read1(), ending where builtin's binary buffer ends its chunks (see
_readahead), so `newlines` reports what the chunks held and tell() returns the same numbers;
writes are gathered as builtin gathers them. Where builtin's binary layer is wrong, this follows
the sound behaviour instead: a read after writes in "+" modes reads what follows them. Each chunk
is decoded once and cut into lines at once, so a line costs about what a line of the binary handle
costs plus its share of one decode.
"""

import asyncio
import io
import operator
import os
import re
from collections.abc import Awaitable, Callable, Iterable
from typing import Any, NamedTuple, Self, SupportsIndex, TypeVar

from ._arguments import (
    check_newline,
    encoding_name,
    line_limit,
    optional_size,
    reconfigure_text,
    require_str,
    text_codec,
)
from ._closed import CLOSED, CLOSED_FILE
from ._file import ClosedOnExit, FileHandle
from ._limiter import Limiter
from ._readahead import CHUNK_SIZE, ReadAhead
from ._text_cookies import Cookie, Snapshot, restore_decoder, tell_cookie
from ._text_newlines import Decoder, NewlineDecoder
from ._text_writer import TextWriter
from ._turns import Turns

T = TypeVar("T")

DETACHED = "underlying buffer has been detached"
# What reconfigure() replaces: the fields that the encoding, errors, newline and buffering settle.
SETTINGS = (
    "_encoding",
    "_errors",
    "_newline",
    "_decoder",
    "_splits_lines",
    "_terminator",
    "_terminator_length",
    "_cr_ends_lines",
    "_writer",
    "_start_unknown",
)
KEEP = object()  # reconfigure()'s newline when not given: None is a newline setting of its own

UNIVERSAL_NEWLINE = re.compile("[\r\n]")
# Where str.splitlines() ends lines in ASCII text besides "\n" and "\r".
ASCII_BREAKS = ("\x0b", "\x0c", "\x1c", "\x1d", "\x1e")


class Chunk(NamedTuple):
    """One read of the binary layer: the snapshot before it, the bytes read and their text."""

    snapshot: Snapshot | None
    data: bytes
    text: str


# ---- the handle ------------------------------------------------------------------------------


class TextHandle(ClosedOnExit):
    """A text file over a binary FileHandle opened in the matching binary mode, behaving as builtin
    open()'s text files do; every I/O method is a coroutine. Calls take turns in the order they were
    made. A read cancelled while it waits on the binary layer loses nothing: what it had gathered
    is read again by the next read."""

    __slots__ = (
        "_ahead",
        "_b2cratio",
        "_cr_ends_lines",
        "_decoded",
        "_decoder",
        "_encoding",
        "_errors",
        "_journal",
        "_lines",
        "_newline",
        "_raw",
        "_seekable",
        "_snapshot",
        "_splits_lines",
        "_start_unknown",
        "_telling",
        "_terminator",
        "_terminator_length",
        "_turns",
        "_used",
        "_writer",
        "mode",
    )

    def __init__(
        self,
        raw: FileHandle[bytes],
        encoding: str | None,
        errors: str | None,
        newline: str | None,
        line_buffering: bool = False,
        write_through: bool = False,
        buffer_size: int | None = None,
    ) -> None:
        """`buffer_size` is the size of the buffer builtin's binary layer would have: open()'s
        `buffering` when above 1, else None for the file's block size (asked of the file then)."""
        self._raw = raw
        self._encoding = encoding_name(encoding)
        codec = text_codec(self._encoding)
        self._errors = "strict" if errors is None else errors
        self._newline = newline  # as given; reconfigure() keeps it when not told otherwise
        # open() sets it to the mode it was given, as builtin's does.
        self.mode = raw.mode.replace("b", "")
        self._seekable = raw.seekable()
        # False while lines are iterated, as builtin's tell() refuses then.
        self._telling = self._seekable
        # Reading: the decoded text of the last chunk, how much of it was consumed, and the snapshot
        # from which tell() finds the byte position of the first unconsumed character.
        self._decoder: Decoder | NewlineDecoder | None = None
        if raw.readable():
            self._decoder = codec.incrementaldecoder(self._errors)
            if not newline:
                self._decoder = NewlineDecoder(self._decoder, translate=newline is None)
        self._decoded = ""
        self._used = 0
        self._snapshot: Snapshot | None = None
        self._b2cratio = 0.0  # bytes per character of the last chunk: where tell() starts looking
        self._journal: list[Chunk] | None = None  # chunks read by the read in progress
        self._lines: list[
            str
        ] = []  # the next lines of the decoded text, last first (see _split_lines)
        self._splits_lines = newline in (None, "\n", "")
        self._terminator = newline or "\n"  # what ends a line in the decoded text...
        self._terminator_length = len(self._terminator)
        self._cr_ends_lines = newline == ""  # ...or also a lone "\r"
        self._writer = TextWriter(
            codec if raw.writable() else None, self._errors, newline, line_buffering, write_through
        )
        # open() passes the block size its own fstat found; asked here only without it.
        self._ahead = ReadAhead(
            buffer_size or (os.fstat(self.fileno()).st_blksize if self._decoder else 0)
        )
        # Builtin gives the encoder's byte-order mark only at the start of the file; whether the
        # file was opened there is asked of the binary layer before the first call.
        self._start_unknown = self._writer.encoder is not None and self._seekable
        self._turns = Turns()

    # ---- queries -----------------------------------------------------------------------------

    @property
    def buffer(self) -> FileHandle[bytes]:
        """The binary handle this text handle reads and writes through."""
        return self._raw

    @property
    def name(self) -> str | bytes | int:
        """The name the file was opened with: its path as given, or its descriptor."""
        return self._raw.name

    @property
    def closed(self) -> bool:
        """Whether the file is closed."""
        return self._raw.closed

    @property
    def encoding(self) -> str:
        """The text encoding, in text modes."""
        return self._encoding

    @property
    def errors(self) -> str:
        """The decoding and encoding error handler, in text modes."""
        return self._errors

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        """The newlines met so far in text modes, as builtin reports them."""
        return self._decoder.newlines if isinstance(self._decoder, NewlineDecoder) else None

    @property
    def line_buffering(self) -> bool:
        """Whether a write that holds a newline flushes."""
        return self._writer.line_buffering

    @property
    def write_through(self) -> bool:
        """Whether every write goes to the binary handle at once."""
        return self._writer.write_through

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        if self._decoder is not None and self.closed:
            raise ValueError(CLOSED_FILE)
        return self._decoder is not None

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        writable = self._writer.encoder is not None
        if writable and self.closed:
            raise ValueError(CLOSED_FILE)
        return writable

    def seekable(self) -> bool:
        """Whether the file supports seek() and tell()."""
        if self.closed:
            raise ValueError(CLOSED_FILE)
        return self._seekable

    def fileno(self) -> int:
        """The file's descriptor; ValueError once closed."""
        if self.closed:
            raise ValueError(CLOSED_FILE)
        return self._raw.fileno()

    def __repr__(self) -> str:
        try:
            name = f" name={self.name!r}"
        except ValueError:  # detached: builtin's repr leaves the name out then
            name = ""
        return f"<larkspan.TextHandle{name} mode={self.mode!r} encoding={self._encoding!r}>"

    # ---- taking turns ------------------------------------------------------------------------

    async def _run_in_turn(
        self, place: asyncio.Future[None] | None, body: Callable[..., Awaitable[T]], *args: Any
    ) -> T:
        if place is not None:
            await self._turns.wait_for(place)
        try:
            # Whatever the call does to the decoded text, these no longer follow it.
            self._lines = []
            if self._start_unknown:
                await self._learn_start()
            return await body(*args)
        finally:
            self._turns.pass_on()

    async def _in_turn(self, body: Callable[..., Awaitable[T]], *args: Any) -> T:
        return await self._run_in_turn(self._turns.take_place(), body, *args)

    async def _learn_start(self) -> None:
        self._start_unknown = False
        if not self.closed and await self._raw.tell() != 0:
            self._writer.starts_mid_file()

    # ---- the decoded text --------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._raw.closed:
            raise ValueError(CLOSED)

    def _set_decoded(self, text: str) -> None:
        self._decoded = text
        self._used = 0
        self._lines = []

    def _take(self, count: int) -> str:
        """Up to `count` unconsumed characters (all when negative)."""
        start = self._used
        end = len(self._decoded) if count < 0 else min(start + count, len(self._decoded))
        self._used = end
        self._lines = []
        return self._decoded[start:end]

    def _decode(self, data: bytes, final: bool) -> str:
        return self._decoder.decode(data, final)  # type: ignore[union-attr]

    async def _read_chunk(self, size_hint: int) -> bool:
        """Replaces the decoded text with that of the next chunk; False at the end of the file."""
        decoder = self._decoder
        if decoder is None:
            raise io.UnsupportedOperation("not readable")
        # The snapshot is taken even while lines are iterated, where builtin's is not: its tell()
        # after next() and flush() works from a stale one (or none) and gives a wrong position.
        pending, flags = decoder.getstate()
        if size_hint > 0:
            size_hint = int(max(self._b2cratio, 1.0) * size_hint)
        asked = self._ahead.chunk(max(CHUNK_SIZE, size_hint))
        data = await self._raw.read1(asked)
        self._ahead.chunk_read(asked, len(data))
        text = decoder.decode(data, not data)
        snapshot = Snapshot(flags, pending + data)
        if self._journal is not None:
            self._journal.append(Chunk(snapshot, data, text))
        self._set_decoded(text)
        self._b2cratio = len(data) / len(text) if text else 0.0
        self._snapshot = snapshot
        return bool(data or text)

    async def _reading(self, body: Callable[..., Awaitable[T]], *args: Any) -> T:
        """Runs a read; when it is cancelled, the text it consumed and the chunks it read stay for
        the next read. A read that fails loses them, as builtin's does."""
        before = (self._decoded, self._used, self._snapshot)
        self._journal = []
        try:
            return await body(*args)
        except asyncio.CancelledError:
            self._keep_for_next_read(*before, self._journal)
            raise
        finally:
            self._journal = None

    def _keep_for_next_read(
        self, decoded: str, used: int, snapshot: Snapshot | None, chunks: list[Chunk]
    ) -> None:
        """Puts back the decoded text as it was before the read, followed by the text of the chunks
        the read took, with the snapshot that tell() needs over all of it."""
        later = chunks
        if chunks and used >= len(decoded):
            decoded, used, snapshot, later = chunks[0].text, 0, chunks[0].snapshot, chunks[1:]
        self._decoded = decoded + "".join(chunk.text for chunk in later)
        self._used = used
        self._snapshot = snapshot and Snapshot(
            snapshot.flags, snapshot.data + b"".join(c.data for c in later)
        )
        if self._snapshot and self._decoded:
            self._b2cratio = len(self._snapshot.data) / len(self._decoded)

    # ---- reading -----------------------------------------------------------------------------

    async def read(self, size: SupportsIndex | None = -1) -> str:
        """Up to `size` characters; all that is left when `size` is negative or None."""
        count = optional_size(size)
        if not self._turns.busy and 0 < count <= len(self._decoded) - self._used:
            return self._take(count)
        return await self._in_turn(self._reading, self._read, count)

    async def _read(self, count: int) -> str:
        self._check_open()
        if self._decoder is None:
            raise io.UnsupportedOperation("not readable")
        if count < 0:
            await self._write_pending()
            self._ahead.drop()
            text = self._decode(await self._raw.read(), True)
            text = self._take(-1) + text
            self._set_decoded("")
            self._snapshot = None
            return text
        if self._writer.held:
            await self._write_pending()
        pieces = [self._take(count)]
        missing = count - len(pieces[0])
        while missing > 0 and await self._read_chunk(missing):
            pieces.append(self._take(missing))
            missing -= len(pieces[-1])
        return "".join(pieces)

    async def readline(self, size: SupportsIndex = -1) -> str:
        """The next line, with its newline; at most `size` bytes or characters when given; empty at
        the end."""
        limit = line_limit(size)
        if limit >= 0:
            return await self._in_turn(self._reading, self._readline, limit)
        if not self._turns.busy and (line := self._buffered_line()) is not None:
            return line
        return await self._in_turn(self._reading, self._next_line)

    def _buffered_line(self) -> str | None:
        """The next line when it ends inside the decoded text, else None; the common case."""
        if self._lines:
            line = self._lines.pop()
            self._used += len(line)
            return line
        text, start = self._decoded, self._used
        end = text.find(self._terminator, start)
        if end < 0 or (self._cr_ends_lines and text.find("\r", start, end) >= 0):
            return None
        self._used = end = end + self._terminator_length
        return text[start:end]

    async def _next_line(self) -> str:
        """The next line, read from the file when the decoded text holds none of it. The rest of
        the chunk is then cut into lines for the calls that follow."""
        line = self._buffered_line() or await self._readline(-1)
        self._split_lines()
        return line

    def _split_lines(self) -> None:
        """Cuts the rest of the decoded text into lines at once, kept last first for pop(): a
        find() and a slice per line cost twice as much. splitlines() also ends lines at "\x0c",
        "\u2028" and the like (and at "\r" where only "\n" ends them); when it found any, it found
        more lines than there are line endings, and the lines are left to find()."""
        if not self._splits_lines:
            return
        rest = self._decoded[self._used :]
        lines = rest.splitlines(True)
        if lines and not lines[-1].endswith(("\n", "\r") if self._cr_ends_lines else "\n"):
            lines.pop()  # unfinished: the next chunk has the rest (a final "\r" is held until then)
        if self._cut_only_at_line_ends(rest, len(lines)):
            lines.reverse()
            self._lines = lines

    def _cut_only_at_line_ends(self, rest: str, count: int) -> bool:
        """Whether splitlines() found `count` lines in `rest` only where lines end. Looking for its
        other breaks in ASCII text takes a quarter of the time of counting line endings."""
        if rest.isascii() and (self._cr_ends_lines or "\r" not in rest):
            return not any(other in rest for other in ASCII_BREAKS)
        endings = rest.count("\n")
        # Counting "\r\n" is slow: only when there can be one.
        if self._cr_ends_lines and "\r" in rest:
            endings += rest.count("\r") - rest.count("\r\n")
        return count == endings

    def _line_end(self, text: str, start: int) -> tuple[int, int]:
        """Where the first line ending after `start` ends, else -1, and how much of the text from
        `start` surely belongs to the line (all but a final "\\r" that may start a "\\r\\n")."""
        if self._cr_ends_lines:
            found = UNIVERSAL_NEWLINE.search(text, start)
            if found is None:
                return -1, len(text) - start
            end = found.end()
            return end + (found.group() == "\r" and text.startswith("\n", end)), 0
        end = text.find(self._terminator, start)
        if end >= 0:
            return end + self._terminator_length, 0
        held = self._terminator_length == 2 and len(text) > start and text.endswith("\r")
        return -1, len(text) - start - held

    async def _readline(self, limit: int) -> str:
        self._check_open()
        if self._writer.held:
            await self._write_pending()
        pieces: list[str] = []
        gathered = 0  # characters in pieces
        rest = ""  # a "\r" that may start the "\r\n" the next chunk ends
        while True:
            while not self._decoded:
                if not await self._read_chunk(0):
                    self._snapshot = None
                    return "".join(pieces) + rest
            text, start, offset = self._decoded, self._used, 0
            if rest:
                text, start, offset, rest = rest + text, 0, len(rest), ""
            end, sure = self._line_end(text, start)
            found = end >= 0
            if not found:
                end = start + sure
            if limit >= 0 and end - start + gathered >= limit:
                end = start + limit - gathered
                break
            if found:
                break
            pieces.append(text[start:end])
            gathered += end - start
            rest = text[end:]
            self._set_decoded("")
        self._used = end - offset
        pieces.append(text[start:end])
        return "".join(pieces)

    def __aiter__(self) -> Self:
        if self.closed:
            raise ValueError(CLOSED)
        return self

    async def __anext__(self) -> str:
        if not self._turns.busy:
            self._telling = False
            if lines := self._lines:  # _buffered_line()'s first case, written out: the common one
                line = lines.pop()
                self._used += len(line)
                return line
            if (buffered := self._buffered_line()) is not None:
                return buffered
        line = await self._in_turn(self._reading, self._iterated_line)
        if not line:
            raise StopAsyncIteration
        return line

    async def _iterated_line(self) -> str:
        """The next line, as next() reads it: tell() refuses until the lines end (or a flush),
        which is decided in the call's turn, after the calls made before it."""
        self._telling = False
        line = await self._next_line()
        if not line:
            self._snapshot = None
            self._telling = self._seekable
        return line

    async def readlines(self, hint: SupportsIndex | None = -1) -> list[str]:
        """The lines left, or lines until their length reaches `hint` when it is positive."""
        limit = optional_size(hint)
        return await self._in_turn(self._reading, self._readlines, limit)

    async def _readlines(self, hint: int) -> list[str]:
        self._check_open()  # in its turn: a close() issued before it closes first
        lines: list[str] = []
        length = 0
        self._telling = False  # builtin iterates the file for these lines
        while line := self._buffered_line() or await self._next_line():
            lines.append(line)
            if 0 < hint < length + len(line):
                return lines
            length += len(line)
        self._snapshot = None
        self._telling = self._seekable
        return lines

    # ---- writing -----------------------------------------------------------------------------

    async def write(self, text: str) -> int:
        """Writes `text`; returns its length in characters."""
        require_str(text)
        if self._turns.busy or self._start_unknown:
            return await self._in_turn(self._write, text)
        if self._raw.closed:  # _check_open(), inline: the common write costs a call less
            raise ValueError(CLOSED)
        writer = self._writer
        data, flush = writer.encoded(text)
        # goes_out_with(), inline, as _check_open() above.
        if flush or writer.write_through or writer.held_size + len(data) >= CHUNK_SIZE:
            return await self._in_turn(self._write_encoded, data, flush, len(text))
        # Most writes only join the held ones: nothing to wait for, so no turn to take.
        self._hold(data)
        return len(text)

    async def _write(self, text: str) -> int:
        self._check_open()
        data, flush = self._writer.encoded(text)
        return await self._write_encoded(data, flush, len(text))

    async def _write_encoded(self, data: bytes, flush: bool, length: int) -> int:
        if self._writer.overflows(len(data)):
            await self._write_pending()
        self._hold(data)
        if self._writer.goes_out_with(0, flush):
            await self._write_pending()
        if flush:
            await self._raw.flush()
        return length

    def _hold(self, data: bytes) -> None:
        self._writer.hold(data)
        if self._decoder is not None:
            # What was read ahead is dropped, as builtin drops it: the next read starts after the
            # write.
            self._set_decoded("")
            self._snapshot = None
            self._decoder.reset()

    async def _write_pending(self) -> None:
        """Hands the held writes to the binary layer, at its position."""
        if self._writer.held:
            data = self._writer.take()
            if data:  # builtin's empty write keeps what its buffer read ahead
                self._ahead.drop()
            await self._raw.write_accepted(data)

    async def writelines(self, lines: Iterable[str]) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""
        await self._in_turn(self._writelines, lines)

    async def _writelines(self, lines: Iterable[str]) -> None:
        self._check_open()  # in its turn, and before the lines are taken, as builtin's
        for line in lines:
            await self._write(require_str(line))

    # ---- positions ---------------------------------------------------------------------------

    async def tell(self) -> int:
        """An opaque number that seek() takes back to this place."""
        return await self._in_turn(self._tell)

    async def _tell(self) -> int:
        self._check_open()
        if not self._seekable:
            raise io.UnsupportedOperation("underlying stream is not seekable")
        if not self._telling:
            raise OSError("telling position disabled by next() call")
        await self._flush()
        position = await self._raw.tell()
        if self._decoder is None or self._snapshot is None:
            return position
        return tell_cookie(self._decoder, self._snapshot, position, self._used, self._b2cratio)

    async def seek(self, cookie: int, whence: SupportsIndex = 0) -> int:
        """Goes back to a position tell() gave (whence 0), or stays (0, 1), or goes to the end (0,
        2)."""
        return await self._in_turn(self._seek, cookie, operator.index(whence))

    async def _seek(self, cookie: int, whence: int) -> int:
        self._check_open()
        if not self._seekable:
            raise io.UnsupportedOperation("underlying stream is not seekable")
        if whence == os.SEEK_CUR:
            if cookie != 0:
                raise io.UnsupportedOperation("can't do nonzero cur-relative seeks")
            cookie = await self._tell()
        elif whence == os.SEEK_END:
            if cookie != 0:
                raise io.UnsupportedOperation("can't do nonzero end-relative seeks")
            return await self._seek_end()
        elif whence != os.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if cookie < 0:
            raise ValueError(f"negative seek position {cookie!r}")
        await self._flush()
        place = Cookie.unpack(int(cookie))
        await self._raw.seek(place.start)
        self._ahead.seek(place.start)
        self._set_decoded("")
        self._snapshot = None
        if self._decoder is not None:
            restore_decoder(self._decoder, place.start, place.flags)
        if place.skip:
            await self._replay(place)
        else:
            self._snapshot = Snapshot(place.flags, b"")
        self._writer.moved_to(place.start, place.flags)
        return cookie

    async def _replay(self, place: Cookie) -> None:
        """Decodes again the bytes from the cookie's start and skips the characters before it."""
        data = await self._raw.read(place.feed)
        self._ahead.read(place.start, place.feed, len(data))
        self._snapshot = Snapshot(place.flags, data)
        self._set_decoded(self._decode(data, place.need_eof))
        if len(self._decoded) < place.skip:
            raise OSError("can't restore logical file position")
        self._used = place.skip

    async def _seek_end(self) -> int:
        await self._flush()
        self._ahead.drop()
        self._set_decoded("")
        self._snapshot = None
        if self._decoder is not None:
            self._decoder.reset()
        position = await self._raw.seek(0, os.SEEK_END)
        self._writer.moved_to(position, 0)
        return position

    async def truncate(self, size: SupportsIndex | None = None) -> int:
        """Cuts or extends the file to `size` bytes (the binary layer's position when None, which
        is after what was read ahead, as in builtin); returns the new size."""
        return await self._in_turn(self._truncate, size)

    async def _truncate(self, size: SupportsIndex | None) -> int:
        await self._flush()
        if self._writer.encoder is None:
            raise io.UnsupportedOperation("truncate")
        return await self._raw.truncate(size)

    # ---- the rest ----------------------------------------------------------------------------

    async def flush(self) -> None:
        """Hands what was written to the operating system."""
        await self._in_turn(self._flush)

    async def _flush(self) -> None:
        self._check_open()
        self._telling = self._seekable
        await self._write_pending()
        await self._raw.flush()
        if self._writer.encoder is not None:
            self._ahead.drop()  # an update stream's flush drops builtin's read buffer

    async def sync(self, data_only: bool = False) -> None:
        """Flushes, then waits until the file's bytes are on the storage device (see
        FileHandle.sync)."""
        await self._in_turn(self._sync, data_only)

    async def _sync(self, data_only: bool) -> None:
        await self._flush()
        await self._raw.sync(data_only)

    async def isatty(self) -> bool:
        """Whether the file is a terminal."""
        return await self._in_turn(self._isatty)

    async def _isatty(self) -> bool:
        if self.closed:
            raise ValueError(CLOSED_FILE)
        return await self._raw.isatty()

    async def close(self) -> None:
        """Flushes and closes, once every earlier call has finished; a cancellation does not stop
        it."""
        # Before the shield's task starts, so later calls stay behind.
        place = self._turns.take_place()
        await asyncio.shield(self._run_in_turn(place, self._close))

    async def _close(self) -> None:
        if self._raw.closed:
            return
        self._set_decoded("")  # nothing read ahead may be served after the close
        try:
            await self._flush()
        finally:
            await self._raw.close()

    # ---- settings and the binary layer -------------------------------------------------------

    @property
    def limiter(self) -> Limiter | None:
        """What bounds this file's calls on workers (open()'s `limiter`), or None."""
        return self._raw.limiter

    def detach(self) -> FileHandle[bytes]:
        """Separates the binary handle from this one and returns it, as builtin's detach(): this
        handle is unusable afterwards (ValueError). Synchronous, as in builtin and aiofiles: text
        gathered for writing goes to the binary handle ahead of any later call on it, and reaches
        the file when that handle flushes or closes."""
        raw = self._raw
        if raw.closed:
            raise ValueError(CLOSED)
        waiting = self._writer.take()
        self._set_decoded("")
        self._raw = Detached()  # type: ignore[assignment]  # every use of it now raises builtin's ValueError
        if waiting:
            raw.write_ahead(waiting)
        return raw

    async def reconfigure(
        self,
        *,
        encoding: str | None = None,
        errors: str | None = None,
        newline: Any = KEEP,
        line_buffering: SupportsIndex | None = None,
        write_through: SupportsIndex | None = None,
    ) -> None:
        """Changes the settings given, as builtin's reconfigure(): the encoding, errors and newline
        only while no text read ahead is waiting (else io.UnsupportedOperation), and after what was
        written is flushed. Errors alone keeps the encoding; an encoding alone resets errors to
        "strict"."""
        encoding = reconfigure_text("encoding", encoding)
        errors = reconfigure_text("errors", errors)
        if newline is not KEEP:
            newline = reconfigure_text("newline", newline)
        if self._decoded and (encoding is not None or errors is not None or newline is not KEEP):
            raise io.UnsupportedOperation(
                "It is not possible to set the encoding or newline of stream after the first read"
            )
        if newline is not KEEP:
            check_newline(newline)
        writer = self._writer
        lines = (
            writer.line_buffering
            if line_buffering is None
            else bool(operator.index(line_buffering))
        )
        through = (
            writer.write_through if write_through is None else bool(operator.index(write_through))
        )
        await self._in_turn(self._reconfigure, encoding, errors, newline, lines, through)

    async def _reconfigure(
        self,
        encoding: str | None,
        errors: str | None,
        newline: Any,
        line_buffering: bool,
        write_through: bool,
    ) -> None:
        await self._flush()
        if encoding is None:
            encoding, errors = self._encoding, self._errors if errors is None else errors
        # A handle made afresh over the same binary one settles every field the settings touch.
        settled = TextHandle(
            self._raw,
            encoding,
            errors,
            self._newline if newline is KEEP else newline,
            line_buffering,
            write_through,
            buffer_size=self._ahead.size,
        )
        for name in SETTINGS:
            setattr(self, name, getattr(settled, name))
        self._snapshot = None  # nothing is read ahead, so tell() is the binary layer's position
        self._b2cratio = 0.0


class Detached:
    """What a text handle holds in place of its binary one once detach() has given that away."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Any:
        raise ValueError(DETACHED)
