"""Awaitable binary file handles over the larkspan engine.

A call runs inline on the event loop when the engine finds it cannot wait: the bytes are in
memory (its own buffers, the page cache, a file system held in memory) and few enough to copy at
once. Otherwise the engine changes nothing and says so, and the call goes to a worker thread
while the loop runs on. The calls of one handle run one at a time, in the order they were made.
"""

import asyncio
import io
import operator
import os
from collections.abc import Awaitable, Callable, Iterable
from time import monotonic_ns
from types import TracebackType
from typing import Any, AnyStr, Generic, Self, SupportsIndex, TypeAlias, TypeVar

from . import _workers
from ._buffer import Buffer
from ._engine import WOULD_BLOCK, File
from ._limiter import Limiter, held
from ._turns import Turns

FilePath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
FileArgument: TypeAlias = FilePath | int

T = TypeVar("T")


# Longest stretch of inline file operations between two returns to the event loop. The clock is
# read before every operation (about 55 ns) rather than counting operations, because one
# operation takes anywhere from 0.1 us (a buffered write) to a millisecond (a large cached read).
# A return to the loop costs about 3 us. A timer that falls due waits up to two intervals,
# because its task wakes one loop turn after the timer fires. Measured with a ticker that
# sleeps 1 ms (benchmarks/front_bench.py), its typical gap is 1.5 ms at 0.25 ms, 3 ms at
# 1 ms and 12-20 ms at 4 ms, and no interval changes the total time measurably: 1 ms keeps
# the gaps well under 10 ms without returning to the loop more often than needed.
YIELD_INTERVAL_NS = 1_000_000

# Shared by every handle on purpose: a task that opens many files one after the other and
# does a few operations on each must still give the loop its turn.
_next_yield_ns = 0
_renewal_pending = False
_budget_fresh = False  # renewed, and no task has gone on with it yet


async def _pass_turn() -> None:
    """Lets the event loop run its other ready tasks until a round of the loop leaves budget for
    this task's next operation. The budget of inline work starts again only once the loop has
    come round, and a task that wakes to find it already spent by the tasks before it in the
    round yields again, so a round holds one interval of work however many tasks are ready."""
    global _renewal_pending, _budget_fresh
    while True:
        if not _renewal_pending:
            _renewal_pending = True
            asyncio.get_running_loop().call_soon(_renew_budget)
        await asyncio.sleep(0)
        if _budget_fresh or monotonic_ns() < _next_yield_ns:
            _budget_fresh = False  # the first task of a round always goes on, however small the budget
            return


def _renew_budget() -> None:
    global _next_yield_ns, _renewal_pending, _budget_fresh
    _renewal_pending = False
    _budget_fresh = True
    _next_yield_ns = monotonic_ns() + YIELD_INTERVAL_NS


class ClosedOnExit:
    """A file that `async with` closes when the block ends, whether or not the block raises."""

    __slots__ = ()

    async def close(self) -> None:
        """Closes the file; closing a closed file does nothing."""
        raise NotImplementedError

    async def aclose(self) -> None:
        """close() under the name anyio's files use."""
        await self.close()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.close()


