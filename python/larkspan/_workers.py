"""The bounded pool of worker threads that runs the calls that can wait on storage."""

import asyncio
import threading
from collections.abc import Callable
from queue import SimpleQueue
from typing import Any, TypeAlias

from ._limiter import Limiter, held

# The workers spend their lives asleep in the kernel, waiting on a device, a network file system
# or another process, so their number bounds how many such waits overlap, not how much CPU is
# used. A network or FUSE file system serves dozens of requests at once, and a thread costs tens
# of KiB of memory; 64 lets 64 tasks wait at once (the width of a typical fan-out) without letting
# a runaway program start thousands of threads. Threads start only when a call finds none idle.
DEFAULT_MAX_WORKERS = 64

Outcome: TypeAlias = tuple[bool, Any]  # (True, result) or (False, exception)
Deliver: TypeAlias = Callable[[Outcome], None]


def _outcome(call: Callable[[], Any]) -> Outcome:
    try:
        return True, call()
    except BaseException as error:  # handed to the awaiting task, whatever it is
        return False, error


class WorkerPool:
    """Runs calls on up to `max_workers` daemon threads, in the order submitted. Daemon threads,
    because a worker may wait for ever (a FIFO nobody opens) and must not keep the interpreter
    from exiting."""

    def __init__(self, max_workers: int = DEFAULT_MAX_WORKERS) -> None:
        if max_workers < 1:
            raise ValueError("max_workers must be at least 1")
        self.max_workers = max_workers
        self._calls: SimpleQueue[tuple[asyncio.AbstractEventLoop, Callable[[], Any], Deliver]] = SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._threads = 0
        self._lock = threading.Lock()

    def submit(self, loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: Deliver) -> None:
        """Runs `call` on a worker; `deliver` then receives its outcome on `loop`'s thread, unless
        the loop has closed by then, when nobody is left to receive it."""
        self._calls.put((loop, call, deliver))
        if not self._idle.acquire(blocking=False):
            self._add_thread()

    def _add_thread(self) -> None:
        with self._lock:
            if self._threads >= self.max_workers:
                return  # the call waits in the queue for the next free worker
            self._threads += 1
        threading.Thread(target=self._work, name=f"larkspan-worker-{self._threads}", daemon=True).start()

    def _work(self) -> None:
        while True:
            loop, call, deliver = self._calls.get()
            outcome = _outcome(call)
            try:
                loop.call_soon_threadsafe(deliver, outcome)
            except RuntimeError:
                pass  # the loop closed while the call ran
            del loop, call, deliver, outcome  # hold no result while idle
            self._idle.release()


_pool = WorkerPool()


def pool() -> WorkerPool:
    return _pool


def set_max_workers(max_workers: int) -> None:
    """Sets how many worker threads may wait on storage at once (64 unless set). Threads already
    started stay until the process ends; new calls start no more than the new limit allows."""
    global _pool
    _pool = WorkerPool(max_workers)


async def run_in_worker(
    call: Callable[[], Any], undo: Callable[[Any], None] | None = None, limiter: Limiter | None = None
) -> Any:
    """Runs `call` on a worker, within `limiter` when given, and returns its result. A cancellation
    ends the wait at once (giving the limiter back); the call itself still runs to its end, and its
    result is dropped, or handed to `undo`."""
    async with held(limiter):
        loop = asyncio.get_running_loop()
        future: asyncio.Future[Any] = loop.create_future()
        pool().submit(loop, call, lambda outcome: settle(future, outcome, undo))
        return await future


def settle(future: asyncio.Future[Any], outcome: Outcome, undo: Callable[[Any], None] | None = None) -> None:
    """Hands `outcome` to `future`; when its waiter was cancelled, a result goes to `undo` instead."""
    ok, value = outcome
    if future.cancelled():
        if ok and undo is not None:
            undo(value)
    elif ok:
        future.set_result(value)
    else:
        future.set_exception(value)
