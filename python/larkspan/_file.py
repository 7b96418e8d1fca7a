"""Awaitable binary file handles over the larkspan engine.

A call runs inline on the event loop when the engine finds it cannot wait: the bytes are in
memory (its own buffers, the page cache, a file system held in memory) and few enough to copy at
once. Otherwise the engine changes nothing and says so, and the call goes to a worker thread
while the loop runs on. The calls of one handle run one at a time, in the order they were made.
"""

import asyncio
import errno
import functools
import inspect
import io
import operator
import os
import sys
from collections.abc import Awaitable, Callable, Iterable
from time import monotonic_ns
from types import FunctionType, TracebackType
from typing import Any, AnyStr, Generic, NoReturn, Self, SupportsIndex, TypeVar, cast

from ._budget import Budget, of_this_thread
from ._buffer import Buffer
from ._closed import CLOSED, CLOSED_FILE
from ._engine import LARGE_COPY, WOULD_BLOCK, Blocked, File, size_or_none
from ._limiter import Limiter, held
from ._turns import Turns
from ._workers import on_engine, run_on_engine

T = TypeVar("T")
R = TypeVar("R")
D = TypeVar("D")


def _itself(result: T) -> T:
    return result


def _joined(lines: list[AnyStr]) -> AnyStr | None:
    return lines[0][:0].join(lines) if lines else None


def _listed(lines: Iterable[Any]) -> list[Any] | tuple[Any, ...]:
    return lines if isinstance(lines, (list, tuple)) else list(lines)


def _split_lines(data: AnyStr) -> list[AnyStr]:
    """`data` cut after each newline, as readlines() gives it."""
    newline = b"\n" if isinstance(data, bytes) else "\n"
    lines = [line + newline for line in data.split(newline)]
    last = lines.pop()[:-1]
    return lines + [last] if last else lines


def _end_iteration() -> NoReturn:
    raise StopAsyncIteration


def _ends_line(line: AnyStr) -> bool:
    return line.endswith(b"\n" if isinstance(line, bytes) else "\n")


def _lines_within(
    readline: Callable[[], AnyStr | Blocked], budget: int, most: int = sys.maxsize
) -> tuple[list[AnyStr], bool]:
    """Lines from readline() until their total length exceeds `budget`, as builtin's readlines(hint)
    stops, or the input ends; and whether it got there. It stops short, returning False, where
    readline() returns WOULD_BLOCK or once more than `most` bytes were read."""
    lines: list[AnyStr] = []
    total = 0
    while total <= budget:
        if total > most:
            return lines, False
        line = readline()
        if line is WOULD_BLOCK:
            return lines, False
        if not line:
            break
        lines.append(line)
        total += len(line)
    return lines, True


# ---- the inline fast path -------------------------------------------------------------------

Method = TypeVar("Method", bound=Callable[..., Awaitable[Any]])

# The method inline_first() makes. It is made from source, with the decorated method's own
# parameters, because a wrapper that takes *args, fills in the defaults and looks the engine's call
# up by name measured 300 ns more per call than this, on a cached readline() that takes 210 ns in
# all.
_FAST_PATH = """\
async def {name}(self, {parameters}):
    if self._inline and monotonic_ns() < self._budget.ends_ns:
        result = self.{call}({arguments}True)
        if result is not WOULD_BLOCK:
            return {returned}
    return await self._in_turn(in_turn, self, {parameters})
"""


