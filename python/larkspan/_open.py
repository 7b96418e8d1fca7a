"""Opening: larkspan.open(), with builtin open()'s arguments and checks, placed inline or on a
worker like every call, giving a binary FileHandle or, in text modes, a TextHandle over one."""

import asyncio
import errno
import os
import stat
from collections.abc import Generator
from functools import partial
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, TypeVar, overload

from . import _placement, _workers
from ._arguments import Opener, OpenPlan, plan_open
from ._budget import yield_if_spent
from ._completions import completions
from ._engine import File
from ._file import FileHandle, UnbufferedFileHandle
from ._limiter import Limiter, check_limiter, held
from ._placement import Located
from ._text import TextHandle
from ._unbuffered import UnbufferedFile
from ._workers import OffLoopCall

if TYPE_CHECKING:
    from _typeshed import OpenBinaryMode, OpenTextMode

H = TypeVar("H", bound="FileHandle[Any] | TextHandle")


def _binary_mode_name(mode: str) -> str:
    """The mode builtin binary files report: the letter, "b", then "+" ("w+" reads as "rb+")."""
    update = "+" in mode
    for letter in "rwax":
        if letter in mode:
            return ("r" if update and letter == "w" else letter) + ("b+" if update else "b")
    raise AssertionError(mode)  # open() checked the mode


def _open_descriptor(
    engine: "File[bytes]",
    target: str | bytes | int,
    plan: OpenPlan,
    closefd: bool,
    opener: Opener | None,
) -> int:
    """Opens `target` as builtin open() does and hands the descriptor to `engine`; may wait.
    Returns the file's block size, which sizes the buffers of a text file."""
    if isinstance(target, int):
        # The engine's stream closes its own copy.
        descriptor = target if closefd else os.dup(target)
    else:
        descriptor = (
            opener(target, plan.flags) if opener is not None else os.open(target, plan.flags, 0o666)
        )
        if descriptor < 0:
            raise ValueError(f"opener returned {descriptor}")
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        engine.open_descriptor(descriptor)
    except BaseException:
        if descriptor is not target:
            os.close(descriptor)
        raise
    return status.st_blksize


async def _open_off_the_loop(
    engine: "File[bytes]",
    target: str | bytes | int,
    plan: OpenPlan,
    closefd: bool,
    opener: Opener | None,
    limiter: Limiter | None,
) -> int:
    """Opens as _open_descriptor does, on the engine's threads (on a worker of the interpreter's for
    a caller's opener), within `limiter`. When the awaiting task is cancelled, the file opened
    meanwhile is closed, so no descriptor is left behind."""
    loop = asyncio.get_running_loop()

    def close_it(block_size: int | None) -> None:
        if block_size is not None:  # else the open never ran
            engine.start(completions(loop), lambda _: None, "close")

    if opener is not None:
        open_it = partial(_open_descriptor, engine, target, plan, closefd, opener)
        block_size: int = await _workers.run_in_worker(open_it, close_it, limiter)
        return block_size
    if isinstance(target, int):
        # The engine's stream closes its own copy.
        descriptor = target if closefd else os.dup(target)
        path = None
    else:
        descriptor, path = -1, os.fsencode(target)
    async with held(limiter):
        call: OffLoopCall[int] = OffLoopCall(
            lambda deliver: (
                engine.start_open(
                    completions(loop),
                    deliver,
                    path,
                    plan.flags,
                    descriptor,
                    descriptor != target,
                    target,
                ).cancel
            ),
            close_it,
        )
        block_size = await call.result()
    return block_size


async def open_handle(
    file: Located,
    mode: str = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    limiter: Limiter | None = None,
) -> Any:
    """A FileHandle[bytes] in binary modes, a TextHandle in text modes (open()'s overloads say
    which to the type checker); its calls on workers, and the open itself, go within `limiter`."""
    target, plan = plan_open(file, mode, buffering, encoding, errors, newline, closefd, opener)
    await yield_if_spent()
    engine_type = UnbufferedFile if plan.buffering == 0 else File
    engine: File[bytes] = engine_type(
        str(target) if isinstance(target, int) else os.fsencode(target), plan.engine_mode
    )
    if (
        _placement.path_may_wait(target)
        if isinstance(target, int)
        else _placement.open_may_wait(target)
    ):
        # A descriptor's fstat asks its file system too.
        block_size = await _open_off_the_loop(engine, target, plan, bool(closefd), opener, limiter)
    elif opener is None and not isinstance(target, int):
        block_size = engine.open_path(os.fsencode(target), plan.flags, target)
    else:
        block_size = _open_descriptor(engine, target, plan, bool(closefd), opener)
    handle_type: type[FileHandle[bytes]] = (
        UnbufferedFileHandle if plan.buffering == 0 else FileHandle
    )
    raw = handle_type(
        engine,
        target,
        _binary_mode_name(mode),
        target if isinstance(target, int) and not closefd else None,
    )
    raw.limiter = limiter
    if plan.binary:
        return raw
    try:
        return await _text_over(raw, plan, mode, block_size)
    except BaseException:
        await raw.close()  # an open that fails or is cancelled here leaves no descriptor behind
        raise


async def _text_over(
    raw: FileHandle[bytes], plan: OpenPlan, mode: str, block_size: int
) -> TextHandle:
    line_buffering = plan.buffering == 1 or (plan.buffering < 0 and await raw.isatty())
    text = TextHandle(
        raw,
        plan.encoding,
        plan.errors,
        plan.newline,
        line_buffering=line_buffering,
        buffer_size=plan.buffering if plan.buffering > 1 else block_size,
    )
    text.mode = mode  # as given, as builtin's text files report it
    return text


class OpenContext(Generic[H]):
    """What open() returns: await it for a FileHandle, or enter it with `async with` to have
    the file closed when the block ends, whether or not the block raises."""

    __slots__ = ("_arguments", "_handle")

    def __init__(self, *arguments: Any) -> None:
        self._arguments = arguments
        self._handle: H | None = None

    def __await__(self) -> Generator[Any, None, H]:
        return self._open().__await__()

    async def __aenter__(self) -> H:
        self._handle = await self._open()
        return self._handle

    async def _open(self) -> H:
        handle: H = await open_handle(*self._arguments)  # of the type open()'s overloads promise
        return handle

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._handle is not None:
            await self._handle.close()


@overload
def open(
    file: Located,
    mode: "OpenTextMode" = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[TextHandle]: ...
@overload
def open(
    file: Located,
    mode: "OpenBinaryMode",
    buffering: int = -1,
    encoding: None = None,
    errors: None = None,
    newline: None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[FileHandle[bytes]]: ...
@overload
def open(
    file: Located,
    mode: str,
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[Any]: ...
def open(
    file: Located,
    mode: str = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: Opener | None = None,
    *,
    limiter: Limiter | None = None,
) -> OpenContext[Any]:
    """Opens `file` (str, bytes, path-like or a descriptor) when the result is awaited or entered,
    with builtin open()'s arguments and checks; text modes default to UTF-8. The handle reads and
    writes bytes in binary modes and str in text modes. `limiter`, any object usable as
    `async with limiter:` (anyio.CapacityLimiter, asyncio.Semaphore), bounds the calls of the
    handle that run on workers, and the open itself when it does."""
    limiter = check_limiter("open()", limiter)
    return OpenContext(file, mode, buffering, encoding, errors, newline, closefd, opener, limiter)


# anyio's name for it: `await open_file(...)` and `async with await open_file(...)` both work.
open_file = open
