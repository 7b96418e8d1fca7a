"""The bounded pool of the interpreter's worker threads, for the calls that can wait and that only
Python can make (os and shutil calls, a caller's opener); file calls go to the engine's own threads.
Both deliver through the loop's completion queue."""

import asyncio
import threading
from collections.abc import Callable
from queue import SimpleQueue
from typing import Any

from . import _engine
from ._completions import Deliver, Outcome, completions, settle
from ._engine import Completions

# The workers, the engine's threads and the interpreter's alike, spend their lives asleep in the
# kernel, waiting on a device, a network file system or another process, so their number bounds
# how many such waits overlap, not how much CPU is used. 64 lets 64 tasks wait at once (the width
# of a typical fan-out, and the depth at which cold random reads reach the device's rate on a
# virtio disk: 32 threads of pread measured as fast as 64 there, 16 a third slower) without
# letting a runaway program start thousands of threads. Threads start only when a call finds none
# idle.
DEFAULT_MAX_WORKERS = _engine.DEFAULT_MAX_THREADS


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
        self._calls: SimpleQueue[tuple[Completions, Callable[[], Any], Deliver]] = SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._threads = 0
        self._lock = threading.Lock()

    def submit(self, loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: Deliver) -> None:
        """Runs `call` on a worker; `deliver` then receives its outcome on `loop`'s thread, unless
        the loop has closed by then, when nobody is left to receive it."""
        queue = completions(loop)
        queue.expect()
        self._calls.put((queue, call, deliver))
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
            queue, call, deliver = self._calls.get()
            queue.post(deliver, _outcome(call))
            del queue, call, deliver  # hold no result while idle
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


async def run_in_worker(call: Callable[[], Any], undo: Callable[[Any], None] | None = None) -> Any:
    """Runs `call` on a worker and returns its result. A cancellation ends the wait at once; the
    call itself still runs to its end, and its result is dropped, or handed to `undo`."""
    loop = asyncio.get_running_loop()
    future: asyncio.Future[Any] = loop.create_future()
    pool().submit(loop, call, lambda outcome: settle(future, outcome, undo))
    return await future

