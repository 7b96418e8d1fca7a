"""The bounded pool of the interpreter's worker threads, for the calls that can wait and that only
Python can make (os and shutil calls, a caller's opener), and the one place that decides what
becomes of a call off the loop, on a worker or on the engine's own threads, whose awaiting task is
cancelled. Both kinds of thread deliver through the loop's completion queue."""

import asyncio
import functools
import os
import threading
from collections.abc import Callable
from queue import SimpleQueue
from typing import Any, Generic, TypeAlias, TypeVar

from . import _engine
from ._completions import Deliver as Deliver
from ._completions import Outcome as Outcome
from ._completions import completions
from ._engine import Completions, File
from ._limiter import Limiter, held

# The workers, the engine's threads and the interpreter's alike, spend their lives asleep in the
# kernel, waiting on a device, a network file system or another process, so their number bounds
# how many such waits overlap, not how much CPU is used. 64 lets 64 tasks wait at once (the width
# of a typical fan-out, and the depth at which cold random reads reach the device's rate on a
# virtio disk: 32 threads of pread measured as fast as 64 there, 16 a third slower) without
# letting a runaway program start thousands of threads. Threads start only when a call finds none
# idle.
DEFAULT_MAX_WORKERS = _engine.DEFAULT_MAX_THREADS

T = TypeVar("T")
Withdraw: TypeAlias = Callable[[], bool]  # keeps a call that has not started from running


def _outcome(call: Callable[[], Any]) -> Outcome:
    try:
        return True, call()
    except BaseException as error:  # handed to the awaiting task, whatever it is
        return False, error


class Job:
    """A call in the pool's queue. It is claimed once: by the worker that starts it or by the task
    that withdraws it, whichever comes first. Both try the same lock without waiting, so exactly
    one wins however the loop's thread and the worker's meet."""

    __slots__ = ("_claimed", "call", "completions", "deliver")

    def __init__(self, completions: Completions, call: Callable[[], Any], deliver: Deliver) -> None:
        self.completions = completions
        self.call = call
        self.deliver = deliver
        self._claimed = threading.Lock()

    def claim(self) -> bool:
        """True for the one caller that gets to decide whether the call runs."""
        return self._claimed.acquire(blocking=False)


class WorkerPool:
    """Runs calls on up to `max_workers` daemon threads, in the order submitted. Daemon threads,
    because a worker may wait for ever (a FIFO nobody opens) and must not keep the interpreter
    from exiting."""

    def __init__(self, max_workers: int = DEFAULT_MAX_WORKERS) -> None:
        if max_workers < 1:
            raise ValueError("max_workers must be at least 1")
        self.max_workers = max_workers
        self._calls: SimpleQueue[Job] = SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._threads = 0
        self._lock = threading.Lock()

    def submit(
        self, loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: Deliver
    ) -> Job:
        """Runs `call` on a worker unless the returned job is claimed first; `deliver` then receives
        its outcome on `loop`'s thread, unless the loop has closed by then, when nobody is left to
        receive it."""
        job = Job(completions(loop), call, deliver)
        job.completions.expect()
        self._calls.put(job)
        if not self._idle.acquire(blocking=False):
            self._add_thread()
        return job

    def _add_thread(self) -> None:
        with self._lock:
            if self._threads >= self.max_workers:
                return  # the call waits in the queue for the next free worker
            self._threads += 1
        threading.Thread(
            target=self._work, name=f"larkspan-worker-{self._threads}", daemon=True
        ).start()

    def _work(self) -> None:
        while True:
            job = self._calls.get()
            # A withdrawn call never runs; its outcome says so, as an engine call's would.
            outcome = _outcome(job.call) if job.claim() else (False, asyncio.CancelledError())
            job.completions.post(job.deliver, outcome)  # dropped undelivered if the loop has closed
            del job, outcome  # hold no call or result while idle
            self._idle.release()


_pool = WorkerPool()


def pool() -> WorkerPool:
    return _pool


def set_max_workers(max_workers: int) -> None:
    """Sets how many threads may wait on storage at once (64 unless set), of the engine's and of
    the interpreter's each. The engine's threads beyond a lowered limit end once their call is
    done, the interpreter's stay until the process ends; new calls start no more than the new
    limit allows, and wait for a free thread."""
    global _pool
    _pool = WorkerPool(max_workers)
    _engine.set_max_threads(max_workers)


def _start_afresh_in_child() -> None:
    """A forked child has none of its parent's threads, but a copy of the pool that counts them
    (and may hold its lock): it starts with a pool of its own, under the same limit."""
    global _pool
    _pool = WorkerPool(_pool.max_workers)


os.register_at_fork(after_in_child=_start_afresh_in_child)  # the engine's threads: in _completions


