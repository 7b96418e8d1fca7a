"""How the path helpers (larkspan.os, larkspan.shutil, larkspan.tempfile, larkspan.Path) run a
blocking call: inline on the event loop when nothing it names can wait, else on a worker."""

from collections.abc import AsyncIterator, Callable, Iterator
from itertools import islice
from typing import Any, TypeVar

from . import _placement, _workers
from ._budget import yield_if_spent
from ._limiter import Limiter
from ._placement import Located

T = TypeVar("T")

# Entries fetched from a directory (or matches from a glob) per call: a few hundred microseconds
# of work on a local disk, so one return to the loop per batch costs about 1% of the listing,
# while a directory of a million entries still lets other tasks in every fraction of a millisecond.
BATCH = 512


async def on_worker(call: Callable[[], T], limiter: Limiter | None = None) -> T:
    result: T = await _workers.run_in_worker(call, limiter=limiter)
    return result


async def placed(call: Callable[[], T], *paths: Located, limiter: Limiter | None = None) -> T:
    """Runs `call`, which names `paths`: inline when none of them can wait, else on a worker
    within `limiter`."""
    await yield_if_spent()
    if _placement.path_may_wait(*paths):
        return await on_worker(call, limiter)
    return call()


async def in_batches(
    items: Iterator[T], may_wait: bool, limiter: Limiter | None = None
) -> AsyncIterator[T]:
    """Yields what `items` yields, drawing BATCH at a time, inline or on a worker, so that a long
    iteration never holds the loop for more than one batch. `items` is advanced by one thread at
    a time, each batch after the last."""

    def draw() -> list[T]:
        return list(islice(items, BATCH))

    while True:
        await yield_if_spent()
        batch = await on_worker(draw, limiter) if may_wait else draw()
        for item in batch:
            yield item
        if len(batch) < BATCH:
            return


def open_options(
    buffering: int, encoding: str | None, errors: str | None, newline: str | None
) -> dict[str, Any]:
    """The arguments of builtin open() beyond the mode that differ from their defaults, to pass on
    to larkspan.open(); with the defaults, a call works with an open() that takes a mode only."""
    options: dict[str, Any] = {} if buffering == -1 else {"buffering": buffering}
    given = {"encoding": encoding, "errors": errors, "newline": newline}
    return options | {name: value for name, value in given.items() if value is not None}
