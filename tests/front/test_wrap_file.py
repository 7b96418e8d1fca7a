"""wrap_file() and larkspan.stdin, stdout, stderr (and their _bytes forms): the same calls on the
same objects give what anyio's wrap_file() and aiofiles' streams give, class and message of
exceptions included, while their calls run on workers."""

import asyncio
import io
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import anyio
import larkspan
import pytest
from conftest import TIMEOUT
from path_fixtures import submissions  # noqa: F401  (fixture)

CONTENT = b"first\nsecond\nthird"


def into(size: int) -> Callable[[Any], Any]:
    async def call(f: Any) -> tuple[int, bytes]:
        buffer = bytearray(size)
        count = await f.readinto(buffer)
        return count, bytes(buffer)

    return call


def into1(size: int) -> Callable[[Any], Any]:
    async def call(f: Any) -> tuple[int, bytes]:
        buffer = bytearray(size)
        count = await f.readinto1(buffer)
        return count, bytes(buffer)

    return call


async def lines(f: Any) -> list[Any]:
    return [line async for line in f]


async def write_then_read(f: Any) -> Any:
    count = await f.write(b"new" if "b" in getattr(f.wrapped, "mode", "b") else "new")
    await f.seek(0)
    return count, await f.read(), await f.tell()


STEPS: dict[str, Callable[[Any], Any]] = {
    "read": lambda f: f.read(),
    "read-2": lambda f: f.read(2),
    "read1": lambda f: f.read1(4),
    "readline": lambda f: f.readline(),
    "readlines": lambda f: f.readlines(),
    "readinto": into(4),
    "readinto1": into1(4),
    "iterate": lines,
    "seek-tell": lambda f: f.seek(3),
    "truncate": lambda f: f.truncate(2),
    "write-then-read": write_then_read,
    "flush": lambda f: f.flush(),
    "readinto-str": lambda f: f.readinto("no"),
    "write-wrong-type": lambda f: f.write(5),
    "aclose": lambda f: f.aclose(),
}

# The file objects wrapped: each kind made afresh for each side.
OBJECTS: dict[str, Callable[[Path], Any]] = {
    "bytesio": lambda path: io.BytesIO(CONTENT),
    "stringio": lambda path: io.StringIO(CONTENT.decode()),
    "buffered-file": lambda path: open(path, "r+b"),
    "text-file": lambda path: open(path, "r+", encoding="utf-8"),
    "raw-file": lambda path: open(path, "r+b", buffering=0),
}