def _delivered() -> bool:
    """Withdraws nothing: the call's outcome is in."""
    return False


class OffLoopCall(Generic[T]):
    """A call off the loop, on a worker or on the engine's threads, awaited by one task. When that
    task is cancelled, whatever point the cancellation meets, the call's outcome is kept in one way:

    - the call has not started: it is withdrawn and never runs (as run_in_executor's calls);
    - it is running: it runs to its end, and its result goes to `undo`;
    - it has ended and its result is set, but the task has not resumed (a wait_for timeout that
      falls due in the same turn of the loop): the result goes to `undo` all the same.

    `undo` receives the result, or None when the call never ran. An error the call raises once
    its task is cancelled has nobody to go to and is dropped. `start` starts the call with the
    callable its outcome goes to, and returns what withdraws it."""

    __slots__ = ("_result", "_undo", "_withdraw", "ended")

    def __init__(
        self, start: Callable[[Deliver], Withdraw], undo: Callable[[T | None], None] | None = None
    ) -> None:
        loop = asyncio.get_running_loop()
        self._result: asyncio.Future[T] = loop.create_future()
        # Once the call ended or never will run.
        self.ended: asyncio.Future[None] = loop.create_future()
        self._undo = undo
        self._withdraw = start(self._deliver)

    async def result(self) -> T:
        try:
            return await self._result
        except asyncio.CancelledError:
            self._keep_for_cancelled_task()
            raise

    def _keep_for_cancelled_task(self) -> None:
        result = self._result
        result.cancel()  # a result still to come no longer goes to the task
        if result.cancelled():
            if self._withdraw():
                self.ended.set_result(None)
                self._hand_to_undo(None)
            # else the call is running: _deliver hands its result to undo
        elif result.exception() is None:
            self._hand_to_undo(result.result())

    def _deliver(self, outcome: Outcome) -> None:
        try:
            ok, value = outcome
            if self._result.cancelled():
                if ok:
                    self._hand_to_undo(value)
            elif ok:
                self._result.set_result(value)
            else:
                self._result.set_exception(value)
        finally:
            # What withdrew the call refers back to this object (a worker's job holds _deliver): let
            # both go now rather than at the next collection, with the loop's completion queue they
            # hold.
            self._withdraw = _delivered
            if not self.ended.done():  # a withdrawn call of the engine's still reports it never ran
                self.ended.set_result(None)  # whatever happened

    def _hand_to_undo(self, value: T | None) -> None:
        if self._undo is not None:
            self._undo(value)


def on_worker(
    call: Callable[[], T], undo: Callable[[T | None], None] | None = None
) -> OffLoopCall[T]:
    """`call` on a worker of the interpreter's."""
    loop = asyncio.get_running_loop()
    return OffLoopCall(lambda deliver: pool().submit(loop, call, deliver).claim, undo)


def on_engine(
    file: "File[Any]", method: str, *args: Any, undo: Callable[[Any], None] | None = None
) -> OffLoopCall[Any]:
    """The engine call `method(*args)` of `file` on the engine's threads, as its blocking form
    `method(*args, False)` would run it; reads from the position give (where they started, result).
    """
    queue = completions(asyncio.get_running_loop())
    return OffLoopCall(lambda deliver: file.start(queue, deliver, method, *args).cancel, undo)


async def run_on_engine(file: "File[Any]", method: str, *args: Any) -> Any:
    """The engine call `method(*args)` of `file` on the engine's threads, for a call whose
    cancelled task needs nothing given back (positional ones): the call is withdrawn when it has not
    started, and its outcome dropped when it has. One future, where OffLoopCall needs two and a
    delivery in Python: these calls come by the tens of thousands a second on cold storage."""
    loop = asyncio.get_running_loop()
    settled: asyncio.Future[Any] = loop.create_future()
    ticket = file.start(completions(loop), functools.partial(_settle, settled), method, *args)
    try:
        return await settled
    except asyncio.CancelledError:
        if not ticket.cancel() and settled.done() and not settled.cancelled():
            settled.exception()  # retrieved: an error the task no longer awaits is not reported
        raise


def _settle(settled: "asyncio.Future[Any]", outcome: Outcome) -> None:
    if not settled.cancelled():
        ok, value = outcome
        if ok:
            settled.set_result(value)
        else:
            settled.set_exception(value)


async def run_in_worker(
    call: Callable[[], T],
    undo: Callable[[T | None], None] | None = None,
    limiter: Limiter | None = None,
) -> T:
    """Runs `call` on a worker, within `limiter` when given, and returns its result; a cancelled
    task's call is kept as OffLoopCall says, and the limiter is given back at once."""
    async with held(limiter):
        return await on_worker(call, undo).result()