class FileHandle(ClosedOnExit, Generic[AnyStr]):
    """An open file. Every operation may let the event loop run before it starts; one that runs on
    a worker lets it run until the result is in. The calls of a handle take turns, in the order
    they were made. Cancelling a task that awaits a call on a worker never tears the handle: the
    call finishes, and bytes it read are read again by the next read (a regular file's position is
    put back; from a pipe, the next read returns them)."""

    __slots__ = ("_file", "_name", "_mode", "_descriptor", "_turns", "_worker", "_unread", "_inline", "limiter")

    def __init__(self, file: File, name: str | bytes | int, mode: str, descriptor: int | None = None) -> None:
        self._file = file
        self._name = name
        self._mode = mode
        self._descriptor = descriptor  # the caller's, when the engine works on a copy
        self._turns = Turns()
        self._worker: asyncio.Future[None] | None = None  # done when the turn's worker call ends
        # Bytes read by a call whose task was cancelled, from a file that has no position to
        # put back: ("line", line) for the next readline, ("data", data) for the next read.
        self._unread: tuple[str, Any] | None = None
        self._inline = True  # nobody holds or awaits the turn and nothing is unread
        self.limiter: Limiter | None = None  # bounds this handle's calls on workers (open()'s limiter)

    @property
    def name(self) -> str | bytes | int:
        """The name the file was opened with: its path as given, or its descriptor."""
        return self._name

    @property
    def mode(self) -> str:
        """The mode, as builtin's files report it."""
        return self._mode

    @property
    def closed(self) -> bool:
        """Whether the file is closed."""
        return self._file.closed

    def fileno(self) -> int:
        """The file's descriptor; ValueError once closed."""
        descriptor = self._file.fileno()  # raises once closed
        return descriptor if self._descriptor is None else self._descriptor

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        self._require_open()
        return self._file.readable()

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        self._require_open()
        return self._file.writable()

    def seekable(self) -> bool:
        """Whether the file supports seek() and tell()."""
        try:
            os.lseek(self.fileno(), 0, os.SEEK_CUR)
        except OSError:
            return False
        return True

    def _require_open(self) -> None:
        if self._file.closed:
            raise ValueError("I/O operation on closed file.")

    # ---- taking turns --------------------------------------------------------------------

    async def _in_turn(self, body: Callable[..., Awaitable[T]], *args: Any) -> T:
        """Awaits `body(*args)` once every earlier call has finished. A task cancelled while it
        waits for its turn runs nothing; one cancelled while its call runs on a worker passes
        the turn on only when that call has ended."""
        return await self._when_turn_comes(self._queue_for_turn(), body, *args)

    def _queue_for_turn(self) -> asyncio.Future[None] | None:
        self._inline = False
        return self._turns.take_place()

    async def _when_turn_comes(
        self, place: asyncio.Future[None] | None, body: Callable[..., Awaitable[T]], *args: Any
    ) -> T:
        if place is not None:
            try:
                await self._turns.wait_for(place)
            except asyncio.CancelledError:
                self._inline = not self._turns.busy and self._unread is None
                raise
        try:
            return await body(*args)
        finally:
            worker = self._worker
            if worker is not None and not worker.done():
                worker.add_done_callback(lambda _: self._pass_turn_on())
            else:
                self._pass_turn_on()

    def _pass_turn_on(self) -> None:
        self._worker = None
        self._turns.pass_on()
        self._inline = not self._turns.busy and self._unread is None

    async def _in_worker(self, call: Callable[[], Any], undo: Callable[[Any], None] | None = None) -> Any:
        """Runs `call` on a worker with the turn held, within the handle's limiter. When the awaiting
        task is cancelled, the call still ends, and `undo` receives its result."""
        async with held(self.limiter):
            return await self._in_worker_now(call, undo)

    async def _in_worker_now(self, call: Callable[[], Any], undo: Callable[[Any], None] | None) -> Any:
        loop = asyncio.get_running_loop()
        result: asyncio.Future[Any] = loop.create_future()
        ended: asyncio.Future[None] = loop.create_future()

        def deliver(outcome: _workers.Outcome) -> None:
            try:
                _workers.settle(result, outcome, undo)
            finally:
                ended.set_result(None)  # the turn passes on whatever happened

        self._worker = ended
        _workers.pool().submit(loop, call, deliver)
        return await result

    async def _attempt(self, method: Callable[..., T], *args: Any) -> T:
        """A call that reads nothing, with the turn held: inline when the engine allows."""
        result: T = method(*args, True)
        if result is WOULD_BLOCK:
            result = await self._in_worker(lambda: method(*args, False))
        return result

    async def _call(self, method: Callable[..., T], *args: Any) -> T:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            result: T = method(*args, True)
            if result is not WOULD_BLOCK:
                return result
        return await self._in_turn(self._attempt, method, *args)

    # ---- what cancelled reads leave ----------------------------------------------------------

    def _put_back(self, kind: str, value: Any) -> None:
        if value:
            self._unread = (kind, value)
            self._inline = False

    def _take_unread(self, kind: str) -> AnyStr | None:
        """What a cancelled call left unread for a call of `kind`, or None."""
        if self._unread is None or self._unread[0] != kind:
            return None
        value: AnyStr = self._unread[1]
        self._unread = None
        return value

    def _keep_rest(self, unread: AnyStr, size: SupportsIndex | None, kind: str = "data") -> AnyStr:
        """Up to `size` of what was left unread; the rest stays for the next call of `kind`."""
        count = len(unread) if size is None else size.__index__()
        self._put_back(kind, unread[count:])
        return unread[:count]

    async def _read_attempt(self, method: Callable[..., Any], *args: Any) -> Any:
        """A read with the turn held: inline when the engine allows, else on a worker that, when
        its task is cancelled, puts the position back where the read started or keeps what it
        read for the next read."""
        result = method(*args, True)
        if result is not WOULD_BLOCK:
            return result
        file = self._file

        def call() -> tuple[int, Any]:
            return file.read_position(), method(*args, False)

        def undo(outcome: tuple[int, Any]) -> None:
            start, data = outcome
            if not file.restore_position(start):
                self._put_back("data", data[0][:0].join(data) if isinstance(data, list) and data else data)

        return (await self._in_worker(call, undo))[1]

    # ---- reading -----------------------------------------------------------------------

    async def read(self, size: SupportsIndex | None = None) -> AnyStr:
        """bytes in a mode with "b", str otherwise."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            result: AnyStr = self._file.read(size, True)
            if result is not WOULD_BLOCK:
                return result
        return await self._in_turn(self._read, size)

    async def _read(self, size: SupportsIndex | None) -> AnyStr:
        if (unread := self._take_unread("data")) is not None:
            if size is None:
                return unread + await self._read(None)
            return self._keep_rest(unread, size)
        data: AnyStr = await self._read_attempt(self._file.read, size)
        return data

    async def readall(self) -> AnyStr:
        """Everything from the position to the end."""
        return await self.read()

    async def read1(self, size: SupportsIndex | None = None) -> AnyStr:
        """Up to `size` bytes with at most one read of the file: fewer when fewer are at hand."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            result: AnyStr = self._file.read1(size, True)
            if result is not WOULD_BLOCK:
                return result
        return await self._in_turn(self._read1, size)

    async def _read1(self, size: SupportsIndex | None) -> AnyStr:
        if (unread := self._take_unread("data")) is not None:
            return self._keep_rest(unread, size)
        data: AnyStr = await self._read_attempt(self._file.read1, size)
        return data

    async def peek(self, size: int = 0) -> AnyStr:
        """Bytes ahead of the position without moving it: at least one unless at the end; as with
        builtin files, the count may differ from `size` (up to 8 KiB, or `size` when larger)."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        return await self._in_turn(self._peek, size)

    async def _peek(self, size: int) -> AnyStr:
        start = self._file.read_position()
        data = await self._read1(max(size, io.DEFAULT_BUFFER_SIZE))
        if data and not self._file.restore_position(start):
            rest = self._take_unread("data")
            self._put_back("data", data + rest if rest else data)
        return data

    async def readinto(self, buffer: Buffer) -> int:
        """Fills `buffer` from the position; returns the number of bytes stored (0 at the end)."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            result: int = self._file.readinto(buffer, True)
            if result is not WOULD_BLOCK:
                return result
        return await self._in_turn(self._readinto, buffer)

    async def _readinto(self, buffer: Buffer) -> int:
        if (unread := self._take_unread("data")) is not None:
            with memoryview(buffer) as view, view.cast("B") as target:
                data = self._keep_rest(unread, target.nbytes)
                target[: len(data)] = data.encode() if isinstance(data, str) else data
                return len(data)
        result: int = self._file.readinto(buffer, True)
        if result is not WOULD_BLOCK:
            return result
        file = self._file

        def call() -> tuple[int, int]:
            return file.read_position(), file.readinto(buffer, False)

        def undo(outcome: tuple[int, int]) -> None:
            start, count = outcome
            if not file.restore_position(start):
                with memoryview(buffer) as view, view.cast("B") as target:
                    self._put_back("data", bytes(target[:count]))

        outcome: tuple[int, int] = await self._in_worker(call, undo)
        return outcome[1]

    async def readline(self, size: SupportsIndex | None = None) -> AnyStr:
        """The next line, with its newline; at most `size` bytes or characters when given; empty at the end."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            line: AnyStr = self._file.readline(size, True)
            if line is not WOULD_BLOCK:
                return line
        return await self._in_turn(self._readline, size)

    async def _readline(self, size: SupportsIndex | None) -> AnyStr:
        if (unread := self._take_unread("line")) is not None:
            return self._keep_rest(unread, size, "line")
        if (unread := self._take_unread("data")) is not None:
            return await self._line_from_unread(unread, size)
        line: AnyStr = self._file.readline(size, True)
        if line is WOULD_BLOCK:
            file = self._file
            line = await self._in_worker(
                lambda: file.readline(size, False), lambda line: self._put_back("line", line)
            )
        return line

    async def _line_from_unread(self, unread: AnyStr, size: SupportsIndex | None) -> AnyStr:
        """A line that starts with what a cancelled read left: up to its newline or `size`, or
        all of it and the rest of the line from the file."""
        newline = b"\n" if isinstance(unread, bytes) else "\n"
        limit = None if size is None else size.__index__()
        end = unread.find(newline, 0, len(unread) if limit is None else limit)
        if end < 0 and (limit is None or limit > len(unread)):
            return unread + await self._readline(None if limit is None else limit - len(unread))
        cut = end + 1 if end >= 0 else limit
        self._put_back("data", unread[cut:])
        return unread[:cut]

    async def readlines(self, hint: SupportsIndex | None = None) -> list[AnyStr]:
        """Every line to the end; with a positive `hint`, lines until their total length reaches it."""
        if hint is not None and hint.__index__() > 0:
            return await self._lines_up_to(hint.__index__())
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            lines: list[AnyStr] = self._file.readlines(hint, True)
            if lines is not WOULD_BLOCK:
                return lines
        return await self._in_turn(self._readlines, hint)

    async def _readlines(self, hint: SupportsIndex | None) -> list[AnyStr]:
        lines: list[AnyStr] = []
        while (unread := self._take_unread("data")) is not None:
            lines.append(await self._line_from_unread(unread, None))
        rest: list[AnyStr] = await self._read_attempt(self._file.readlines, hint)
        return lines + rest

    async def _lines_up_to(self, hint: int) -> list[AnyStr]:
        lines: list[AnyStr] = []
        total = 0
        while total < hint and (line := await self.readline()):
            lines.append(line)
            total += len(line)
        return lines

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> AnyStr:
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            line: AnyStr = self._file.readline(None, True)
            if line is WOULD_BLOCK:
                line = await self._in_turn(self._readline, None)
        else:
            line = await self._in_turn(self._readline, None)
        if not line:
            raise StopAsyncIteration
        return line

    # ---- writing and the rest ------------------------------------------------------------

    async def write(self, data: object) -> int:
        """Writes `data`; returns how much was taken (bytes, or characters in text mode)."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            result: int = self._file.write(data, True)
            if result is not WOULD_BLOCK:
                return result
        count: int = await self._in_turn(self._attempt, self._file.write, data)
        return count

    async def writelines(self, lines: Iterable[Any]) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""
        await self._call(self._file.writelines, lines if isinstance(lines, (list, tuple)) else list(lines))

    async def seek(self, offset: SupportsIndex, whence: SupportsIndex = 0) -> int:
        """Moves to `offset` from the start (`whence` 0), the position (1) or the end (2); returns the new position."""
        return await self._call(self._seek, operator.index(offset), operator.index(whence))

    def _seek(self, offset: int, whence: int, inline_only: bool) -> int:
        position: int = self._file.seek(offset, whence, inline_only)
        if position is not WOULD_BLOCK:
            self._unread = None  # what a cancelled read left lies behind the old position
        return position

    # tell() and flush() run under every text tell(), so they skip _call's extra coroutine.
    async def tell(self) -> int:
        """The position."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if self._inline:
            position: int = self._file.tell()
            return position
        return await self._in_turn(self._attempt, self._tell)

    def _tell(self, inline_only: bool) -> int:
        return self._file.tell()

    async def flush(self) -> None:
        """Hands what was written to the operating system."""
        if monotonic_ns() >= _next_yield_ns:
            await _pass_turn()
        if not self._inline or self._file.flush(True) is WOULD_BLOCK:
            await self._in_turn(self._attempt, self._file.flush)

    async def truncate(self, size: SupportsIndex | None = None) -> int:
        """Cuts or extends the file to `size` bytes (the position when None); returns the new size."""
        length: int = await self._call(self._file.truncate, size)
        return length

    async def isatty(self) -> bool:
        """Whether the file is a terminal."""
        answer: bool = await self._call(self._file.isatty)
        return answer

    async def sync(self, data_only: bool = False) -> None:
        """Hands the written bytes to the file system and waits until they are on the storage
        device (fdatasync with `data_only`, which skips metadata such as times; fsync otherwise)."""
        await self._call(self._file.sync, data_only)

    async def close(self) -> None:
        """Closes the file once every earlier call has finished. A cancellation does not stop it:
        the file is closed all the same."""
        if self._inline and self._file.close(True) is not WOULD_BLOCK:
            return
        # The place in line is taken before the shield's task starts, so later calls stay behind.
        turn = self._queue_for_turn()
        await asyncio.shield(self._when_turn_comes(turn, self._attempt, self._file.close))

    async def readinto1(self, buffer: Buffer) -> int:
        """readinto() with at most one read of the file, as builtin's buffered files' readinto1();
        returns the number of bytes stored. A buffer that cannot take bytes is refused before
        anything is read."""
        with writable_bytes("readinto1", buffer) as target:
            binary: Any = self  # readinto1 is a binary file's call, as in builtin: read1 gives bytes
            data = await binary.read1(target.nbytes)
            target[: len(data)] = data
            return len(data)

    def write_ahead(self, data: bytes) -> None:
        """Writes `data` ahead of every call made after this one, without waiting: into the engine's
        buffer when it can take them at once, else by a task that takes the handle's turn now (its
        failure goes to the loop's exception handler, since nobody awaits it)."""
        if self._inline and self._file.write(data, True) is not WOULD_BLOCK:
            return
        place = self._queue_for_turn()
        writing = asyncio.get_running_loop().create_task(
            self._when_turn_comes(place, self._attempt, self._file.write, data)
        )
        _unawaited.add(writing)
        writing.add_done_callback(_unawaited.discard)


# Tasks nobody awaits, kept until they end: the loop holds only weak references to its tasks.
_unawaited: set[asyncio.Task[Any]] = set()


def writable_bytes(call: str, buffer: object) -> memoryview:
    """`buffer` as a writable view of bytes, or builtin's TypeError for what is not one."""
    try:
        view = memoryview(buffer)  # type: ignore[arg-type]
    except TypeError:
        view = None
    if view is None or view.readonly or not view.c_contiguous:
        kind = "None" if buffer is None else type(buffer).__name__
        raise TypeError(f"{call}() argument must be read-write bytes-like object, not {kind}")
    return view.cast("B")


class UnbufferedFileHandle(FileHandle[bytes]):
    """A binary file opened with buffering=0: every write reaches the file before it returns."""

    __slots__ = ()

    async def write(self, data: object) -> int:
        """Writes `data`; returns how much was taken (bytes, or characters in text mode)."""
        count = await super().write(data)
        await self.flush()
        return count

    async def writelines(self, lines: Iterable[Any]) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""
        await super().writelines(lines)
        await self.flush()
