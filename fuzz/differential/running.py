"""Runs a case on both sides: builtin's file (the oracle) and larkspan's handle, each on a file of
its own holding the same content. What each call gives becomes an outcome that compares by value:
its result, or the class and message of what it raised."""

import asyncio
import inspect
import os
import warnings
from dataclasses import dataclass
from typing import IO, Any

import larkspan

from .allowed import translate_for_builtin
from .cases import Call, Case, Outcome
from .oracle import open_builtin

END = "<end of iteration>"
TIMEOUT = 30.0  # seconds one of our calls may take before it counts as hung


@dataclass(frozen=True)
class Run:
    """What one side gave: the warnings and outcome of open(), one outcome per call that ran, and
    the bytes on disk after the file was closed (None when the file does not exist)."""

    opened: Outcome
    outcomes: tuple[Outcome, ...]
    disk: bytes | None


def raised(error: BaseException, path: str) -> Outcome:
    """The error's class and message, with the side's own path written as <path>."""
    return ("raised", type(error).__name__, str(error).replace(path, "<path>"))


def on_disk(path: str) -> bytes | None:
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return None


def evict(path: str) -> None:
    """Drops the file's pages from the page cache (written back first, or they would stay)."""
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fdatasync(descriptor)
        os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(descriptor)


def prepare(path: str, case: Case) -> None:
    if os.path.exists(path):
        os.unlink(path)
    if case.content is not None:
        with open(path, "wb") as file:
            file.write(case.content)


# ---- builtin's side ---------------------------------------------------------------------------


def run_builtin(path: str, case: Case) -> Run:
    prepare(path, case)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            file = open_builtin(path, case.mode, **case.open_arguments())
        except Exception as error:
            return Run((raised(error, path), warned(caught)), (), on_disk(path))
    opened = (("ok", None), warned(caught))
    cookies: list[int] = []
    outcomes: list[Outcome] = []
    try:
        for call in case.calls:
            outcomes.append(builtin_outcome(file, path, cookies, call))
    finally:
        try:
            file.close()
        except Exception:
            pass  # its outcome is the close call's, or the disk's
    return Run(opened, tuple(outcomes), on_disk(path))


def warned(caught: list[warnings.WarningMessage]) -> tuple[tuple[str, str], ...]:
    return tuple((w.category.__name__, str(w.message)) for w in caught)


def builtin_outcome(file: IO[Any], path: str, cookies: list[int], call: Call) -> Outcome:
    if call[0] == "gather":  # builtin makes the two calls one after the other
        return (
            "gather",
            builtin_outcome(file, path, cookies, call[1]),
            builtin_outcome(file, path, cookies, call[2]),
        )
    try:
        return ("ok", builtin_call(file, path, cookies, call))
    except Exception as error:
        return raised(error, path)


def builtin_call(file: IO[Any], path: str, cookies: list[int], call: Call) -> Any:
    name, *arguments = translate_for_builtin(file, call)
    if name in LOCAL_CALLS:
        return local_call(file, path, name)
    if name == "next":
        return next(file, END)
    if name == "readinto":
        buffer = bytearray(arguments[0])
        count = file.readinto(buffer)  # type: ignore[attr-defined]
        return count, bytes(buffer[: count or 0])
    if name == "peek_unbuffered":  # FileIO has no peek(): what the next read would start with
        file.read(0)  # refused as a read is: closed, or not open for reading
        return os.pread(file.fileno(), max(arguments[0], 1), file.tell())
    if name == "seek_told":
        return file.seek(cookies[arguments[0] % len(cookies)]) if cookies else NO_COOKIE
    if name == "flush":
        file.flush()
        return None, on_disk(path)
    result = getattr(file, name)(*arguments)
    if name == "tell":
        cookies.append(result)
    return result


LOCAL_CALLS = (
    "evict",
    "name_matches",
    "closed",
    "newlines",
    "encoding",
    "errors",
    "mode",
    "line_buffering",
)
NO_COOKIE = "no cookie yet"


def local_call(file: Any, path: str, name: str) -> Any:
    """The calls that are alike on both sides: attributes, and eviction from the page cache."""
    if name == "evict":
        return evict(path)
    if name == "name_matches":
        return file.name == path
    return getattr(file, name)


# ---- larkspan's side --------------------------------------------------------------------------


def run_ours(path: str, case: Case, loop: asyncio.AbstractEventLoop) -> Run:
    prepare(path, case)
    return loop.run_until_complete(ours(path, case))


async def ours(path: str, case: Case) -> Run:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            file = await larkspan.open(path, case.mode, **case.open_arguments())
        except Exception as error:
            return Run((raised(error, path), warned(caught)), (), on_disk(path))
    opened = (("ok", None), warned(caught))
    cookies: list[int] = []
    outcomes: list[Outcome] = []
    try:
        for call in case.calls:
            outcomes.append(await our_outcome(file, path, cookies, call))
    finally:
        try:
            await asyncio.wait_for(file.close(), TIMEOUT)
        except Exception:
            pass
    return Run(opened, tuple(outcomes), on_disk(path))


async def our_outcome(file: Any, path: str, cookies: list[int], call: Call) -> Outcome:
    if call[0] == "gather":
        first, second = await asyncio.gather(
            our_outcome(file, path, cookies, call[1]), our_outcome(file, path, cookies, call[2])
        )
        return ("gather", first, second)
    try:
        return ("ok", await asyncio.wait_for(our_call(file, path, cookies, call), TIMEOUT))
    except TimeoutError:
        return ("hung", call[0])
    except Exception as error:
        return raised(error, path)


async def our_call(file: Any, path: str, cookies: list[int], call: Call) -> Any:
    name, *arguments = call
    if name in LOCAL_CALLS:
        return local_call(file, path, name)
    if name == "next":
        return await anext(file, END)
    if name == "readinto":
        buffer = bytearray(arguments[0])
        count = await file.readinto(buffer)
        return count, bytes(buffer[: count or 0])
    if name == "seek_told":
        return await file.seek(cookies[arguments[0] % len(cookies)]) if cookies else NO_COOKIE
    if name == "flush":
        await file.flush()
        return None, on_disk(path)
    result = getattr(file, name)(*arguments)
    if inspect.isawaitable(result):
        result = await result
    if name == "tell":
        cookies.append(result)
    return result
