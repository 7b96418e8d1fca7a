"""How long an event loop's tasks may run inline calls before the loop gets to run its other work.

A thread runs one loop at a time, and each thread has a budget of its own, so loops in other
threads neither spend a loop's budget nor wait for its renewal. A handle takes the budget of the
thread it was opened on; the path helpers take their own thread's. Measured per call with the
clock read (about 55 ns): reading the handle's budget costs what a module global did, a
threading.local or a dict keyed by the running loop 45 ns more, a WeakKeyDictionary 175 ns more.
"""

import asyncio
import threading
from time import monotonic_ns

# Longest stretch of inline file operations between two returns to the event loop. The clock is
# read before every operation (about 55 ns) rather than counting operations, because one
# operation takes anywhere from 0.1 us (a buffered write) to a millisecond (a large cached read).
# A return to the loop costs about 3 us. A timer that falls due waits up to two intervals,
# because its task wakes one round of the loop after the timer fires. Measured with a ticker that
# sleeps 1 ms (benchmarks/front_bench.py), its typical gap is 1.5 ms at 0.25 ms, 3 ms at
# 1 ms and 12-20 ms at 4 ms, and no interval changes the total time measurably: 1 ms keeps
# the gaps well under 10 ms without returning to the loop more often than needed.
YIELD_INTERVAL_NS = 1_000_000


class Budget:
    """The inline work a loop's tasks may do until the loop comes round again. Shared by every
    handle and helper on the loop on purpose: a task that opens many files one after the other and
    does a few operations on each must still let the loop run its other tasks.

    The fast path reads `ends_ns` directly (`monotonic_ns() < budget.ends_ns`): a method call
    there would cost almost as much again as the clock."""

    __slots__ = ("_fresh", "_renewing_on", "ends_ns")

    def __init__(self) -> None:
        self.ends_ns = 0  # by monotonic_ns(); spent until a loop first renews it
        # The loop that will renew the budget when it next comes round, or None. A loop that stops
        # before it does (the thread then runs another) never will: the next loop schedules its own.
        self._renewing_on: asyncio.AbstractEventLoop | None = None
        self._fresh = False  # renewed, and no task has gone on with it yet

    @property
    def renewal_pending(self) -> bool:
        return self._renewing_on is not None

    def spent(self) -> bool:
        return monotonic_ns() >= self.ends_ns

    async def yield_to_loop(self) -> None:
        """Lets the event loop run its other ready tasks until a round of the loop leaves budget for
        this task's next operation. The budget of inline work starts again only once the loop has
        come round, and a task that wakes to find it already spent by the tasks before it in the
        round yields again, so a round holds one interval of work however many tasks are ready."""
        loop = asyncio.get_running_loop()
        while True:
            if self._renewing_on is not loop:
                self._renewing_on = loop
                loop.call_soon(self._renew)
            await asyncio.sleep(0)
            if self._fresh or not self.spent():
                # The first task of a round always goes on, however small the budget.
                self._fresh = False
                return

    def _renew(self) -> None:
        self._renewing_on = None
        self._fresh = True
        self.ends_ns = monotonic_ns() + YIELD_INTERVAL_NS


_this_thread = threading.local()


def of_this_thread() -> Budget:
    """The budget of the loop this thread runs."""
    try:
        budget: Budget = _this_thread.budget
    except AttributeError:
        budget = _this_thread.budget = Budget()
    return budget


async def yield_if_spent() -> None:
    """Lets the other tasks run when those of this thread's loop have spent its budget; a task that
    stats a thousand files in a row must not starve the others. Every path helper's call starts
    here, so the budget is read as the handles' fast path reads it, without a method call."""
    budget = of_this_thread()
    if monotonic_ns() >= budget.ends_ns:
        await budget.yield_to_loop()
