"""How far builtin's binary buffer has read ahead of a text file's position.

A text file reads chunks with read1(), which returns only what the binary buffer holds when it
holds anything and reads the file itself otherwise. In steady reading the buffer stays empty, so
every chunk is CHUNK_SIZE bytes; but a seek() to a cookie with bytes to replay reads them with
read(), which fills the buffer with a block, and the chunks after it stop at the block's end.
Where chunks end shows: in the cookies tell() gives, in `newlines`, in the position truncate()
cuts at, and in whether an undecodable byte fails the read that reads the chunk. This follows
the buffer of a BufferedReader or BufferedRandom of `size` bytes through the calls the text
layer makes of it, so that the text layer's own chunks end where builtin's do.
"""

import io

# Bytes a text file reads at a time, and gathers its writes up to, as builtin's text files do.
CHUNK_SIZE = 8192


class ReadAhead:
    """The bytes builtin's binary buffer holds ahead of the position: the file offsets it holds
    (`start` to `end`) and how many of them lie ahead of the position (`left`; 0 when the
    buffer holds none, whether empty or dropped)."""

    __slots__ = ("end", "left", "size", "start")

    def __init__(self, size: int) -> None:
        # As open() sizes it from st_blksize.
        self.size = size if size > 1 else io.DEFAULT_BUFFER_SIZE
        self.start = self.end = self.left = 0

    def chunk(self, wanted: int) -> int:
        """How many bytes read1(wanted) asks of the file: what the buffer holds, when it holds
        some."""
        return min(wanted, self.left) if self.left else wanted

    def chunk_read(self, asked: int, got: int) -> None:
        if self.left:
            self.left = self.left - got if got == asked else 0  # short: the file ends there

    def seek(self, target: int) -> None:
        """A seek() to `target` keeps the buffer when it lands inside it; any other drops it."""
        self.left = self.end - target if self.left and self.start <= target <= self.end else 0

    def read(self, position: int, count: int, got: int) -> None:
        """read(count) from `position` that returned `got` bytes: served from the buffer when it
        holds them all, else the buffered part, whole blocks straight from the file, and a block
        read into the buffer for the rest."""
        if count <= self.left:
            self.left -= count
            return
        if got < count:
            self.left = 0  # the file ended: whatever was buffered has been taken
            return
        after_buffer = position + self.left
        rest = count - self.left
        whole_blocks = rest - rest % self.size
        if whole_blocks == rest:
            self.left = 0
            return
        self.start = after_buffer + whole_blocks
        self.end = self.start + self.size
        self.left = self.end - (position + count)

    def drop(self) -> None:
        """What drops the buffer: flush() of an update stream, a write (builtin's read1() would
        read over writes still in its buffer; read1() that writes them first drops it, as here),
        read() to the end and seek() from the end."""
        self.left = 0
