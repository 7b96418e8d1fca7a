"""The stages a text file's writes pass before its binary layer."""

import codecs
import io
import os

from ._readahead import CHUNK_SIZE

# These keep no state between writes, so str.encode() gives what their encoder gives, faster.
STATELESS_CODECS = ("utf-8", "iso8859-1", "ascii")


class TextWriter:
    """Newline translation, encoding, and the holding of encoded writes for the binary layer.
    Builtin's text files gather encoded writes (up to CHUNK_SIZE) and hand them to their binary
    layer before reading or when the chunk fills; this holds them the same way and does no I/O:
    the handle hands what it holds over. (Builtin's BufferedRandom.read1() then reads the bytes at
    the writes' place and puts the writes after them; here the binary layer writes them first, so
    a read reads what follows them.)"""

    __slots__ = (
        "_errors",
        "_newline",
        "_stateless_codec",
        "encoder",
        "held",
        "held_size",
        "line_buffering",
        "write_through",
    )

    def __init__(
        self,
        codec: codecs.CodecInfo | None,
        errors: str,
        newline: str | None,
        line_buffering: bool,
        write_through: bool,
    ) -> None:
        """`codec` is None when the file is not writable; `newline` is open()'s."""
        self.encoder = codec.incrementalencoder(errors) if codec is not None else None
        self.line_buffering = line_buffering
        self.write_through = write_through  # every write goes to the binary layer at once
        self.held: list[bytes] = []
        self.held_size = 0
        self._errors = errors
        self._stateless_codec = (
            codec.name if codec is not None and codec.name in STATELESS_CODECS else None
        )
        write_newline = os.linesep if newline is None else newline
        # What "\n" becomes.
        self._newline = write_newline if write_newline not in ("", "\n") else None

    def encoded(self, text: str) -> tuple[bytes, bool]:
        """The bytes of `text` and whether line buffering flushes after them."""
        if self.encoder is None:
            raise io.UnsupportedOperation("not writable")
        ends_line = (self._newline is not None or self.line_buffering) and "\n" in text
        if ends_line and self._newline is not None:
            text = text.replace("\n", self._newline)
        flush = self.line_buffering and (ends_line or "\r" in text)
        if self._stateless_codec is not None:
            return text.encode(self._stateless_codec, self._errors), flush
        # A write that fails to encode leaves the encoder as it was, so the byte-order mark still
        # comes with the first write that succeeds (builtin's utf-16 and utf-8-sig files lose it).
        state = self.encoder.getstate()
        try:
            return self.encoder.encode(text), flush
        except Exception:
            self.encoder.setstate(state)
            raise

    def overflows(self, size: int) -> bool:
        """Whether `size` more bytes would take what is held past a chunk: what is held goes
        first."""
        return bool(self.held) and self.held_size + size > CHUNK_SIZE

    def goes_out_with(self, size: int, flush: bool) -> bool:
        """Whether what is held, with `size` more bytes, goes to the binary layer now."""
        return flush or self.write_through or self.held_size + size >= CHUNK_SIZE

    def hold(self, data: bytes) -> None:
        self.held.append(data)
        self.held_size += len(data)

    def take(self) -> bytes:
        """What is held, which the caller hands to the binary layer; holds nothing afterwards."""
        data = b"".join(self.held)
        self.held.clear()
        self.held_size = 0
        return data

    def moved_to(self, start: int, flags: int) -> None:
        """After a seek to a cookie's `start` with the decoder's `flags`: the byte-order mark comes
        first again only at the start of the file."""
        if self.encoder is None:
            return
        if start == 0 and flags == 0:
            self.encoder.reset()
        else:
            self.encoder.setstate(0)

    def starts_mid_file(self) -> None:
        """No byte-order mark: the file was opened at a position past its start."""
        if self.encoder is not None:
            self.encoder.setstate(0)
