"""Handles over file objects that Python code already holds: wrap_file(fileobj), and larkspan.stdin,
stdout, stderr with their _bytes forms, as aiofiles has them.

Such an object keeps a buffer of its own that nothing here can see into, so whether a call could
be answered from memory is unknown: every call runs on a worker, one at a time in the order made,
and the loop runs on meanwhile. A call whose task is cancelled still runs to its end (what it read
is lost, as with anyio's and aiofiles' handles), and the next call waits for it."""

import asyncio
import sys
from collections.abc import Callable, Iterable
from functools import partial
from typing import IO, Any, AnyStr, Generic, Self, TextIO

from ._budget import yield_if_spent
from ._calls import on_worker
from ._closed import CLOSED
from ._file import ClosedOnExit
from ._limiter import Limiter, check_limiter
from ._turns import Turns


class WrappedFile(ClosedOnExit, Generic[AnyStr]):
    """An awaitable handle over a Python file object (binary or text): each method calls the
    object's method of the same name on a worker and returns its result or raises its exception."""

    __slots__ = ("_file", "_turns", "_what", "limiter")

    def __init__(
        self,
        file: IO[AnyStr] | None,
        limiter: Limiter | None = None,
        what: str = "a wrap_file() handle",
    ) -> None:
        self._file: IO[AnyStr] | None = file
        self.limiter = limiter  # bounds the calls on workers, as open()'s limiter does
        # Bound to no loop: larkspan.stdin serves every asyncio.run() of a program.
        self._turns = Turns()
        self._what = what  # how the exceptions this handle raises itself name it

    @property
    def wrapped(self) -> IO[AnyStr]:
        """The file object underneath (anyio's name for it)."""
        file = self._file
        if file is None:
            raise AttributeError(f"{self._what} wraps no file object")
        return file

    def _open_file(self, method: str) -> IO[AnyStr]:
        file = self.wrapped
        if file.closed:
            raise ValueError(f"{method}() on {self._what}: {CLOSED}")
        return file

    async def _run(self, method: str, *args: Any) -> Any:
        """Calls the file's `method` on a worker once the calls before it have ended. The turn
        passes on only when the worker call ends, even when the awaiting task is cancelled."""
        # In line at once, before anything lets the loop run, so calls issued together run in the
        # order issued.
        return await self._when_turn_comes(self._turns.take_place(), method, *args)

    async def _when_turn_comes(
        self, place: "asyncio.Future[None] | None", method: str, *args: Any
    ) -> Any:
        if place is not None:
            await self._turns.wait_for(place)
        try:
            await yield_if_spent()
            # Closing twice is no error.
            file = self.wrapped if method == "close" else self._open_file(method)
            call: Callable[[], Any] = partial(getattr(file, method), *args)
        except BaseException:
            self._turns.pass_on()
            raise
        ran = asyncio.ensure_future(on_worker(call, self.limiter))
        ran.add_done_callback(self._pass_turn_on)
        return await asyncio.shield(ran)

    def _pass_turn_on(self, ran: "asyncio.Future[Any]") -> None:
        self._turns.pass_on()
        if not ran.cancelled():
            ran.exception()  # retrieved here too: the task that awaited it may have gone

    # ---- queries, answered at once as the file object answers them ----------------------------

    @property
    def name(self) -> Any:
        """The name the file was opened with: its path as given, or its descriptor."""
        return self.wrapped.name

    @property
    def mode(self) -> str:
        """The mode, as builtin's files report it."""
        return self.wrapped.mode

    @property
    def closed(self) -> bool:
        """Whether the file is closed."""
        return self.wrapped.closed

    def fileno(self) -> int:
        """The file's descriptor; ValueError once closed."""
        return self.wrapped.fileno()

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        return self.wrapped.readable()

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        return self.wrapped.writable()

    def seekable(self) -> bool:
        """Whether the file supports seek() and tell()."""
        return self.wrapped.seekable()

    # ---- calls that run on a worker ----------------------------------------------------------

    async def read(self, size: int = -1) -> AnyStr:
        """Up to `size` bytes (characters in text mode) from the position; all to the end when
        `size` is None or negative."""
        data: AnyStr = await self._run("read", size)
        return data

    async def read1(self, size: int = -1) -> AnyStr:
        """Up to `size` bytes with at most one read of the file: fewer when fewer are at hand."""
        data: AnyStr = await self._run("read1", size)
        return data

    async def readline(self, size: int = -1) -> AnyStr:
        """The next line, with its newline; at most `size` bytes or characters when given; empty at
        the end."""
        line: AnyStr = await self._run("readline", size)
        return line

    async def readlines(self, hint: int = -1) -> list[AnyStr]:
        """The lines left, or lines until their total length reaches `hint` when it is positive."""
        lines: list[AnyStr] = await self._run("readlines", hint)
        return lines

    async def readinto(self, buffer: Any) -> int:
        """Fills `buffer` from the position; returns the number of bytes stored (0 at the end)."""
        count: int = await self._run("readinto", buffer)
        return count

    async def readinto1(self, buffer: Any) -> int:
        """Fills `buffer` with at most one read of the file; returns the number of bytes stored."""
        count: int = await self._run("readinto1", buffer)
        return count

    async def write(self, data: AnyStr) -> int:
        """Writes `data`; returns how much was taken (bytes, or characters in text mode)."""
        count: int = await self._run("write", data)
        return count

    async def writelines(self, lines: Iterable[AnyStr]) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""
        # Drawn here: a generator must not run on a worker.
        await self._run("writelines", list(lines))

    async def seek(self, offset: int, whence: int = 0) -> int:
        """Moves to `offset` from the start (`whence` 0), the position (1) or the end (2); returns
        the new position."""
        position: int = await self._run("seek", offset, whence)
        return position

    async def tell(self) -> int:
        """The position."""
        position: int = await self._run("tell")
        return position

    async def truncate(self, size: int | None = None) -> int:
        """Cuts or extends the file to `size` (the position when None); returns the new size."""
        length: int = await self._run("truncate", size)
        return length

    async def flush(self) -> None:
        """Hands what was written to the operating system."""
        await self._run("flush")

    async def isatty(self) -> bool:
        """Whether the file is a terminal."""
        answer: bool = await self._run("isatty")
        return answer

    async def close(self) -> None:
        """Closes the file object once the calls before have ended; closing twice is no error."""
        if not self.wrapped.closed:
            # Before the shield's task starts, so later calls stay behind.
            place = self._turns.take_place()
            await asyncio.shield(self._when_turn_comes(place, "close"))

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> AnyStr:
        line: AnyStr = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line


