"""Universal newlines over a codec's incremental decoder, as builtin's text files decode."""

from typing import Protocol

# Which newlines universal decoding has met, as bits, and how `newlines` reports each set.
LF, CR, CRLF = 1, 2, 4
SEEN_NEWLINES: tuple[str | tuple[str, ...] | None, ...] = (
    None,
    "\n",
    "\r",
    ("\r", "\n"),
    "\r\n",
    ("\n", "\r\n"),
    ("\r", "\r\n"),
    ("\r", "\n", "\r\n"),
)


class Decoder(Protocol):
    def decode(self, data: bytes, final: bool = False) -> str: ...
    def getstate(self) -> tuple[bytes, int]: ...
    def setstate(self, state: tuple[bytes, int]) -> None: ...
    def reset(self) -> None: ...


class NewlineDecoder:
    """Universal newlines over a codec's incremental decoder: holds back a final "\\r" until the
    next input shows whether "\\n" follows, records the newlines met and, when translating, turns
    each into "\\n". Its state carries the held "\\r" in the lowest bit of the flags."""

    def __init__(self, decoder: Decoder, translate: bool) -> None:
        self._decoder = decoder
        self._translate = translate
        self._pending_cr = False
        self.seen = 0

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        """The newlines met so far in text modes, as builtin reports them."""
        return SEEN_NEWLINES[self.seen]

    def decode(self, data: bytes, final: bool = False) -> str:
        text = self._decoder.decode(data, final)
        if self._pending_cr and (text or final):
            text = "\r" + text
            self._pending_cr = False
        if not final and text.endswith("\r"):
            text = text[:-1]
            self._pending_cr = True
        if "\r" not in text:
            if not self.seen & LF and "\n" in text:
                self.seen |= LF
            return text
        crlf = text.count("\r\n")
        self.seen |= (
            (CRLF if crlf else 0)
            | (CR if text.count("\r") > crlf else 0)
            | (LF if text.count("\n") > crlf else 0)
        )
        return text.replace("\r\n", "\n").replace("\r", "\n") if self._translate else text

    def getstate(self) -> tuple[bytes, int]:
        buffered, flags = self._decoder.getstate()
        return buffered, flags << 1 | self._pending_cr

    def setstate(self, state: tuple[bytes, int]) -> None:
        buffered, flags = state
        self._pending_cr = bool(flags & 1)
        self._decoder.setstate((buffered, flags >> 1))

    def reset(self) -> None:
        self.seen = 0
        self._pending_cr = False
        self._decoder.reset()