def inline_first(
    call: str,
    *,
    arguments: tuple[str, ...] | None = None,
    ends_iteration_when_empty: bool = False,
) -> Callable[[Method], Method]:
    """Makes the decorated coroutine, what a handle's call does once it holds the turn, the body of
    a method with the same name and parameters that first tries `call` (an attribute path from the
    handle, e.g. "_file.read") inline, when nobody holds or awaits the handle's turn and the loop's
    budget lasts: with the method's arguments (or the expressions `arguments`) and inline_only set.
    Unless that returns WOULD_BLOCK, its result is the method's (with `ends_iteration_when_empty`,
    an empty one raises StopAsyncIteration instead); otherwise, and when the fast path cannot run,
    the decorated coroutine runs in turn. The method costs one coroutine frame, as one written by
    hand."""

    def with_fast_path(in_turn: Method) -> Method:
        code = in_turn.__code__
        if code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) or code.co_kwonlyargcount:
            raise TypeError(
                f"{in_turn.__qualname__}: the fast path passes positional parameters only"
            )
        parameters = code.co_varnames[1 : code.co_argcount]  # after self
        source = _FAST_PATH.format(
            name=in_turn.__name__,
            parameters="".join(f"{name}, " for name in parameters),
            call=call,
            arguments="".join(
                f"{name}, " for name in (parameters if arguments is None else arguments)
            ),
            returned="result or end_iteration()" if ends_iteration_when_empty else "result",
        )
        namespace: dict[str, Any] = {
            "monotonic_ns": monotonic_ns,
            "WOULD_BLOCK": WOULD_BLOCK,
            "in_turn": in_turn,
            "end_iteration": _end_iteration,
        }
        exec(compile(source, f"<fast path of {in_turn.__qualname__}>", "exec"), namespace)
        method: FunctionType = namespace[in_turn.__name__]
        method.__defaults__ = cast(FunctionType, in_turn).__defaults__
        return cast(Method, functools.update_wrapper(method, in_turn))

    return with_fast_path


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
    they were made. Cancelling a task that awaits a call never tears the handle: a call still
    waiting for a worker never runs; one running finishes, and whatever point the cancellation
    meets, the bytes a read took are read again by the next read (a regular file's position is put
    back; from a pipe, the next read returns them)."""

    __slots__ = (
        "_budget",
        "_descriptor",
        "_file",
        "_inline",
        "_mode",
        "_name",
        "_turns",
        "_unread",
        "_worker",
        "limiter",
    )

    def __init__(
        self,
        file: "File[AnyStr]",
        name: str | bytes | int,
        mode: str,
        descriptor: int | None = None,
    ) -> None:
        self._file: File[AnyStr] = file
        self._name = name
        self._mode = mode
        self._descriptor = descriptor  # the caller's, when the engine works on a copy
        self._turns = Turns()
        self._worker: asyncio.Future[None] | None = None  # done when the turn's worker call ends
        # Bytes read by calls whose tasks were cancelled, from a file that has no position to put
        # back: the next reads return them before anything the engine holds.
        self._unread: AnyStr | None = None
        self._inline = True  # nobody holds or awaits the turn and nothing is unread
        self._budget: Budget = of_this_thread()  # that of the loop opening the file
        # Bounds this handle's calls on workers (open()'s limiter).
        self.limiter: Limiter | None = None

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
        if self._file.closed:
            raise ValueError(CLOSED_FILE)
        descriptor = self._file.fileno()
        return descriptor if self._descriptor is None else self._descriptor

    def readable(self) -> bool:
        """Whether the file was opened for reading."""
        return self._mode_answer(self._file.readable())

    def writable(self) -> bool:
        """Whether the file was opened for writing."""
        return self._mode_answer(self._file.writable())

    def seekable(self) -> bool:
        """Whether the file supports seek() and tell()."""
        try:
            os.lseek(self.fileno(), 0, os.SEEK_CUR)
        except OSError:
            return False
        return True

    def _mode_answer(self, allowed: bool) -> bool:
        """What readable() or writable() answer from the mode. Closed, builtin's buffered files
        still say False where their class lacks the operation, and raise where they would ask the
        closed file beneath."""
        if allowed and self._file.closed:
            raise ValueError(CLOSED_FILE)
        return allowed

    # ---- taking turns --------------------------------------------------------------------

    async def _in_turn(self, body: Callable[..., Awaitable[T]], *args: Any) -> T:
        """Awaits `body(*args)` once every earlier call has finished. The place in line is taken
        when the calling coroutine first runs, before anything lets the loop run, so calls issued
        together run in the order they were issued. A task cancelled while it waits for its turn
        runs nothing; one cancelled while its call runs on a worker passes the turn on only when
        that call has ended."""
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
            if self._budget.spent():
                # In line already, so the calls made after this one stay behind it.
                await self._budget.yield_to_loop()
            return await body(*args)
        finally:
            self._once_worker_ends(self._pass_turn_on)

    def _once_worker_ends(self, then: Callable[[], None]) -> None:
        """Runs `then` now, or once the turn's worker call has ended when one still runs."""
        worker = self._worker
        if worker is not None and not worker.done():
            worker.add_done_callback(lambda _: then())
        else:
            then()

    def _pass_turn_on(self) -> None:
        self._worker = None
        self._turns.pass_on()
        self._inline = not self._turns.busy and self._unread is None

    async def _in_turn_whatever_happens(self, method: Callable[..., T | Blocked], *args: Any) -> T:
        """Runs `method` in its turn, as _attempt does, even when the awaiting task is cancelled.
        The place in line is taken before the shield's task starts, so later calls stay behind."""
        place = self._queue_for_turn()
        return await asyncio.shield(self._when_turn_comes(place, self._attempt, method, *args))

    async def _in_engine(
        self, method: str, *args: Any, undo: Callable[[Any], None] | None = None
    ) -> Any:
        """Runs the engine's `method(*args)` on its threads with the turn held, within the handle's
        limiter; when the awaiting task is cancelled, the call is withdrawn or its result goes to
        `undo`, as OffLoopCall decides."""
        async with held(self.limiter):
            call = on_engine(self._file, method, *args, undo=undo)
            self._worker = call.ended  # the turn passes on once it is done, whatever happened
            return await call.result()

    async def _attempt(self, method: Callable[..., T | Blocked], *args: Any) -> T:
        """A call of the engine's that reads nothing, with the turn held: inline when the engine
        allows, else on its threads."""
        result = method(*args, True)
        if result is WOULD_BLOCK:
            done: T = await self._in_engine(method.__name__, *args)
            return done
        return result

    # ---- what cancelled reads leave ----------------------------------------------------------

    def _give_back(self, data: Any, start: int | None = None) -> None:
        """Makes `data`, bytes a cancelled call took, the next bytes read: where the file has a
        position, by putting it back to `start`, where they began (by default just before the
        position); else by keeping them ahead of what the engine holds. Only while no worker
        call of the handle runs."""
        if not data:
            return
        if start is None:
            start = self._start_of_last(len(data))
        if not self._file.restore_position(start):
            self._unread = data if self._unread is None else data + self._unread
            self._inline = False

    def _start_of_last(self, count: int) -> int:
        """Where the last `count` bytes read began, or -1 where the file has no position."""
        try:
            return self._file.tell() - count
        except OSError:
            return -1

    def _keep_beyond(self, unread: AnyStr, count: int) -> AnyStr:
        """The first `count` bytes (all when negative) of `unread`, what cancelled reads left; the
        rest stays for the next read."""
        if 0 <= count < len(unread):
            self._unread = unread[count:]
            return unread[:count]
        self._unread = None
        return unread

    async def _after(self, taken: AnyStr, rest: Awaitable[R]) -> R:
        """Awaits `rest`, the reads of a call that has taken `taken` already. When the task is
        cancelled, `taken` is given back, ahead of whatever `rest` gives back."""
        try:
            return await rest
        except asyncio.CancelledError:
            self._once_worker_ends(lambda: self._give_back(taken))
            raise

    async def _read_step(
        self, method: Callable[..., R | Blocked], *args: Any, data_of: Callable[[R], Any] = _itself
    ) -> R:
        """One engine read, `method(*args, inline_only)`, with the turn held: inline when the engine
        allows, else on its threads."""
        result = method(*args, True)
        if result is WOULD_BLOCK:
            taken: R = await self._read_on_engine(method.__name__, *args, data_of=data_of)
            return taken
        return result

    async def _read_on_engine(
        self, method: str, *args: Any, data_of: Callable[[Any], Any] = _itself
    ) -> Any:
        """The engine read `method(*args)` on its threads, with the turn held. When the task is
        cancelled, the bytes the read took (`data_of` its result) are given back."""

        def undo(outcome: tuple[int, Any] | None) -> None:
            if outcome is not None:  # else it never ran
                start, taken = outcome
                self._give_back(data_of(taken), start)

        outcome = await self._in_engine(method, *args, undo=undo)  # (where it started, result)
        return outcome[1]

    # ---- reading -----------------------------------------------------------------------

    @inline_first("_file.read")
    async def read(self, size: SupportsIndex | None = -1) -> AnyStr:
        """bytes in a mode with "b", str otherwise."""
        if (unread := self._unread) is not None:
            count = size_or_none(size)
            if count >= 0:
                return self._keep_beyond(unread, count)
            self._unread = None
            rest: AnyStr = await self._after(unread, self._read_step(self._file.read, None))
            return unread + rest
        data: AnyStr = await self._read_step(self._file.read, size)
        return data

    async def readall(self) -> AnyStr:
        """Everything from the position to the end."""
        return await self.read()

    @inline_first("_file.read1")
    async def read1(self, size: SupportsIndex = -1) -> AnyStr:
        """Up to `size` bytes with at most one read of the file: fewer when fewer are at hand."""
        if (unread := self._unread) is not None:
            return self._keep_beyond(unread, size_or_none(size))
        data: AnyStr = await self._read_step(self._file.read1, size)
        return data

    async def peek(self, size: int = 0) -> AnyStr:
        """Bytes ahead of the position without moving it: at least one unless at the end; as with
        builtin files, the count may differ from `size` (up to 8 KiB, or `size` when larger)."""
        return await self._in_turn(self._peek, operator.index(size))

    async def _peek(self, size: int) -> AnyStr:
        count = max(size, io.DEFAULT_BUFFER_SIZE)
        if (unread := self._unread) is not None:
            return unread[:count]
        data: AnyStr = await self._read_step(self._file.read1, count)
        self._give_back(data)
        return data

    @inline_first("_file.readinto")
    async def readinto(self, buffer: Buffer) -> int:
        """Fills `buffer` from the position; returns the number of bytes stored (0 at the end)."""
        if (unread := self._unread) is not None:
            with memoryview(buffer) as view, view.cast("B") as target:
                data = self._keep_beyond(unread, target.nbytes)
                target[: len(data)] = data.encode() if isinstance(data, str) else data
                return len(data)

        def copied(count: int) -> bytes:
            with memoryview(buffer) as view, view.cast("B") as target:
                return bytes(target[:count])

        count: int = await self._read_step(self._file.readinto, buffer, data_of=copied)
        return count

    @inline_first("_file.readline")
    async def readline(self, size: SupportsIndex | None = None) -> AnyStr:
        """The next line, with its newline; at most `size` bytes or characters when given; empty at
        the end."""
        return await self._readline(size)

    async def _readline(self, size: SupportsIndex | None) -> AnyStr:
        if (unread := self._unread) is not None:
            return await self._line_from_unread(unread, size_or_none(size))
        line: AnyStr = await self._read_step(self._file.readline, size)
        return line

    async def _line_from_unread(self, unread: AnyStr, limit: int) -> AnyStr:
        """A line that starts with what cancelled reads left: up to its newline or `limit` bytes
        (none when negative) within them, else all of them and the rest of the line from the file.
        """
        newline = b"\n" if isinstance(unread, bytes) else "\n"
        within = len(unread) if limit < 0 else min(limit, len(unread))
        end = unread.find(newline, 0, within)
        if end >= 0 or within == limit:
            return self._keep_beyond(unread, end + 1 if end >= 0 else within)
        self._unread = None
        more = None if limit < 0 else limit - len(unread)
        rest: AnyStr = await self._after(unread, self._read_step(self._file.readline, more))
        return unread + rest

    async def readlines(self, hint: SupportsIndex | None = None) -> list[AnyStr]:
        """Every line to the end; with a positive `hint`, lines until their total length exceeds
        it."""
        if (most := size_or_none(hint)) > 0:
            return await self._lines_up_to(most)
        return await self._every_line(hint)

    @inline_first("_file.readlines")
    async def _every_line(self, hint: SupportsIndex | None) -> list[AnyStr]:
        if (unread := self._unread) is None:
            lines: list[AnyStr] = await self._read_step(self._file.readlines, hint, data_of=_joined)
            return lines
        self._unread = None
        rest: list[AnyStr] = await self._after(
            unread, self._read_step(self._file.readlines, None, data_of=_joined)
        )
        return _split_lines(unread + unread[:0].join(rest))

    async def _lines_up_to(self, most: int) -> list[AnyStr]:
        """readlines(most) as one call, whatever steps it takes: the lines read inline while the
        engine allows (up to a large copy), the rest in one go on the engine's threads."""
        lines: list[AnyStr] = []
        if self._inline and not self._budget.spent():
            self._require_open_for_lines()
            readline = self._file.readline
            lines, complete = _lines_within(lambda: readline(None, True), most, LARGE_COPY)
            if complete:
                return lines
        return await self._in_turn(self._more_lines, most, lines)

    def _require_open_for_lines(self) -> None:
        """builtin's readlines() iterates the file, which asks whether it is closed before any mode
        refuses the reading of a line."""
        if self._file.closed:
            raise ValueError(CLOSED)

    async def _more_lines(self, budget: int, lines: list[AnyStr]) -> list[AnyStr]:
        """The lines of readlines(budget) after `lines`, which the call has read already: first
        those cancelled reads left, then from the engine. When the task is cancelled, every line the
        call took is given back."""
        self._require_open_for_lines()
        total = sum(map(len, lines))
        try:
            while self._unread is not None and total <= budget:
                line = await self._readline(None)
                lines.append(line)
                total += len(line)
                if not _ends_line(line):
                    return lines  # the input ended
            if total > budget:
                return lines
            readline = self._file.readline
            more, complete = _lines_within(lambda: readline(None, True), budget - total, LARGE_COPY)
            lines += more
            if not complete:
                left = budget - total - sum(map(len, more))
                rest: list[AnyStr] = await self._read_on_engine(
                    "lines_within", left, data_of=_joined
                )
                lines += rest
        except asyncio.CancelledError:
            self._once_worker_ends(lambda: self._give_back(_joined(lines)))
            raise
        return lines

    def __aiter__(self) -> Self:
        return self

    @inline_first("_file.readline", arguments=("None",), ends_iteration_when_empty=True)
    async def __anext__(self) -> AnyStr:
        line: AnyStr = await self._readline(None)
        return line or _end_iteration()

    # ---- by position ----------------------------------------------------------------------

    async def pread(self, size: SupportsIndex, offset: SupportsIndex) -> bytes:
        """Up to `size` bytes at `offset`, as os.pread on the descriptor, after the writes this
        handle has accepted: the position stays where it is, and the call does not wait for the
        handle's other calls, so any number of them may be in flight at once."""
        data: bytes = await self._by_position(self._file.pread, size, offset)
        return data

    async def pwrite(self, data: Buffer, offset: SupportsIndex) -> int:
        """Writes `data` at `offset` and returns how many bytes the system took, as os.pwrite on the
        descriptor, after the writes this handle has accepted; the position stays where it is, and
        reads through the handle that follow see the bytes. Does not wait for the handle's other
        calls. A task cancelled before the write starts keeps it from landing; once it runs, it
        lands."""
        count: int = await self._by_position(self._file.pwrite, data, offset)
        return count

    async def _by_position(self, call: Callable[..., T | Blocked], *args: Any) -> T:
        """A positional call: outside the handle's line, so a spent budget may let the loop run
        first; inline where the kernel need not wait, else on the engine's threads."""
        if self._budget.spent():
            await self._budget.yield_to_loop()
        result = call(*args, True)
        if result is WOULD_BLOCK:
            async with held(self.limiter):
                done: T = await run_on_engine(self._file, call.__name__, *args)
                return done
        return result

    # ---- writing and the rest ------------------------------------------------------------

    @inline_first("_file.write")
    async def write(self, data: Buffer) -> int:
        """Writes `data`; returns how many bytes were taken."""
        count: int = await self._attempt(self._file.write, data)
        return count

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        """Writes each item of `lines` in turn; no newlines are added."""
        if self._file.closed:
            raise ValueError(CLOSED)  # before the lines are taken, as builtin's
        await self._write_lines(_listed(lines))

    @inline_first("_file.writelines")
    async def _write_lines(self, lines: list[Any] | tuple[Any, ...]) -> None:
        await self._attempt(self._file.writelines, lines)

    async def write_accepted(self, data: bytes) -> None:
        """Writes bytes that a layer above has accepted from its callers already (a text handle's
        gathered writes): once asked, the write keeps its place in line and runs even when the
        awaiting task is cancelled, so none of them is lost."""
        if not self._inline or self._file.write(data, True) is WOULD_BLOCK:
            await self._in_turn_whatever_happens(self._file.write, data)

    @inline_first("_file.seek")
    async def seek(self, offset: SupportsIndex, whence: SupportsIndex = 0) -> int:
        """Moves to `offset` from the start (`whence` 0), the position (1) or the end (2); returns
        the new position. The engine converts and refuses the arguments as builtin does."""
        position: int = await self._attempt(self._file.seek, offset, whence)
        self._unread = None  # what a cancelled read left lies behind the old position
        return position

    async def tell(self) -> int:
        """The position."""
        # The engine's tell() never waits.
        if self._inline and monotonic_ns() < self._budget.ends_ns:
            position: int = self._file.tell()
            return position
        return await self._in_turn(self._attempt, self._tell)

    def _tell(self, inline_only: bool) -> int:
        return self._file.tell()

    @inline_first("_file.flush")
    async def flush(self) -> None:
        """Hands what was written to the operating system."""
        await self._attempt(self._file.flush)

    @inline_first("_file.truncate")
    async def truncate(self, size: SupportsIndex | None = None) -> int:
        """Cuts or extends the file to `size` bytes (the position when None); returns the new
        size."""
        length: int = await self._attempt(self._file.truncate, size)
        return length

    @inline_first("_file.isatty")
    async def isatty(self) -> bool:
        """Whether the file is a terminal."""
        answer: bool = await self._attempt(self._file.isatty)
        return answer

    @inline_first("_file.sync")
    async def sync(self, data_only: bool = False) -> None:
        """Hands the written bytes to the file system and waits until they are on the storage
        device (fdatasync with `data_only`, which skips metadata such as times; fsync otherwise)."""
        await self._attempt(self._file.sync, data_only)

    async def close(self) -> None:
        """Closes the file once every earlier call has finished. A cancellation does not stop it:
        the file is closed all the same."""
        if not self._inline or self._file.close(True) is WOULD_BLOCK:
            await self._in_turn_whatever_happens(self._file.close)

    async def readinto1(self, buffer: Buffer) -> int:
        """readinto() with at most one read of the file, as builtin's buffered files' readinto1();
        returns the number of bytes stored. A buffer that cannot take bytes is refused before
        anything is read."""
        with writable_bytes("readinto1", buffer) as target:
            # readinto1 is a binary file's call, as in builtin: read1 gives bytes.
            binary: Any = self
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

    @inline_first("_write_flushed")
    async def write(self, data: Buffer) -> int:
        """Writes `data` through to the file; returns how many bytes were taken."""
        count: int = await self._write_then_flush(self._file.write, data)
        return count

    def _write_flushed(self, data: Buffer, inline_only: bool) -> int | Blocked:
        return self._flushed(self._file.write, data, inline_only)

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        """Writes each item of `lines` through to the file; no newlines are added."""
        if self._file.closed:
            raise ValueError(CLOSED)  # before the lines are taken, as builtin's
        await self._write_lines_through(_listed(lines))

    @inline_first("_lines_flushed")
    async def _write_lines_through(self, lines: list[Any] | tuple[Any, ...]) -> None:
        await self._write_then_flush(self._file.writelines, lines)

    def _lines_flushed(
        self, lines: list[Any] | tuple[Any, ...], inline_only: bool
    ) -> Blocked | None:
        return self._flushed(self._file.writelines, lines, inline_only)

    async def _write_then_flush(self, write: Callable[[D, bool], T | Blocked], data: D) -> T:
        """With the turn held: inline where neither can wait, else the write and then the flush on
        the engine's threads."""
        result = self._flushed(write, data, True)
        if result is WOULD_BLOCK:
            result = await self._attempt(write, data)
            await self._attempt(self._file.flush)
        return result

    def _flushed(
        self, write: Callable[[D, bool], T | Blocked], data: D, inline_only: bool
    ) -> T | Blocked:
        """`write(data)` and the flush after it, as one step of the engine: inline only where
        neither can wait."""
        if inline_only and self._file.storage == "may wait":
            return WOULD_BLOCK
        result = write(data, inline_only)
        if result is not WOULD_BLOCK:
            self._file.flush(inline_only)
        return result

    async def readline(self, size: SupportsIndex | None = None) -> bytes:
        # Builtin's unbuffered files ask the file for nothing, open or closed.
        if size_or_none(size) == 0:
            return b""
        return await super().readline(size)

    async def readall(self) -> bytes:
        """As builtin's unbuffered files: on a file open only for writing, the system's refusal."""
        if self._file.closed:
            raise ValueError(CLOSED)
        if not self._file.readable():
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        return await super().readall()

    def _mode_answer(self, allowed: bool) -> bool:
        if self._file.closed:  # builtin's unbuffered files ask the closed file for every answer
            raise ValueError(CLOSED_FILE)
        return allowed
