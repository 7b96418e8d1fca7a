"""detach() and reconfigure() on text handles, against builtin's text files doing the same steps:
results, exceptions (class and message), the settings after, and the bytes on disk."""

import asyncio
import io
from collections.abc import Callable
from pathlib import Path
from typing import Any

import larkspan
import pytest
from path_fixtures import outcome

DETACHED = (ValueError, "underlying buffer has been detached")

# Calls on a text file after detach(): builtin refuses each with the same ValueError.
AFTER_DETACH = [
    "read",
    "readline",
    "write",
    "flush",
    "tell",
    "seek",
    "truncate",
    "detach",
    "close",
    "fileno",
    "readable",
    "isatty",
    "reconfigure",
]


def builtin_after_detach(path: Path, call: str) -> tuple[Any, ...]:
    f = open(path, "w+", encoding="utf-8")
    raw = f.detach()
    try:
        return outcome(lambda: CALLS[call](f))
    finally:
        raw.close()


CALLS: dict[str, Callable[[Any], Any]] = {
    "read": lambda f: f.read(),
    "readline": lambda f: f.readline(),
    "write": lambda f: f.write("x"),
    "flush": lambda f: f.flush(),
    "tell": lambda f: f.tell(),
    "seek": lambda f: f.seek(0),
    "truncate": lambda f: f.truncate(),
    "detach": lambda f: f.detach(),
    "close": lambda f: f.close(),
    "fileno": lambda f: f.fileno(),
    "readable": lambda f: f.readable(),
    "isatty": lambda f: f.isatty(),
    "reconfigure": lambda f: f.reconfigure(line_buffering=True),
}


@pytest.mark.parametrize("call", AFTER_DETACH)
def test_a_detached_handle_refuses_every_call_as_builtin_does(tmp_path: Path, call: str) -> None:
    path = tmp_path / "text"
    theirs = builtin_after_detach(path, call)

    async def main() -> tuple[Any, ...]:
        f = await larkspan.open(path, "w+", encoding="utf-8")
        raw = f.detach()
        try:
            return await outcome_async(lambda: CALLS[call](f))
        finally:
            await raw.close()

    assert theirs == DETACHED
    assert asyncio.run(main()) == theirs


def test_a_detached_handle_has_a_repr_without_the_name(tmp_path: Path) -> None:
    """As builtin's: the name, which the binary handle held, is left out."""
    path = tmp_path / "text"
    builtin_file = open(path, "w+", encoding="utf-8")
    raw_builtin = builtin_file.detach()
    assert "name=" not in repr(builtin_file)
    raw_builtin.close()

    async def main() -> tuple[str, str]:
        f = await larkspan.open(path, "w+", encoding="utf-8")
        before = repr(f)
        raw = f.detach()
        await raw.close()
        return before, repr(f)

    before, after = asyncio.run(main())
    assert before == f"<larkspan.TextHandle name={str(path)!r} mode='w+' encoding='utf-8'>"
    assert after == "<larkspan.TextHandle mode='w+' encoding='utf-8'>"


def run_ours(path: Path, mode: str, steps: Callable[[Any], Any]) -> Any:
    async def main() -> Any:
        f = await larkspan.open(path, mode, encoding="utf-8")
        return await steps(f)

    return asyncio.run(main())


async def write_then_detach(f: Any) -> Any:
    await f.write("text é\n")
    raw = f.detach()
    await raw.write(b"bytes\n")
    position = await raw.tell()
    await raw.close()
    return position


def builtin_write_then_detach(f: Any) -> Any:
    f.write("text é\n")
    raw = f.detach()
    raw.write(b"bytes\n")
    position = raw.tell()
    raw.close()
    return position


async def read_then_detach(f: Any) -> Any:
    line = await f.readline()
    raw = f.detach()
    rest = await raw.read()
    await raw.close()
    return line, rest


def builtin_read_then_detach(f: Any) -> Any:
    line = f.readline()
    raw = f.detach()
    rest = raw.read()
    raw.close()
    return line, rest


SEQUENCES = {
    "write-then-detach": ("w", builtin_write_then_detach, write_then_detach),
    "write-plus-then-detach": ("w+", builtin_write_then_detach, write_then_detach),
    "read-then-detach": ("r", builtin_read_then_detach, read_then_detach),
}


@pytest.mark.parametrize("case", SEQUENCES)
def test_detach_hands_the_binary_handle_over_where_builtin_does(tmp_path: Path, case: str) -> None:
    mode, theirs_steps, ours_steps = SEQUENCES[case]
    theirs_path, ours_path = tmp_path / "theirs", tmp_path / "ours"
    for path in (theirs_path, ours_path):
        path.write_bytes(b"first line\n" + b"x" * 20000 + b"\nlast\n")
    theirs = theirs_steps(
        open(theirs_path, mode, encoding="utf-8")
    )  # closed by the steps, through the binary file
    ours = run_ours(ours_path, mode, ours_steps)
    if case == "read-then-detach":
        # Both have read a chunk ahead: the binary handle goes on after it, as builtin's does.
        assert ours[0] == theirs[0] and ours[1] == theirs[1]
    else:
        assert ours == theirs
    assert ours_path.read_bytes() == theirs_path.read_bytes()


