"""Limiters: any object usable as `async with limiter:` (anyio's CapacityLimiter, an
asyncio.Semaphore) bounds how many of the calls given it wait on a worker at once. Calls that run
inline never take it: they do not leave the loop."""

from contextlib import AbstractAsyncContextManager, nullcontext
from typing import Any, TypeAlias

Limiter: TypeAlias = AbstractAsyncContextManager[Any]


def check_limiter(call: str, limiter: object) -> Limiter | None:
    """`limiter` when it is None or usable with `async with`; otherwise the TypeError that
    `async with` would raise, naming `call` and saying what it takes."""
    if limiter is None or isinstance(limiter, AbstractAsyncContextManager):
        return limiter
    raise TypeError(
        f"{call} argument 'limiter' must support 'async with' (an anyio.CapacityLimiter or an"
        f" asyncio.Semaphore) or be None, not {type(limiter).__name__}"
    )


def held(limiter: Limiter | None) -> Limiter:
    """What to enter around a call on a worker: the limiter, or nothing to wait for."""
    return nullcontext() if limiter is None else limiter