def wrap_file(file: IO[AnyStr], *, limiter: Limiter | None = None) -> WrappedFile[AnyStr]:
    """An awaitable handle over `file`, a Python file object already open (sys.stdin, a socket's
    makefile(), an io.BytesIO), as anyio's wrap_file(): every call runs on a worker (within
    `limiter` when given), in the order made. A closed file is refused with builtin's ValueError,
    an object with neither read() nor write() with the AttributeError calling them would raise."""
    limiter = check_limiter("wrap_file()", limiter)
    for method in ("read", "write"):
        if callable(getattr(file, method, None)):
            break
    else:
        raise AttributeError(
            f"wrap_file() takes a file object: '{type(file).__name__}' object has no attribute "
            f"'read'",
            name="read",
            obj=file,
        )
    if getattr(file, "closed", False):
        raise ValueError(f"wrap_file(): {CLOSED}")
    return WrappedFile(file, limiter)


class StandardStream(WrappedFile[AnyStr]):
    """larkspan.stdin and the like: the sys stream of that name as it is at each call (so a
    replaced sys.stdout is followed, as aiofiles follows it), or its binary buffer."""

    __slots__ = ("_binary", "_stream")

    def __init__(self, stream: str, binary: bool) -> None:
        super().__init__(None, what=f"larkspan.{stream}{'_bytes' if binary else ''}")
        self._stream = stream
        self._binary = binary

    @property
    def wrapped(self) -> IO[AnyStr]:
        stream: TextIO | None = getattr(sys, self._stream)
        if stream is None:  # started without that descriptor, or under pythonw
            raise AttributeError(f"{self._what}: sys.{self._stream} is None")
        if not self._binary:
            return stream  # type: ignore[return-value]
        try:
            return stream.buffer  # type: ignore[return-value]
        except AttributeError:  # replaced by a text-only object, such as io.StringIO
            raise AttributeError(f"{self._what}: sys.{self._stream} has no binary buffer") from None


stdin: StandardStream[str] = StandardStream("stdin", binary=False)
stdout: StandardStream[str] = StandardStream("stdout", binary=False)
stderr: StandardStream[str] = StandardStream("stderr", binary=False)
stdin_bytes: StandardStream[bytes] = StandardStream("stdin", binary=True)
stdout_bytes: StandardStream[bytes] = StandardStream("stdout", binary=True)
stderr_bytes: StandardStream[bytes] = StandardStream("stderr", binary=True)