async def outcome_async(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("ok", await call())
    except Exception as error:
        return type(error), str(error)


def run_on(
    wrap: Callable[[Any], Any], make: Callable[[Path], Any], path: Path, step: Callable[[Any], Any]
) -> Any:
    path.write_bytes(CONTENT)
    file = make(path)

    async def main() -> Any:
        return await outcome_async(lambda: step(wrap(file)))

    try:
        return asyncio.run(main()), file.closed, path.read_bytes() if not file.closed else None
    finally:
        file.close()


@pytest.mark.parametrize("obj", OBJECTS)
@pytest.mark.parametrize("step", STEPS)
def test_wrap_file_matches_anyio(tmp_path: Path, obj: str, step: str) -> None:
    theirs = run_on(anyio.wrap_file, OBJECTS[obj], tmp_path / "theirs", STEPS[step])
    ours = run_on(larkspan.wrap_file, OBJECTS[obj], tmp_path / "ours", STEPS[step])
    assert ours == theirs


def test_wrap_file_calls_run_on_workers_in_the_order_made(submissions) -> None:
    file = io.BytesIO()

    async def main() -> bytes:
        f = larkspan.wrap_file(file)
        await asyncio.gather(*[f.write(bytes([65 + i])) for i in range(10)])
        await f.seek(0)
        return await f.read()

    assert asyncio.run(main()) == b"ABCDEFGHIJ"
    assert len(submissions) == 12


# Calls issued together run in the order issued, close() too, which finishes under a shield: the
# calls, then what each gives (an exception by its class).
ISSUED_WITH_CLOSE: dict[str, tuple[Callable[[Any], list[Any]], list[Any]]] = {
    "close-read": (lambda f: [f.close(), f.read()], [None, ValueError]),
    "read-close": (lambda f: [f.read(2), f.close()], [b"fi", None]),
    "write-close-write": (
        lambda f: [f.write(b"x"), f.close(), f.write(b"y")],
        [1, None, ValueError],
    ),
    "close-close": (lambda f: [f.close(), f.close()], [None, None]),
}


@pytest.mark.parametrize("case", ISSUED_WITH_CLOSE)
def test_wrap_file_calls_issued_with_close_run_in_the_order_issued(case: str) -> None:
    calls, expected = ISSUED_WITH_CLOSE[case]

    async def main() -> list[Any]:
        f = larkspan.wrap_file(io.BytesIO(CONTENT))
        outcomes = await asyncio.gather(*calls(f), return_exceptions=True)
        return [
            type(outcome) if isinstance(outcome, Exception) else outcome for outcome in outcomes
        ]

    assert asyncio.run(asyncio.wait_for(main(), TIMEOUT)) == expected


def test_cancelled_call_still_ends_before_the_next_runs(submissions) -> None:
    """A call whose task is cancelled runs to its end on its worker, and the next call waits for
    it."""
    import threading

    release = threading.Event()
    order: list[str] = []

    class Slow(io.BytesIO):
        def write(self, data: Any) -> int:
            release.wait(TIMEOUT)
            order.append("write")
            return super().write(data)

        def tell(self) -> int:
            order.append("tell")
            return super().tell()

    async def main() -> int:
        f = larkspan.wrap_file(Slow())
        write = asyncio.ensure_future(f.write(b"abc"))
        while not submissions:
            await asyncio.sleep(0)
        write.cancel()
        tell = asyncio.ensure_future(f.tell())
        await asyncio.sleep(0)
        release.set()
        return await tell

    assert asyncio.run(asyncio.wait_for(main(), TIMEOUT)) == 3
    assert order == ["write", "tell"]


# ---- bad input ---------------------------------------------------------------------------------


def test_wrap_file_of_a_closed_file_is_refused_with_builtins_value_error(tmp_path: Path) -> None:
    file = open(tmp_path / "x", "wb")
    file.close()
    with pytest.raises(ValueError):
        file.write(b"x")
    with pytest.raises(ValueError) as ours:
        larkspan.wrap_file(file)
    assert str(ours.value) == "wrap_file(): I/O operation on closed file."


@pytest.mark.parametrize("obj", [5, "a path", None, object()], ids=["int", "str", "none", "object"])
def test_wrap_file_of_a_non_file_raises_what_anyio_raises_at_the_first_call(obj: object) -> None:
    async def anyio_first_call() -> None:
        await anyio.wrap_file(obj).read()  # type: ignore[arg-type]

    with pytest.raises(Exception) as theirs:
        asyncio.run(anyio_first_call())
    with pytest.raises(Exception) as ours:
        larkspan.wrap_file(obj)  # type: ignore[arg-type]
    assert type(ours.value) is type(theirs.value) is AttributeError
    assert str(ours.value) == f"wrap_file() takes a file object: {theirs.value}"


def test_a_call_on_a_file_closed_behind_the_handle_names_the_call() -> None:
    file = io.BytesIO(CONTENT)

    async def main() -> None:
        f = larkspan.wrap_file(file)
        file.close()
        await f.read()

    with pytest.raises(ValueError) as e:
        asyncio.run(main())
    assert str(e.value) == "read() on a wrap_file() handle: I/O operation on closed file."


# ---- the standard streams ----------------------------------------------------------------------

# A child runs one call through the standard stream of one library, and prints its outcome last.
STREAM_CHILD = """
import asyncio, importlib, sys
case, target, library = sys.argv[1], sys.argv[2], importlib.import_module(sys.argv[3])
async def outcome(call):
    try:
        return ("ok", await call())
    except Exception as error:
        return (type(error).__name__, str(error))
async def main():
    if case == "read-stdin": return await outcome(library.stdin.read)
    if case == "readline-stdin-bytes": return await outcome(library.stdin_bytes.readline)
    if case == "lines-stdin": return await outcome(library.stdin.readlines)
    if case == "write-stdout": return await outcome(lambda: library.stdout.write("out\\n"))
    if case == "write-stdout-bytes":
        return await outcome(lambda: library.stdout_bytes.write(b"bytes\\n"))
    if case == "write-stderr": return await outcome(lambda: library.stderr.write("err\\n"))
    if case == "write-stderr-bytes":
        return await outcome(lambda: library.stderr_bytes.write(b"err\\n"))
    if case == "read-closed-stdin":
        sys.stdin.close()
        return await outcome(library.stdin.read)
    if case == "read-no-stdin":
        sys.stdin = None
        return await outcome(library.stdin.read)
    if case == "write-replaced-stdout":
        sys.stdout = open(target, "w")
        result = await outcome(lambda: library.stdout.write("to the file\\n"))
        sys.stdout.close()
        sys.stdout = sys.__stdout__
        return result
result = asyncio.run(main())
sys.stdout.flush()
sys.stderr.flush()
sys.stderr.buffer.write(b"\\n" + repr(result).encode() + b"\\n")
"""


def run_stream_child(case: str, target: Path, library: str) -> tuple[Any, bytes, bytes, str]:
    child = subprocess.run(
        [sys.executable, "-c", STREAM_CHILD, case, str(target), library],
        input=b"line one\nline two\n",
        capture_output=True,
        timeout=TIMEOUT,
    )
    assert child.returncode == 0, child.stderr
    *err, result = child.stderr.decode().splitlines()
    written = target.read_text() if target.exists() else ""
    return eval(result), child.stdout, "\n".join(err).encode(), written


@pytest.mark.parametrize(
    "case",
    [
        "read-stdin",
        "readline-stdin-bytes",
        "lines-stdin",
        "write-stdout",
        "write-stdout-bytes",
        "write-stderr",
        "write-stderr-bytes",
        "read-closed-stdin",
        "read-no-stdin",
        "write-replaced-stdout",
    ],
)
def test_standard_streams_behave_as_aiofiles_streams(tmp_path: Path, case: str) -> None:
    theirs = run_stream_child(case, tmp_path / "theirs", "aiofiles")
    ours = run_stream_child(case, tmp_path / "ours", "larkspan")
    if case == "read-closed-stdin":
        assert theirs[0] == ("ValueError", "I/O operation on closed file.")
        assert ours[0] == ("ValueError", "read() on larkspan.stdin: I/O operation on closed file.")
    elif case == "read-no-stdin":
        assert theirs[0][0] == "AttributeError"
        assert ours[0] == ("AttributeError", "larkspan.stdin: sys.stdin is None")
    else:
        assert ours == theirs
