"""Positions in text files: the numbers tell() gives and seek() takes, worked out from the decoder.

A position packs these fields, least significant first, in builtin's layout, so that the same
place gives the same number: the byte offset of a point where the decoder holds no bytes, the
decoder's flags there, how many bytes to feed it from there, how many of the characters they give
to skip, and whether the input must then be ended.
"""

import struct
from typing import NamedTuple

from ._text_newlines import Decoder

COOKIE = struct.Struct("<qiiiB")


class Snapshot(NamedTuple):
    """A point where the decoder held no bytes: its flags there and every byte read since."""

    flags: int
    data: bytes


class Cookie(NamedTuple):
    start: int
    flags: int = 0
    feed: int = 0
    skip: int = 0
    need_eof: bool = False

    def pack(self) -> int:
        return int.from_bytes(COOKIE.pack(*self), "little")

    @classmethod
    def unpack(cls, number: int) -> "Cookie":
        start, flags, feed, skip, need_eof = COOKIE.unpack(number.to_bytes(COOKIE.size, "little"))
        return cls(start, flags, feed, skip, bool(need_eof))


def tell_cookie(
    decoder: Decoder, snapshot: Snapshot, position: int, used: int, b2cratio: float
) -> int:
    """The position `used` characters into the text decoded from `snapshot`, whose bytes end at the
    binary layer's `position`; `b2cratio` is the bytes per character where the search starts.
    Leaves the decoder as it found it."""
    flags, data = snapshot
    start = position - len(data)
    if used == 0:
        return Cookie(start, flags).pack()
    saved = decoder.getstate()
    try:
        return cookie_at(decoder, start, flags, data, used, b2cratio).pack()
    finally:
        decoder.setstate(saved)


def cookie_at(
    decoder: Decoder, start: int, flags: int, data: bytes, skip: int, b2cratio: float
) -> Cookie:
    """The cookie of the point `skip` characters into the text of `data`, decoded from `start`
    with the decoder's `flags`: the last point before it where the decoder holds no bytes, and
    what to replay from there. Leaves the decoder in any state. (builtin's arithmetic, on plain
    ints as _pyio's: measured faster than a Cookie's _replace() per step.)"""
    # Guess from the bytes per character, stepping back until the guess decodes to no more
    # characters than wanted and leaves no bytes in the decoder. The ratio may be of a chunk
    # denser than these bytes (the last chunk's; after a seek these are only the bytes
    # replayed): no guess goes past them.
    guess = min(int(b2cratio * skip), len(data))
    step = 1
    while guess > 0:
        restore_decoder(decoder, start, flags)
        count = len(decoder.decode(data[:guess]))
        if count <= skip:
            pending, guessed_flags = decoder.getstate()
            if not pending:
                flags = guessed_flags
                skip -= count
                break
            guess -= len(pending)
            step = 1
        else:
            guess -= step
            step *= 2
    if guess <= 0:
        guess = 0
        restore_decoder(decoder, start, flags)
    start += guess
    if skip == 0:
        return Cookie(start, flags)
    # Then feed one byte at a time, moving the start to each point where the decoder is empty.
    feed = decoded = 0
    need_eof = False
    for position in range(guess, len(data)):
        feed += 1
        decoded += len(decoder.decode(data[position : position + 1]))
        pending, fed_flags = decoder.getstate()
        if not pending and decoded <= skip:
            start, skip, flags = start + feed, skip - decoded, fed_flags
            feed = decoded = 0
        if decoded >= skip:
            break
    else:
        decoded += len(decoder.decode(b"", True))
        need_eof = True
        if decoded < skip:
            raise OSError("can't reconstruct logical file position")
    return Cookie(start, flags, feed, skip, need_eof)


def restore_decoder(decoder: Decoder, start: int, flags: int) -> None:
    """Puts the decoder in the state it had at `start` with `flags`. At the start of the file,
    reset(): some decoders start in a state of their own there (utf-16 waits for its byte-order
    mark)."""
    if start == 0 and flags == 0:
        decoder.reset()
    else:
        decoder.setstate((b"", flags))
