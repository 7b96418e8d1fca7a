"""The inline budget belongs to one event loop: loops in other threads neither spend it nor wait for
its renewal. Loops are told apart by the ticks a ticker task of theirs manages, never by the clock.
"""

import asyncio
import pathlib
import threading
from collections.abc import Callable, Coroutine
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

import larkspan
import larkspan._budget
import pytest

T = TypeVar("T")

READS = 100
A_LONG_TIME_NS = 600 * 10**9  # longer than any test runs: a renewed budget lasts to the end


def in_a_new_thread(function: Callable[[], T]) -> T:
    """`function()`, called on a thread that has run no loop before, whose budget nothing has
    renewed yet."""
    with ThreadPoolExecutor(1) as thread:
        return thread.submit(function).result(timeout=60)


async def ticks_during(work: Callable[[], Coroutine[Any, Any, None]]) -> int:
    """How often a ticker task of the running loop got to run while `work()` ran."""
    ticks = 0

    async def tick() -> None:
        nonlocal ticks
        while True:
            ticks += 1
            await asyncio.sleep(0)

    ticker = asyncio.ensure_future(tick())
    await asyncio.sleep(0)
    before = ticks
    try:
        await work()
        return ticks - before
    finally:
        ticker.cancel()


async def inline_reads(path: pathlib.Path) -> int:
    """The ticks a ticker gets during READS cached reads on a handle whose first call has renewed
    the budget."""
    async with larkspan.open(path, "rb") as f:
        await f.read(1)

        async def reads() -> None:
            for _ in range(READS):
                await f.read(1)

        return await ticks_during(reads)


def stall_with_the_budget_spent(
    path: pathlib.Path, spent: threading.Event, release: threading.Event
) -> None:
    """Runs a loop whose budget is spent, with its renewal scheduled, and blocks that loop's thread
    before the renewal runs, until `release`."""

    def stall() -> None:
        spent.set()
        release.wait()

    async def read_then_stall() -> None:
        async with larkspan.open(path, "rb") as f:
            asyncio.get_running_loop().call_soon(
                stall
            )  # runs ahead of the renewal the read schedules
            await f.read(1)

    asyncio.run(read_then_stall())


@pytest.fixture
def data(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "data"
    path.write_bytes(b"x" * 4096)
    return path


def test_a_loop_with_its_budget_spent_does_not_make_another_yield(
    data: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(
        larkspan._budget, "YIELD_INTERVAL_NS", 0
    )  # the stalled loop's budget is spent at once
    spent, release = threading.Event(), threading.Event()
    stalled = threading.Thread(target=stall_with_the_budget_spent, args=(data, spent, release))
    stalled.start()
    try:
        assert spent.wait(30)
        monkeypatch.setattr(larkspan._budget, "YIELD_INTERVAL_NS", A_LONG_TIME_NS)
        assert in_a_new_thread(lambda: asyncio.run(asyncio.wait_for(inline_reads(data), 30))) == 0
    finally:
        release.set()
        stalled.join(30)
    assert not stalled.is_alive()


def test_a_threads_next_loop_does_not_wait_for_the_renewal_its_last_loop_left_pending(
    data: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(larkspan._budget, "YIELD_INTERVAL_NS", 0)

    def stop_then_run_another_loop() -> int:
        first = asyncio.new_event_loop()

        async def read_then_stop() -> None:
            async with larkspan.open(data, "rb") as f:
                first.call_soon(first.stop)
                await asyncio.sleep(
                    0
                )  # the loop's last round: it stops, and then the read schedules the renewal
                await f.read(1)

        reading = first.create_task(read_then_stop())
        first.run_forever()
        try:
            assert not reading.done()
            monkeypatch.setattr(larkspan._budget, "YIELD_INTERVAL_NS", A_LONG_TIME_NS)
            return asyncio.run(asyncio.wait_for(inline_reads(data), 30))
        finally:
            first.run_until_complete(reading)
            first.close()

    assert in_a_new_thread(stop_then_run_another_loop) == 0


# ---- the line of tasks waiting for the budget -------------------------------------------------

TASKS = 64


async def reads_in_tasks(path: pathlib.Path, cancelled: set[int]) -> tuple[list[bytes | None], int]:
    """TASKS tasks each reading the file in 4 steps, with the budget spent after every call; the
    tasks numbered in `cancelled` are cancelled once all wait for it. What each read (None when
    cancelled), and how often a ticker ran meanwhile."""
    files = [await larkspan.open(path, "rb") for _ in range(TASKS)]

    async def read_in_steps(f: Any) -> bytes:
        return b"".join([await f.read(1024) for _ in range(4)])

    async def work() -> None:
        tasks = [asyncio.ensure_future(read_in_steps(f)) for f in files]
        await asyncio.sleep(0)  # every task has read once and waits in line
        for number in cancelled:
            tasks[number].cancel()
        outcomes = await asyncio.gather(*tasks, return_exceptions=True)
        results[:] = [None if isinstance(o, asyncio.CancelledError) else o for o in outcomes]

    results: list[bytes | None] = []
    ticks = await ticks_during(work)
    for f in files:
        await f.close()
    return results, ticks


@pytest.mark.parametrize(
    "cancelled",
    [set(), {0}, {5, 6, 7}, set(range(0, TASKS, 2))],
    ids=["none", "first", "some", "half"],
)
def test_tasks_waiting_for_the_budget_all_go_on_in_turn(
    data: pathlib.Path, monkeypatch: pytest.MonkeyPatch, cancelled: set[int]
) -> None:
    monkeypatch.setattr(larkspan._budget, "YIELD_INTERVAL_NS", 0)
    results, ticks = asyncio.run(asyncio.wait_for(reads_in_tasks(data, cancelled), 30))
    assert results == [None if n in cancelled else b"x" * 4096 for n in range(TASKS)]
    # Every call waited for a round of the loop of its own: the ticker ran between them.
    assert ticks >= 3 * (TASKS - len(cancelled))
