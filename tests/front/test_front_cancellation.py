"""Cancellation at every point of a call, and calls cancelled before a thread takes them.

A read cancelled wherever its task stands (waiting for its turn, queued for a thread, while the
thread reads, or after the thread delivered its result but before the task resumed, the moment an
asyncio.wait_for timeout falls due) loses no byte and repeats none: the next read returns what it
had read, or the position is put back. A call cancelled while it waits in the queue of the engine's
threads or of the interpreter's workers never runs. Every point is reached through events (gates
that hold the only engine thread and the only worker, the delivery of a result on the loop's
thread), never by sleeping."""

import asyncio
import errno
import os
import tempfile
import threading
from collections.abc import Awaitable, Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import larkspan
import larkspan._budget
import larkspan.shutil
import pytest
from conftest import TIMEOUT, descriptors, disk, examples, pipe_holding
from hypothesis import HealthCheck, given
from hypothesis import strategies as st
from larkspan import _workers
from larkspan._completions import completions
from larkspan._engine import File

pytestmark = pytest.mark.threads  # calls run on worker threads

EXAMPLES = examples(quick=40, long=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
# A race that shows once in twenty runs is missed by all of these with a chance of 0.95 ** 100,
# below 1 %.
RACE_RUNS = 100

CONTENT = b"first\nsecond\nthird line\n" + b"".join(b"%d\n" % i for i in range(40))
Read = Callable[[Any], Awaitable[Any]]


@contextmanager
def cancelled_as_its_result_arrives(task: asyncio.Task[Any], skipped: int = 0) -> Iterator[None]:
    """Within the block, cancels `task` in the turn of the loop in which a result of a call off the
    loop is delivered (after `skipped` others): after the result is set and before the task resumes,
    where a wait_for timeout that falls due in that turn cancels it."""
    deliveries = iter(range(-skipped, 1_000_000))
    deliver = _workers.OffLoopCall._deliver

    def deliver_then_cancel(call: Any, outcome: Any) -> None:
        deliver(call, outcome)
        if next(deliveries) >= 0:
            task.cancel()

    _workers.OffLoopCall._deliver = deliver_then_cancel  # type: ignore[method-assign]
    try:
        yield
    finally:
        _workers.OffLoopCall._deliver = deliver  # type: ignore[method-assign]


async def ended(task: asyncio.Task[Any]) -> Any:
    """What `task` returned, or None when it was cancelled."""
    try:
        return await asyncio.wait_for(asyncio.shield(task), TIMEOUT)
    except asyncio.CancelledError:
        if not task.cancelled():
            raise
        return None


async def anext_or_empty(f: Any) -> Any:
    try:
        return await anext(aiter(f))
    except StopAsyncIteration:
        return b"" if "b" in f.mode else ""


async def read_into(f: Any, size: int) -> bytes:
    buffer = bytearray(size)
    return bytes(buffer[: await f.readinto(buffer)])


def joined(result: Any) -> Any:
    """The bytes or text a read's result took from the file (not empty): readlines' lines joined."""
    return result[0][:0].join(result) if isinstance(result, list) else result


# ---- the result delivered, the task not yet resumed ----------------------------------------------

# Each read is cancelled as its worker's result arrives; everything it read must come back to the
# next read.
DELIVERED: dict[str, tuple[str, Read]] = {
    "read(9)": ("rb", lambda f: f.read(9)),
    "read()": ("rb", lambda f: f.read()),
    "read1(6)": ("rb", lambda f: f.read1(6)),
    "readline()": ("rb", lambda f: f.readline()),
    "readline(4)": ("rb", lambda f: f.readline(4)),
    "readinto": ("rb", lambda f: read_into(f, 6)),
    "readlines()": ("rb", lambda f: f.readlines()),
    "readlines(8)": ("rb", lambda f: f.readlines(8)),
    "peek(3)": ("rb", lambda f: f.peek(3)),
    "async-for": ("rb", anext_or_empty),
    "text-read(3)": ("r", lambda f: f.read(3)),
    "text-read()": ("r", lambda f: f.read()),
    "text-readline()": ("r", lambda f: f.readline()),
    "text-readlines(8)": ("r", lambda f: f.readlines(8)),
    "text-async-for": ("r", anext_or_empty),
}


@pytest.mark.parametrize("source", ["pipe", "slow-file"])
@pytest.mark.parametrize("case", DELIVERED)
def test_read_cancelled_as_its_result_arrives_loses_nothing(
    request, case: str, source: str
) -> None:
    # From a pipe, the next read returns the bytes; on a slow file, the position is put back.
    mode, read = DELIVERED[case]
    if source == "pipe":
        opened: int | Path = pipe_holding(CONTENT)
    else:
        fs = request.getfixturevalue("slow_fs")(1.0)
        (fs.backing / "data").write_bytes(CONTENT)
        opened = fs.mountpoint / "data"

    async def main() -> tuple[Any, int]:
        async with larkspan.open(opened, mode) as f:
            task = asyncio.ensure_future(read(f))
            with cancelled_as_its_result_arrives(task):
                assert await ended(task) is None
            position = (
                await f.tell() if mode == "rb" and source != "pipe" else 0
            )  # text: its own read-ahead
            return await f.read(), position

    assert asyncio.run(main()) == (CONTENT if mode == "rb" else CONTENT.decode(), 0)


@pytest.mark.parametrize("skipped", [0, 1], ids=["as-the-open-ends", "as-isatty-ends"])
def test_text_open_cancelled_as_a_result_arrives_leaves_no_descriptor(
    slow_fs, skipped: int
) -> None:
    # A text open asks the file system twice, on a worker each time: to open, then whether it is a
    # terminal.
    fs = slow_fs(1.0)
    (fs.backing / "data").write_bytes(CONTENT)

    async def main() -> None:
        before = descriptors()
        task = asyncio.ensure_future(larkspan.open(fs.mountpoint / "data", "r"))
        with cancelled_as_its_result_arrives(task, skipped):
            assert await ended(task) is None
        for _ in range(1000):  # the first case closes the file on a worker, within a few turns
            if descriptors() == before:
                return
            await asyncio.sleep(0.01)
        assert descriptors() == before

    asyncio.run(main())


def test_cancelled_readline_is_read_again_by_reads_of_other_kinds() -> None:
    # The line a cancelled readline leaves comes first for read() and readinto() as for readline().
    async def main() -> list[Any]:
        async with larkspan.open(pipe_holding(CONTENT), "rb") as f:
            task = asyncio.ensure_future(f.readline())
            with cancelled_as_its_result_arrives(task):
                assert await ended(task) is None
            buffer = bytearray(2)
            return [
                await f.read(3),
                await f.readinto(buffer),
                bytes(buffer),
                await f.readline(),
                await f.read(),
            ]

    assert asyncio.run(main()) == [b"fir", 2, b"st", b"\n", CONTENT[6:]]


@pytest.mark.parametrize("run", range(RACE_RUNS))
def test_read_cancelled_while_its_worker_finishes_loses_and_repeats_nothing(run: int) -> None:
    # The cancel and the worker race: the read is cancelled in the loop turn after it was handed to
    # a worker that has its bytes at once, so it lands before the worker starts, while it reads, or
    # after it delivered.
    read = [
        lambda f: f.readline(),
        lambda f: f.read(7),
        lambda f: f.readlines(10),
        lambda f: f.peek(1),
    ][run % 4]

    async def main() -> bytes:
        async with larkspan.open(pipe_holding(CONTENT), "rb") as f:
            task = asyncio.ensure_future(read(f))
            await asyncio.sleep(0)
            task.cancel()
            taken = await ended(task)
            kept = b"" if not taken or run % 4 == 3 else joined(taken)
            return kept + await f.read()

    assert asyncio.run(main()) == CONTENT


# ---- calls cancelled while they wait for a worker ------------------------------------------------


@pytest.fixture
def one_worker() -> Iterator[None]:
    larkspan.set_max_workers(1)
    yield
    larkspan.set_max_workers(larkspan.DEFAULT_MAX_WORKERS)


class HeldWorker:
    """Holds the pool's only worker and the engine's only thread until release(), so that the calls
    made meanwhile wait in their queues. The engine's thread waits to open a FIFO that nobody writes
    to."""

    def __init__(self) -> None:
        self._gate = threading.Event()
        self._holding = asyncio.ensure_future(_workers.run_in_worker(self._gate.wait))
        self._directory = tempfile.TemporaryDirectory()
        self._fifo = os.path.join(self._directory.name, "held")
        os.mkfifo(self._fifo)
        self._engine_holding = asyncio.ensure_future(engine_open(self._fifo))

    async def release(self) -> None:
        self._gate.set()
        await asyncio.wait_for(self._holding, TIMEOUT)
        writer = -1
        while writer < 0:
            try:
                writer = os.open(self._fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as error:
                assert error.errno == errno.ENXIO  # the engine's open has not started yet
                await asyncio.sleep(0.001)
        try:
            (await asyncio.wait_for(self._engine_holding, TIMEOUT)).close(False)
        finally:
            os.close(writer)
            self._directory.cleanup()


async def engine_open(path: str) -> File:
    """`path` opened for reading on the engine's threads."""
    engine = File(os.fsencode(path), "rb")
    queue = completions(asyncio.get_running_loop())
    call: _workers.OffLoopCall[int] = _workers.OffLoopCall(
        lambda deliver: (
            engine.start_open(
                queue, deliver, os.fsencode(path), os.O_RDONLY, -1, False, path
            ).cancel
        )
    )
    await call.result()
    return engine


async def cancelled_in_the_queue(
    call: Awaitable[Any], after: Callable[[], object] = lambda: None
) -> None:
    """Makes `call` while the only worker and the only engine thread are held, cancels it there,
    runs `after` (the caller going on as if the call had timed out), then lets them go and waits
    until everything queued ran."""
    held = HeldWorker()
    task = asyncio.ensure_future(call)
    for _ in range(5):
        await asyncio.sleep(0)  # the call reaches the queue
    task.cancel()
    assert await ended(task) is None
    after()
    await held.release()
    await _workers.run_in_worker(
        lambda: None
    )  # queued behind the cancelled call: it would have run by now
    (await engine_open(os.devnull)).close(False)  # likewise on the engine's threads


def test_move_cancelled_in_the_queue_never_moves(tmp_path: Path, one_worker: None) -> None:
    source, target = tmp_path / "source", tmp_path / "target"
    source.write_bytes(b"old")
    asyncio.run(
        cancelled_in_the_queue(
            larkspan.shutil.move(source, target), lambda: source.write_bytes(b"new")
        )
    )
    assert (disk(source), target.exists()) == (b"new", False)


def test_copy_cancelled_in_the_queue_never_copies(tmp_path: Path, one_worker: None) -> None:
    (tmp_path / "source").write_bytes(b"data")
    asyncio.run(
        cancelled_in_the_queue(larkspan.shutil.copyfile(tmp_path / "source", tmp_path / "target"))
    )
    assert not (tmp_path / "target").exists()


def test_open_for_writing_cancelled_in_the_queue_never_truncates(slow_fs, one_worker: None) -> None:
    fs = slow_fs(1.0)
    (fs.backing / "data").write_bytes(b"old")

    def rewrite() -> None:
        (fs.backing / "data").write_bytes(b"rewritten by the caller")

    asyncio.run(cancelled_in_the_queue(larkspan.open(fs.mountpoint / "data", "w"), rewrite))
    assert disk(fs.backing / "data") == b"rewritten by the caller"


def test_text_writes_handed_over_by_a_cancelled_call_are_kept(tmp_path: Path, monkeypatch) -> None:
    # The text layer's gathered writes were accepted from earlier calls: a later call that hands
    # them to the binary layer and is cancelled before that write runs (here as it lets the loop run
    # first) keeps them.
    monkeypatch.setattr(larkspan._budget, "YIELD_INTERVAL_NS", 0)

    async def main() -> None:
        async with larkspan.open(tmp_path / "text", "w") as f:
            await f.write("accepted\n")  # gathered by the text layer
            flushing = asyncio.ensure_future(f.flush())
            await asyncio.sleep(0)
            flushing.cancel()
            assert await ended(flushing) is None

    asyncio.run(main())
    assert disk(tmp_path / "text") == b"accepted\n"


def test_queued_reads_cancelled_run_nothing_and_the_next_read_gets_every_byte(
    one_worker: None,
) -> None:
    async def main() -> bytes:
        async with larkspan.open(pipe_holding(CONTENT), "rb") as f:
            await cancelled_in_the_queue(f.readline())
            await cancelled_in_the_queue(f.read(5))
            return await f.read()

    assert asyncio.run(main()) == CONTENT


# ---- random cancellations among reads ------------------------------------------------------------

# How a step's task is cancelled: not at all, in the loop turn after it started (wherever that finds
# it), while its call waits in the worker queue, as its worker's result arrives, or while it waits
# behind another read.
CANCELS = ["never", "next-turn", "queued", "delivered", "in-line"]
BINARY_READS: dict[str, Callable[[int], Read]] = {
    "read": lambda n: lambda f: f.read(n),
    "read-all": lambda n: lambda f: f.read(),
    "read1": lambda n: lambda f: f.read1(n),
    "readinto": lambda n: lambda f: read_into(f, n),
    "readline": lambda n: lambda f: f.readline(),
    "readline-n": lambda n: lambda f: f.readline(n),
    "readlines": lambda n: lambda f: f.readlines(n),
    "peek": lambda n: lambda f: f.peek(n),
    "async-for": lambda n: anext_or_empty,
}
TEXT_READS: dict[str, Callable[[int], Read]] = {
    "read": lambda n: lambda f: f.read(n),
    "readline": lambda n: lambda f: f.readline(),
    "readline-n": lambda n: lambda f: f.readline(n),
    "readlines": lambda n: lambda f: f.readlines(n),
    "async-for": lambda n: anext_or_empty,
}
PIECES = [b"ab", b"\n", b"\r", b"\r\n", b"line\n", b"\xe9", b"x" * 50]
CONTENTS = st.one_of(
    st.binary(max_size=300), st.lists(st.sampled_from(PIECES), max_size=60).map(b"".join)
)


def steps(reads: dict[str, Callable[[int], Read]]) -> st.SearchStrategy[list[tuple[str, int, str]]]:
    return st.lists(
        st.tuples(st.sampled_from(list(reads)), st.integers(0, 40), st.sampled_from(CANCELS)),
        max_size=8,
    )


async def step(f: Any, read: Read, cancel: str) -> Any:
    """Runs one read and cancels it as `cancel` says; what it returned, or None when it was
    cancelled."""
    if cancel == "in-line":
        ahead = asyncio.ensure_future(f.peek(1) if "b" in f.mode else f.buffer.peek(1))
    held = HeldWorker() if cancel == "queued" else None
    task = asyncio.ensure_future(read(f))
    if cancel == "delivered":
        with cancelled_as_its_result_arrives(task):
            taken = await ended(task)
    else:
        if cancel != "never":
            for _ in range(1 if cancel == "next-turn" else 5):
                await asyncio.sleep(0)
            task.cancel()
        taken = await ended(task)
    if held is not None:
        await held.release()
    if cancel == "in-line":
        await asyncio.wait_for(ahead, TIMEOUT)
    return taken


async def read_through(
    f: Any, reads: dict[str, Callable[[int], Read]], plan: list[tuple[str, int, str]]
) -> Any:
    """What the steps of `plan` read, followed by what is left."""
    pieces = []
    for name, size, cancel in plan:
        taken = await step(f, reads[name](size), cancel)
        if taken and name != "peek":  # peek moves nothing
            pieces.append(joined(taken))
    rest = await f.read()
    return (b"" if "b" in f.mode else "").join(pieces) + rest


@EXAMPLES
@given(content=CONTENTS, plan=steps(BINARY_READS), text=st.booleans())
def test_cancelled_reads_on_a_pipe_lose_and_repeat_nothing(
    one_worker: None, content: bytes, plan: Any, text: bool
) -> None:
    reads = TEXT_READS if text else BINARY_READS
    plan = [(name, size, cancel) for name, size, cancel in plan if name in reads]

    async def main() -> Any:
        async with larkspan.open(
            pipe_holding(content),
            "r" if text else "rb",
            encoding="latin-1" if text else None,
            newline="" if text else None,
        ) as f:
            return await read_through(f, reads, plan)

    assert asyncio.run(main()) == (content.decode("latin-1") if text else content)


@pytest.fixture
def slow_files(slow_fs: Callable[..., Any]) -> Iterator[Callable[[bytes], Path]]:
    fs = slow_fs(0.2)
    counter = iter(range(1_000_000))

    def make(content: bytes) -> Path:
        name = f"f{next(counter)}"
        (fs.backing / name).write_bytes(content)
        return fs.mountpoint / name

    yield make


@EXAMPLES
@given(content=CONTENTS, plan=steps(BINARY_READS), text=st.booleans())
def test_cancelled_reads_on_a_slow_file_lose_and_repeat_nothing(
    slow_files: Callable[[bytes], Path], one_worker: None, content: bytes, plan: Any, text: bool
) -> None:
    reads = TEXT_READS if text else BINARY_READS
    plan = [(name, size, cancel) for name, size, cancel in plan if name in reads]
    path = slow_files(content)

    async def main() -> tuple[Any, int]:
        async with larkspan.open(
            path,
            "r" if text else "rb",
            encoding="latin-1" if text else None,
            newline="" if text else None,
        ) as f:
            result = await read_through(f, reads, plan)
            return result, await f.buffer.tell() if text else await f.tell()

    expected = content.decode("latin-1") if text else content
    assert asyncio.run(main()) == (expected, len(content))
