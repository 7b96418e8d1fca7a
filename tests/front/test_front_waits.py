"""The front when calls wait on another party: FIFOs fed by threads of the same process, cancelled
tasks, a closing handle, a full worker pool and a closing event loop. Progress of the loop is
counted in ticks of a ticker task; a hang fails its test through the suite's timeout rather than
stopping the run."""

import asyncio
import os
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import larkspan
import larkspan._budget
import pytest
from conftest import TIMEOUT, descriptors, run_child
from larkspan._turns import Turns

pytestmark = pytest.mark.threads  # calls run on worker threads


@pytest.fixture
def fifo(tmp_path: Path) -> Path:
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


class Writer:
    """The write end of a FIFO, opened by a thread of this process when asked; each write goes out
    at once."""

    def __init__(self, path: Path) -> None:
        self._descriptor: int | None = None
        self._opened = threading.Event()
        self._thread = threading.Thread(target=self._open, args=(path,), daemon=True)

    def _open(self, path: Path) -> None:
        self._descriptor = os.open(path, os.O_WRONLY)  # waits for the reader
        self._opened.set()

    def start(self) -> "Writer":
        self._thread.start()
        return self

    def write(self, data: bytes) -> None:
        assert self._opened.wait(TIMEOUT)
        assert self._descriptor is not None
        os.write(self._descriptor, data)

    def close(self) -> None:
        if self._opened.wait(TIMEOUT) and self._descriptor is not None:
            os.close(self._descriptor)
            self._descriptor = None


@pytest.fixture
def writer(fifo: Path) -> Iterator[Writer]:
    w = Writer(fifo).start()
    yield w
    w.close()


async def until(condition: Callable[[], bool]) -> int:
    """Turns of the loop until `condition` holds: each turn is one tick the loop was free to
    make."""
    ticks = 0
    while not condition():
        await asyncio.sleep(0.001)
        ticks += 1
    return ticks


async def started(coroutine: Any) -> asyncio.Task[Any]:
    """A task running `coroutine`, given a few turns so that its call reaches a worker."""
    task = asyncio.ensure_future(coroutine)
    for _ in range(5):
        await asyncio.sleep(0)
    return task


DEADLOCK = """
import asyncio, os, sys, threading
import larkspan
path = sys.argv[1]
def feed():
    with open(path, "wb") as f:
        f.write(b"through the fifo\\n")
async def main():
    threading.Thread(target=feed, daemon=True).start()
    async with larkspan.open(path, "rb") as f:
        print((await f.readline()).decode(), end="")
asyncio.run(main())
"""


def test_fifo_fed_by_a_thread_of_the_same_process_does_not_deadlock(fifo: Path) -> None:
    assert run_child(DEADLOCK, str(fifo)) == "through the fifo\n"


def test_loop_ticks_while_a_read_waits_for_the_writer(fifo: Path, writer: Writer) -> None:
    async def main() -> tuple[bytes, int]:
        f = await larkspan.open(fifo, "rb")
        read = await started(f.readline())
        ticks = 0
        # The writer only writes once the loop has ticked, so the read cannot block it.
        while ticks < 20:
            await asyncio.sleep(0.001)
            ticks += 1
        writer.write(b"late line\n")
        writer.close()  # a line is read ahead in a block that fills up or ends with the input
        line = await asyncio.wait_for(read, TIMEOUT)
        await f.close()
        return line, ticks

    assert asyncio.run(main()) == (b"late line\n", 20)


def test_calls_of_one_handle_run_in_the_order_awaited(
    fifo: Path, writer: Writer, monkeypatch
) -> None:
    monkeypatch.setattr(
        larkspan._budget, "YIELD_INTERVAL_NS", 0
    )  # every call returns to the loop first

    async def main() -> list[Any]:
        f = await larkspan.open(fifo, "rb")
        tasks = [
            asyncio.ensure_future(call)
            for call in (f.readline(), f.read1(3), f.readline(), f.readline())
        ]
        await asyncio.sleep(0.01)
        writer.write(b"one\ntwo\nthree\n")
        writer.close()
        results = await asyncio.wait_for(asyncio.gather(*tasks), TIMEOUT)
        await f.close()
        return results

    assert asyncio.run(main()) == [b"one\n", b"two", b"\n", b"three\n"]


# A read cancelled while its worker waits still completes; what it read is returned by the next
# read. Case: (cancelled call, next call, its result, what readline returns after it).
CANCELLED_READS = {
    "readline": (lambda f: f.readline(), lambda f: f.readline(), b"first\n", b"second\n"),
    "read1": (lambda f: f.read1(6), lambda f: f.read1(6), b"first\n", b"second\n"),
    "read1-then-readline": (lambda f: f.read1(3), lambda f: f.readline(), b"first\n", b"second\n"),
    "read-then-read": (lambda f: f.read(9), lambda f: f.read(3), b"fir", b"st\n"),
    "readinto": (lambda f: f.readinto(bytearray(6)), lambda f: f.read1(6), b"first\n", b"second\n"),
    "read1-partly": (lambda f: f.read1(6), lambda f: f.read1(2), b"fi", b"rst\n"),
    "readlines": (lambda f: f.readlines(), lambda f: f.readlines(), [b"first\n", b"second\n"], b""),
}


@pytest.mark.parametrize("case", CANCELLED_READS)
def test_cancelled_read_from_a_fifo_loses_nothing(fifo: Path, writer: Writer, case: str) -> None:
    first, second, expected, expected_rest = CANCELLED_READS[case]

    async def main() -> tuple[Any, Any]:
        f = await larkspan.open(fifo, "rb")
        read = await started(first(f))
        read.cancel()
        writer.write(b"first\nsecond\n")
        writer.close()
        result = await asyncio.wait_for(second(f), TIMEOUT)
        rest = await asyncio.wait_for(f.readline(), TIMEOUT)
        await f.close()
        return result, rest

    assert asyncio.run(main()) == (expected, expected_rest)


