"""The text layer's positions as functions of the decoder, without a file: for every character of
every chunk, the cookie tell_cookie() gives leads a fresh decoder back to exactly the text after
that character, and leaves the reading decoder as it was. Chunks are cut inside multibyte
characters, byte-order marks and "\\r\\n"; the ratio that seeds the search is right, stale (of a
denser chunk) or unknown."""

import codecs
from collections.abc import Callable, Iterator

import pytest
from larkspan._text_cookies import Cookie, Snapshot, restore_decoder, tell_cookie
from larkspan._text_newlines import Decoder, NewlineDecoder

TEXT = "a\r\nbé€\r\n😀日\rx\n\r\n" * 3 + "end\r"

DECODERS: dict[str, Callable[[str], Decoder]] = {
    "plain": lambda encoding: codecs.getincrementaldecoder(encoding)("strict"),
    "universal": lambda encoding: NewlineDecoder(
        codecs.getincrementaldecoder(encoding)("strict"), translate=True
    ),
    "newline ''": lambda encoding: NewlineDecoder(
        codecs.getincrementaldecoder(encoding)("strict"), translate=False
    ),
}
ENCODINGS = ["utf-8", "utf-16", "utf-8-sig", "utf-32", "shift_jis", "gb18030"]
CHUNK_SIZES = [1, 2, 3, 5, 7, 64]
RATIOS = {
    "measured": 1.0,
    "stale": 4.0,
    "unknown": 0.0,
}  # times the chunk's own bytes per character


def encoded(encoding: str) -> bytes:
    return TEXT.encode(encoding, "replace")


def chunks_read(data: bytes, decoder: Decoder, size: int) -> Iterator[tuple[Snapshot, int, str]]:
    """What a text file's reads see, up to the empty read at the end: for each chunk, the snapshot
    before it, the binary layer's position after it and the chunk's text; `decoder` is left as
    each chunk leaves it."""
    position = 0
    while True:
        pending, flags = decoder.getstate()
        chunk = data[position : position + size]
        position += len(chunk)
        yield Snapshot(flags, pending + chunk), position, decoder.decode(chunk, not chunk)
        if not chunk:
            return


def used_decoder(make: Callable[[], Decoder], data: bytes) -> Decoder:
    """A decoder in the middle of `data`, past any byte-order mark, as a seek() finds it."""
    decoder = make()
    decoder.decode(data[: len(data) // 2 + 1])
    return decoder


def text_from(cookie: int, data: bytes, make: Callable[[], Decoder]) -> str:
    """The rest of the text from `cookie`, as seek() then read() give it: replay, skip, decode
    on."""
    place = Cookie.unpack(cookie)
    decoder = used_decoder(make, data)
    restore_decoder(decoder, place.start, place.flags)
    replayed = decoder.decode(data[place.start : place.start + place.feed], place.need_eof)
    assert len(replayed) >= place.skip
    return replayed[place.skip :] + decoder.decode(data[place.start + place.feed :], True)


@pytest.mark.parametrize("ratio", RATIOS.values(), ids=RATIOS.keys())
@pytest.mark.parametrize("size", CHUNK_SIZES)
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("kind", DECODERS)
def test_every_cookie_leads_back_to_the_text_after_it(
    kind: str, encoding: str, size: int, ratio: float
) -> None:
    data = encoded(encoding)
    make = lambda: DECODERS[kind](encoding)
    whole = make().decode(data, True)
    decoder = make()
    before = ""  # the text of the chunks already read
    for snapshot, position, text in chunks_read(data, decoder, size):
        b2cratio = ratio * len(snapshot.data) / len(text) if text else 0.0
        state = decoder.getstate()
        for used in range(len(text) + 1):
            cookie = tell_cookie(decoder, snapshot, position, used, b2cratio)
            assert decoder.getstate() == state, (
                "tell_cookie() must leave the reading decoder as it found it"
            )
            assert text_from(cookie, data, make) == whole[len(before) + used :], (position, used)
        before += text
    assert before == whole


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("kind", DECODERS)
def test_seek_0_reads_the_whole_text_again(kind: str, encoding: str) -> None:
    """seek(0) takes a decoder back to the start of the file, where a byte-order mark comes
    first."""
    data = encoded(encoding)
    make = lambda: DECODERS[kind](encoding)
    assert text_from(0, data, make) == make().decode(data, True)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_the_start_of_a_chunk_needs_no_replay(encoding: str) -> None:
    """A point where the decoder holds no bytes is its own cookie: offset and flags only."""
    data = encoded(encoding)
    decoder = DECODERS["universal"](encoding)
    for snapshot, position, _ in chunks_read(data, decoder, 4):
        place = Cookie.unpack(tell_cookie(decoder, snapshot, position, 0, 1.0))
        assert place == Cookie(position - len(snapshot.data), snapshot.flags)


@pytest.mark.parametrize(
    "cookie",
    [
        Cookie(0),
        Cookie(8191, 1, 3, 2, True),
        Cookie((1 << 63) - 1, -(1 << 31), (1 << 31) - 1, 7, False),
    ],
    ids=["start", "replay to the end", "extremes"],
)
def test_a_cookie_packs_to_a_number_and_back(cookie: Cookie) -> None:
    number = cookie.pack()
    assert number >= 0 and Cookie.unpack(number) == cookie


def test_a_cookie_past_what_the_bytes_hold_is_refused() -> None:
    """Asked for more characters than the snapshot's bytes give, the search says so, as builtin."""
    decoder = DECODERS["plain"]("utf-8")
    decoder.decode(b"ab")
    with pytest.raises(OSError, match="^can't reconstruct logical file position$"):
        tell_cookie(decoder, Snapshot(0, b"ab"), 2, 3, 1.0)
