"""How the calls that can wait come back to the event loop. The engine's own threads carry out the
file calls (larkspan._engine's File.start), without the interpreter lock; the interpreter's worker
threads run what only Python can (os and shutil calls, a caller's opener). Either way the outcome
lands in the loop's completion queue, whose descriptor the loop watches: one wake-up delivers every
outcome that has arrived since the last, on the loop's thread, where the futures are settled."""

import asyncio
import os
from collections.abc import Callable
from typing import Any, TypeAlias

from ._engine import Completions, forget_threads_after_fork

Outcome: TypeAlias = tuple[bool, Any]  # (True, result) or (False, exception)
Deliver: TypeAlias = Callable[[Outcome], None]

_queues: dict[asyncio.AbstractEventLoop, Completions] = {}
# The loop asked for most recently.
_last: tuple[asyncio.AbstractEventLoop, Completions] | None = None
# Queues of closed loops with outcomes still to come: dropped undelivered as they arrive, so what
# the calls hold (buffers, files, descriptors) is released, until none is left to come.
_orphans: list[Completions] = []


def completions(loop: asyncio.AbstractEventLoop) -> Completions:
    """The completion queue of `loop`, which must be running on this thread; made and watched on
    first use."""
    global _last
    last = _last
    if last is not None and last[0] is loop:
        return last[1]
    queue = _queues.get(loop)
    if queue is None:
        queue = _watch(loop)
    _last = (loop, queue)
    return queue


def _watch(loop: asyncio.AbstractEventLoop) -> Completions:
    _release_closed_loops()
    queue = Completions()
    loop.add_reader(queue.fileno(), queue.drain)
    _queues[loop] = queue
    return queue


def _release_closed_loops() -> None:
    """Outcomes for loops that closed before they arrived are dropped, and queues with nothing more
    to come are let go, descriptor and all. Asked whenever another loop starts using the engine."""
    global _last
    for loop in [loop for loop in _queues if loop.is_closed()]:
        _orphans.append(_queues.pop(loop))
        if _last is not None and _last[0] is loop:
            _last = None
    for queue in _orphans:
        queue.discard()
    _orphans[:] = [queue for queue in _orphans if queue.in_flight]


def _start_afresh_in_child() -> None:
    """A forked child has none of the parent's threads, and its queues' descriptors are the
    parent's: it starts with new ones."""
    global _last
    _queues.clear()
    _orphans.clear()
    _last = None
    forget_threads_after_fork()


os.register_at_fork(after_in_child=_start_afresh_in_child)
