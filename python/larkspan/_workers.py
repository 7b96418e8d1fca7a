"""The bounded pool of worker threads that runs the calls that can wait on storage, and the one
place that decides what becomes of a call whose awaiting task is cancelled."""

import asyncio
import os
import threading
from collections.abc import Callable
from queue import SimpleQueue
from typing import Any, Generic, TypeAlias, TypeVar

from ._limiter import Limiter, held

# The workers spend their lives asleep in the kernel, waiting on a device, a network file system
# or another process, so their number bounds how many such waits overlap, not how much CPU is
# used. A network or FUSE file system serves dozens of requests at once, and a thread costs tens
# of KiB of memory; 64 lets 64 tasks wait at once (the width of a typical fan-out) without letting
# a runaway program start thousands of threads. Threads start only when a call finds none idle.
DEFAULT_MAX_WORKERS = 64

Outcome: TypeAlias = tuple[bool, Any]  # (True, result) or (False, exception)
Deliver: TypeAlias = Callable[[Outcome], None]
T = TypeVar("T")


def _outcome(call: Callable[[], Any]) -> Outcome:
    try:
        return True, call()
    except BaseException as error:  # handed to the awaiting task, whatever it is
        return False, error


class Job:
    """A call in the pool's queue. It is claimed once: by the worker that starts it or by the task
    that withdraws it, whichever comes first. Both try the same lock without waiting, so exactly
    one wins however the loop's thread and the worker's meet."""

    __slots__ = ("loop", "call", "deliver", "_claimed")

    def __init__(self, loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: Deliver) -> None:
        self.loop = loop
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

    def submit(self, loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: Deliver) -> Job:
        """Runs `call` on a worker unless the returned job is claimed first; `deliver` then receives
        its outcome on `loop`'s thread, unless the loop has closed by then, when nobody is left to
        receive it."""
        job = Job(loop, call, deliver)
        self._calls.put(job)
        if not self._idle.acquire(blocking=False):
            self._add_thread()
        return job

    def _add_thread(self) -> None:
        with self._lock:
            if self._threads >= self.max_workers:
                return  # the call waits in the queue for the next free worker
            self._threads += 1
        threading.Thread(target=self._work, name=f"larkspan-worker-{self._threads}", daemon=True).start()

    def _work(self) -> None:
        while True:
            job = self._calls.get()
            if job.claim():  # else withdrawn by its task: it never runs
                outcome = _outcome(job.call)
                try:
                    job.loop.call_soon_threadsafe(job.deliver, outcome)
                except RuntimeError:
                    pass  # the loop closed while the call ran
                del outcome
            del job  # hold no call or result while idle
            self._idle.release()


_pool = WorkerPool()


def pool() -> WorkerPool:
    return _pool


def set_max_workers(max_workers: int) -> None:
    """Sets how many worker threads may wait on storage at once (64 unless set). Threads already
    started stay until the process ends; new calls start no more than the new limit allows."""
    global _pool
    _pool = WorkerPool(max_workers)


def _start_afresh_in_child() -> None:
    """A forked child has none of its parent's threads, but a copy of the pool that counts them
    (and may hold its lock): it starts with a pool of its own, under the same limit."""
    global _pool
    _pool = WorkerPool(_pool.max_workers)


os.register_at_fork(after_in_child=_start_afresh_in_child)


class WorkerCall(Generic[T]):
    """A call on a worker awaited by one task. When that task is cancelled, whatever point the
    cancellation meets, the call's outcome is kept in one way:

    - the call has not started: it is withdrawn and never runs (as run_in_executor's calls);
    - it is running: it runs to its end, and its result goes to `undo`;
    - it has ended and its result is set, but the task has not resumed (a wait_for timeout that
      falls due in the same turn of the loop): the result goes to `undo` all the same.

    `undo` receives the result, or None when the call never ran. An error the call raises once
    its task is cancelled has nobody to go to and is dropped."""

    __slots__ = ("_result", "ended", "_undo", "_job")

    def __init__(self, call: Callable[[], T], undo: Callable[[T | None], None] | None = None) -> None:
        loop = asyncio.get_running_loop()
        self._result: asyncio.Future[T] = loop.create_future()
        self.ended: asyncio.Future[None] = loop.create_future()  # once the call ended or never will run
        self._undo = undo
        self._job = pool().submit(loop, call, self._deliver)

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
            if self._job.claim():
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
            self.ended.set_result(None)  # whatever happened

    def _hand_to_undo(self, value: T | None) -> None:
        if self._undo is not None:
            self._undo(value)


async def run_in_worker(
    call: Callable[[], T], undo: Callable[[T | None], None] | None = None, limiter: Limiter | None = None
) -> T:
    """Runs `call` on a worker, within `limiter` when given, and returns its result; a cancelled
    task's call is kept as WorkerCall says, and the limiter is given back at once."""
    async with held(limiter):
        return await WorkerCall(call, undo).result()