def test_async_with_block_that_detaches_raises_on_leaving_as_builtin(tmp_path: Path) -> None:
    path = tmp_path / "text"

    def builtin() -> None:
        with open(path, "w") as f:
            f.detach().close()

    async def main() -> None:
        async with larkspan.open(path, "w") as f:
            await f.detach().close()

    assert outcome(builtin) == outcome(lambda: asyncio.run(main())) == DETACHED


# ---- reconfigure -------------------------------------------------------------------------------

RECONFIGURATIONS: dict[str, dict[str, Any]] = {
    "encoding": {"encoding": "latin-1"},
    "errors-only": {"errors": "replace"},
    "encoding-and-errors": {"encoding": "ascii", "errors": "backslashreplace"},
    "locale": {"encoding": "locale"},
    "newline-crlf": {"newline": "\r\n"},
    "newline-none": {"newline": None},
    "newline-empty": {"newline": ""},
    "line-buffering": {"line_buffering": True},
    "write-through": {"write_through": 1},
    "nothing": {},
    "unknown-encoding": {"encoding": "no-such-codec"},
    "encoding-int": {"encoding": 5},
    "errors-bytes": {"errors": b"strict"},
    "newline-bad": {"newline": "x"},
    "newline-int": {"newline": 1},
    "line-buffering-str": {"line_buffering": "yes"},
}
WHEN = ["fresh", "after-write", "after-readline", "after-read-all", "closed"]
TEXT = "one é\ntwo ü\n"


def builtin_reconfigure(path: Path, when: str, options: dict[str, Any]) -> list[Any]:
    f = open(path, "r+", encoding="utf-8")
    steps = {
        "after-write": lambda: f.write("new "),
        "after-readline": f.readline,
        "after-read-all": f.read,
        "closed": f.close,
    }
    done = outcome(steps.get(when, lambda: None))
    result = outcome(lambda: f.reconfigure(**options))
    if f.closed:
        return [done, result]
    settings = (f.encoding, f.errors, f.line_buffering, f.write_through)
    written = outcome(lambda: f.write("añ\n"))
    f.close()
    return [done, result, settings, written]


async def larkspan_reconfigure(path: Path, when: str, options: dict[str, Any]) -> list[Any]:
    f = await larkspan.open(path, "r+", encoding="utf-8")
    steps = {
        "after-write": lambda: f.write("new "),
        "after-readline": f.readline,
        "after-read-all": f.read,
        "closed": f.close,
    }
    done = await outcome_async(steps.get(when))
    result = await outcome_async(lambda: f.reconfigure(**options))
    if f.closed:
        return [done, result]
    settings = (f.encoding, f.errors, f.line_buffering, f.write_through)
    written = await outcome_async(lambda: f.write("añ\n"))
    await f.close()
    return [done, result, settings, written]


async def outcome_async(call: Callable[[], Any] | None) -> tuple[Any, ...]:
    """outcome() of `call`, awaiting what it returns when that is a coroutine (None: no call)."""
    try:
        result = call() if call is not None else None
        value = await result if asyncio.iscoroutine(result) else result
    except Exception as error:
        failure = error
        return outcome(lambda: raise_(failure))
    return ("ok", value)


def raise_(error: Exception) -> None:
    raise error


@pytest.mark.parametrize("when", WHEN)
@pytest.mark.parametrize("options", RECONFIGURATIONS.values(), ids=RECONFIGURATIONS)
def test_reconfigure_matches_builtin(tmp_path: Path, options: dict[str, Any], when: str) -> None:
    theirs_path, ours_path = tmp_path / "theirs", tmp_path / "ours"
    for path in (theirs_path, ours_path):
        path.write_text(TEXT, encoding="utf-8")
    theirs = builtin_reconfigure(theirs_path, when, options)
    ours = asyncio.run(larkspan_reconfigure(ours_path, when, options))
    assert ours == theirs
    assert ours_path.read_bytes() == theirs_path.read_bytes()


def test_reconfigure_takes_keywords_only() -> None:
    async def main() -> None:
        f = await larkspan.open("/dev/null", "w")
        try:
            await f.reconfigure("latin-1")  # type: ignore[misc]
        finally:
            await f.close()

    error = outcome(lambda: asyncio.run(main()))
    builtin = io.TextIOWrapper(io.BytesIO())
    assert error[0] is TypeError is outcome(lambda: builtin.reconfigure("latin-1"))[0]  # type: ignore[misc]
