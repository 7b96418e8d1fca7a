"""How long an event loop's tasks may run inline calls before the loop gets to run its other work.

Each loop has a budget of its own: loops in other threads neither spend it nor wait for its renewal.
A handle takes the budget of the loop it was opened on; the path helpers take the running loop's.
"""

import asyncio
import threading
import weakref
from collections.abc import Callable
from time import monotonic_ns

# Longest stretch of inline file operations between two returns to the event loop. The clock is
# read before every operation (about 55 ns) rather than counting operations, because one
# operation takes anywhere from 0.1 us (a buffered write) to a millisecond (a large cached read).
# A return to the loop costs about 3 us. A timer that falls due waits up to two intervals,
# because its task wakes one loop turn after the timer fires. Measured with a ticker that
# sleeps 1 ms (benchmarks/front_bench.py), its typical gap is 1.5 ms at 0.25 ms, 3 ms at
# 1 ms and 12-20 ms at 4 ms, and no interval changes the total time measurably: 1 ms keeps
# the gaps well under 10 ms without returning to the loop more often than needed.
YIELD_INTERVAL_NS = 1_000_000


class Budget:
    """The inline work one loop's tasks may do until the loop comes round again. Shared by every
    handle and helper on the loop on purpose: a task that opens many files one after the other and
    does a few operations on each must still give the loop its turn.

    The fast path reads `ends_ns` directly (`monotonic_ns() < budget.ends_ns`): a method call
    there would cost as much again as the clock."""

    __slots__ = ("ends_ns", "renewal_pending", "_fresh", "_loop")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.ends_ns = 0  # by monotonic_ns(); spent until the loop first renews it
        self.renewal_pending = False  # a renewal is scheduled on the loop and has not run yet
        self._fresh = False  # renewed, and no task has gone on with it yet
        self._loop: Callable[[], asyncio.AbstractEventLoop | None]
        try:
            self._loop = weakref.ref(loop)  # a closed loop's budget must not keep it alive
        except TypeError:  # a loop type without weak references: kept until the thread runs another
            self._loop = lambda: loop

    def belongs_to(self, loop: asyncio.AbstractEventLoop) -> bool:
        return self._loop() is loop

    def spent(self) -> bool:
        return monotonic_ns() >= self.ends_ns

    async def yield_to_loop(self) -> None:
        """Lets the event loop run its other ready tasks until a round of the loop leaves budget for
        this task's next operation. The budget of inline work starts again only once the loop has
        come round, and a task that wakes to find it already spent by the tasks before it in the
        round yields again, so a round holds one interval of work however many tasks are ready."""
        while True:
            if not self.renewal_pending:
                self.renewal_pending = True
                asyncio.get_running_loop().call_soon(self._renew)
            await asyncio.sleep(0)
            if self._fresh or not self.spent():
                self._fresh = False  # the first task of a round always goes on, however small the budget
                return

    def _renew(self) -> None:
        self.renewal_pending = False
        self._fresh = True
        self.ends_ns = monotonic_ns() + YIELD_INTERVAL_NS


# The budget of the loop this thread last ran: a thread runs one loop at a time, and a new loop
# (asyncio.run() again, or a forked child's) starts with a budget of its own.
_this_thread = threading.local()


def of_running_loop() -> Budget:
    """The running loop's budget; RuntimeError where no loop runs."""
    loop = asyncio.get_running_loop()
    budget: Budget | None = getattr(_this_thread, "budget", None)
    if budget is None or not budget.belongs_to(loop):
        budget = _this_thread.budget = Budget(loop)
    return budget


async def yield_if_spent() -> None:
    """Lets the other tasks run when those of the running loop have spent its budget; a task that
    stats a thousand files in a row must not starve the others."""
    budget = of_running_loop()
    if budget.spent():
        await budget.yield_to_loop()