def test_close_waits_for_the_call_in_flight_and_survives_cancellation(
    fifo: Path, writer: Writer
) -> None:
    async def main() -> tuple[bytes, bool]:
        f = await larkspan.open(fifo, "rb")
        read = await started(f.readline())
        closing = await started(f.close())
        closing.cancel()
        assert not f.closed  # the read still holds the file
        writer.write(b"last\n")
        writer.close()
        line = await asyncio.wait_for(read, TIMEOUT)
        await until(lambda: f.closed)
        return line, closing.cancelled()

    assert asyncio.run(main()) == (b"last\n", True)


def test_call_queued_behind_close_finds_the_file_closed(fifo: Path, writer: Writer) -> None:
    async def main() -> Any:
        f = await larkspan.open(fifo, "rb")
        read = await started(f.readline())
        closing = asyncio.ensure_future(f.close())
        late = asyncio.ensure_future(f.readline())
        await asyncio.sleep(0.01)
        writer.write(b"line\n")
        writer.close()
        await asyncio.wait_for(asyncio.gather(read, closing), TIMEOUT)
        return await asyncio.wait_for(asyncio.gather(late, return_exceptions=True), TIMEOUT)

    [error] = asyncio.run(main())
    assert (type(error), str(error)) == (ValueError, "I/O operation on closed file.")


def test_waiter_cancelled_as_the_turn_passes_it_by_is_cancelled_cleanly() -> None:
    # Cancelling a task cancels the place it awaits at once, but the task wakes only later: the turn
    # may pass the cancelled place by in between, and the waiter must still end with CancelledError.
    async def main() -> None:
        turns = Turns()
        assert turns.take_place() is None
        place = turns.take_place()
        assert place is not None
        waiter = asyncio.ensure_future(turns.wait_for(place))
        await asyncio.sleep(0)
        waiter.cancel()
        turns.pass_on()
        with pytest.raises(asyncio.CancelledError):
            await waiter
        assert turns.take_place() is None  # the turn was freed, not lost

    asyncio.run(main())


def test_cancelled_open_leaves_no_descriptor(fifo: Path) -> None:
    async def main() -> None:
        before = descriptors()
        opening = await started(larkspan.open(fifo, "rb"))
        opening.cancel()
        writer = Writer(fifo).start()  # lets the worker's open finish; the front then closes it
        writer.write(b"unread\n")
        writer.close()
        await until(lambda: descriptors() == before)

    asyncio.run(main())


def test_full_pool_queues_calls_and_a_queued_call_can_be_cancelled(tmp_path: Path) -> None:
    fifos = [tmp_path / f"fifo{i}" for i in range(3)]
    for path in fifos:
        os.mkfifo(path)
    writers = [Writer(path).start() for path in fifos]
    larkspan.set_max_workers(2)
    try:

        async def main() -> list[Any]:
            handles = [await larkspan.open(path, "rb") for path in fifos]
            reads = [await started(f.readline()) for f in handles]  # the third waits for a worker
            reads[2].cancel()
            for w, data in zip(writers, [b"a\n", b"b\n", b"c\n"]):
                w.write(data)
                w.close()
            results = await asyncio.wait_for(
                asyncio.gather(*reads, return_exceptions=True), TIMEOUT
            )
            results.append(
                await asyncio.wait_for(handles[2].readline(), TIMEOUT)
            )  # the cancelled read never ran
            for f in handles:
                await f.close()
            return results

        results = asyncio.run(main())
    finally:
        larkspan.set_max_workers(larkspan.DEFAULT_MAX_WORKERS)
        for w in writers:
            w.close()
    assert results[:2] == [b"a\n", b"b\n"] and isinstance(results[2], asyncio.CancelledError)
    assert results[3] == b"c\n"


def test_loop_closing_with_a_call_in_flight(fifo: Path, writer: Writer) -> None:
    leftover: list[larkspan.FileHandle] = []

    async def main() -> None:
        f = await larkspan.open(fifo, "rb")
        leftover.append(f)
        await started(f.readline())  # asyncio.run cancels it and closes the loop while it waits

    asyncio.run(main())
    writer.write(b"after the loop\n")  # the worker finishes into a closed loop, quietly
    writer.close()
    # The engine's lock waits for that worker; the descriptor is closed here, not by a later
    # collection.
    leftover[0]._file.close(False)

    async def reopen() -> str:
        return await asyncio.wait_for(larkspan.read_text(__file__), TIMEOUT)  # workers still serve

    assert asyncio.run(reopen()).startswith('"""The front')


# What has come down a pipe is returned at once, as builtin files return it, while the writer stays
# open.
ARRIVED = {
    "readline": (lambda f: f.readline(), b"first\n"),
    "read1": (lambda f: f.read1(100), b"first\nsec"),
    "text-readline": (lambda f: f.readline(), "first\n"),
    "async-for": (lambda f: anext(aiter(f)), b"first\n"),
}


@pytest.mark.parametrize("case", ARRIVED)
def test_reads_return_what_arrived_while_the_writer_stays_open(
    fifo: Path, writer: Writer, case: str
) -> None:
    read, expected = ARRIVED[case]

    async def main() -> Any:
        async with larkspan.open(fifo, "r" if case.startswith("text") else "rb") as f:
            writer.write(b"first\nsec")
            result = await asyncio.wait_for(read(f), 10)
            writer.close()  # the writer is still there when the read returns
            return result

    assert asyncio.run(main()) == expected
