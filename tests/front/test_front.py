"""The larkspan front: awaitable operations that pass the engine's results and errors through,
open as awaitable and async context manager, async iteration, helpers, and loop fairness.
What the engine itself does with each argument is tested against the engine directly."""

import asyncio
import inspect
import io
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import TIMEOUT, descriptors, evict, pipe_holding, spend_the_loops_budget
from core_module import core_or_skip
from path_fixtures import yield_always  # noqa: F401  (fixture)

LINES = b"alpha\nbeta\n\ngamma"
CLOSED = (ValueError, "I/O operation on closed file.")


async def outcome(call: Callable[[], Any]) -> tuple[Any, Any]:
    """The result of `call` (awaited when it is awaitable), or the class and text of its error."""
    try:
        result = call()
        return ("ok", await result if inspect.isawaitable(result) else result)
    except Exception as e:
        # A conversion error goes on to the signatures, which name the binding, and to the
        # arguments as invoked, which name the object's address.
        return type(e), str(e).split("\n")[0] if "incompatible function arguments" in str(
            e
        ) else str(e)


# Each case runs on the front and on a builtin file over twin files; results, exceptions, arguments
# afterwards (readinto's buffer), positions, closing and bytes on disk must agree.
PARITY = {
    "read": ("rb", lambda: ()),
    "read-3": ("rb", lambda: (3,)),
    "read-neg": ("rb", lambda: (-1,)),
    "read-text": ("r", lambda: ()),
    "read-9000": ("rb", lambda: (9000,)),
    "read1-2": ("rb", lambda: (2,)),
    "read1-neg": ("rb", lambda: (-1,)),
    "peek": ("rb", lambda: (2,)),
    "readinto": ("rb", lambda: (bytearray(4),)),
    "readinto-str": ("rb", lambda: ("abc",)),
    "readline": ("rb", lambda: ()),
    "readline-3": ("rb", lambda: (3,)),
    "readline-neg": ("r", lambda: (-1,)),
    "readlines": ("r", lambda: ()),
    "readlines-hint": ("rb", lambda: (7,)),
    "readlines-bytes": ("rb", lambda: ()),
    "write-bytes": ("r+b", lambda: (b"XY",)),
    "write-readonly": ("rb", lambda: (b"XY",)),
    "write-str": ("r+", lambda: ("abc",)),
    "writelines": ("ab", lambda: ([b"1\n", bytearray(b"2\n")],)),
    "writelines-iterable": ("a", lambda: (iter(["1\n", "2"]),)),
    "writelines-str": ("a", lambda: ("12",)),
    "seek": ("rb", lambda: (4,)),
    "seek-end": ("rb", lambda: (-2, 2)),
    "seek-bad": ("rb", lambda: ("x",)),
    "seek-neg": ("rb", lambda: (-1,)),
    "tell": ("rb", lambda: ()),
    "flush": ("w", lambda: ()),
    "truncate-2": ("r+b", lambda: (2,)),
    "truncate": ("r+b", lambda: ()),
    "truncate-neg": ("r+b", lambda: (-1,)),
    "truncate-readonly": ("rb", lambda: (1,)),
    "isatty": ("rb", lambda: ()),
    "read-writeonly": ("wb", lambda: ()),
    "readline-writeonly": ("ab", lambda: ()),
    "read1-writeonly": ("wb", lambda: (1,)),
}


@pytest.mark.parametrize("case", PARITY)
def test_every_operation_is_builtins(make_file, case: str) -> None:
    method = case.split("-")[0]
    mode, make_args = PARITY[case]
    ours_path, theirs_path = make_file(LINES), make_file(LINES)

    async def run_on(f: Any) -> tuple:
        args = make_args()
        result = await outcome(lambda: getattr(f, method)(*args))
        buffers = [bytes(a) for a in args if isinstance(a, bytearray)]
        return result, buffers, await outcome(f.tell), await outcome(f.close)

    async def main() -> None:
        ours = await run_on(await larkspan.open(ours_path, mode))
        assert ours == await run_on(open(theirs_path, mode))

    asyncio.run(main())
    assert Path(ours_path).read_bytes() == Path(theirs_path).read_bytes()


# After a line, reads, tell and writes take up where the line ended, as in builtin files; lines are
# bytes in binary modes. Each case: mode, then calls on the handle `f` evaluated in order.
FOLLOWING_LINES = {
    "readline-tell": ("rb", ["f.readline()", "f.tell()", "f.read(3)", "f.tell()"]),
    "readline-limit": ("rb", ["f.readline(3)", "f.readline()", "f.tell()"]),
    "readline-read-all": ("rb", ["f.readline()", "f.read()", "f.readline()"]),
    "readline-readlines": ("rb", ["f.readline()", "f.readlines()"]),
    "readline-read1": ("rb", ["f.readline()", "f.read1(4)", "f.readline()"]),
    "readline-readinto": ("rb", ["f.readline()", "into(f, 3)", "f.readline()"]),
    "readline-write": ("r+b", ["f.readline()", "f.write(b'XY')", "f.readline()", "f.tell()"]),
    "readline-seek-cur": ("rb", ["f.readline()", "f.seek(1, 1)", "f.readline()"]),
    "readline-truncate": ("r+b", ["f.readline()", "f.truncate()", "f.readline()", "f.tell()"]),
    "text": ("r", ["f.readline()", "f.tell()", "f.read(4)", "f.readlines()"]),
    "truncate-shorter": (
        "r+b",
        ["f.truncate(2)", "f.tell()", "f.read()", "f.truncate(20)", "f.read()"],
    ),
    "end-then-growth": (
        "r+b",
        [
            "f.readlines()",
            "f.readline()",
            "f.write(b'\\nmore\\n')",
            "f.seek(-5, 2)",
            "f.readline()",
        ],
    ),
}


@pytest.mark.parametrize("case", FOLLOWING_LINES)
def test_reads_after_lines_match_builtin(make_file, case: str) -> None:
    mode, calls = FOLLOWING_LINES[case]
    ours_path, theirs_path = make_file(LINES), make_file(LINES)

    def into(f: Any, size: int) -> Any:
        buffer = bytearray(size)
        count = f.readinto(buffer)
        return count if inspect.isawaitable(count) else (count, bytes(buffer))

    async def ours() -> list[Any]:
        results = []
        async with larkspan.open(ours_path, mode) as f:
            for call in calls:
                if call.startswith("into"):
                    buffer = bytearray(3)
                    results.append((await f.readinto(buffer), bytes(buffer)))
                else:
                    results.append(await eval(call))
        return results

    with open(theirs_path, mode) as f:
        # Names given: before 3.12 a comprehension has a scope of its own.
        theirs = [eval(call, globals(), {"f": f, "into": into}) for call in calls]
    assert asyncio.run(ours()) == theirs
    assert Path(ours_path).read_bytes() == Path(theirs_path).read_bytes()


def evicted(path: str) -> str:
    """`path`, its pages dropped from the page cache, so that reads of it go to a worker."""
    evict(path)
    return path


# Where the file lies: cached pages (inline), pages not cached (a worker), a pipe (always a worker).
SOURCES: dict[str, Callable[[Callable[..., str], bytes], str | int]] = {
    "cached": lambda make_file, content: make_file(content),
    "cold": lambda make_file, content: evicted(make_file(content)),
    "pipe": lambda make_file, content: pipe_holding(content),
}


@pytest.mark.parametrize("hint", [*range(-1, 17), None])
@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("mode", ["rb", "r"])
def test_readlines_stops_once_the_total_exceeds_the_hint(
    make_file, mode: str, source: str, hint: int | None
) -> None:
    content = b"ab\n" * 5

    async def ours() -> list[Any]:
        async with larkspan.open(SOURCES[source](make_file, content), mode) as f:
            return [await f.readlines(hint), await f.read()]

    with open(make_file(content), mode) as f:
        assert asyncio.run(ours()) == [f.readlines(hint), f.read()]


# Calls made together run whole in the order they were made, however many steps of the engine each
# takes.
TOGETHER = {
    "readlines(100)-read(3)": ["f.readlines(100)", "f.read(3)"],
    "readlines(5)-read(3)": ["f.readlines(5)", "f.read(3)"],
    "readlines(5)-readline": ["f.readlines(5)", "f.readline()"],
    "read(2)-readlines(5)-read1(2)": ["f.read(2)", "f.readlines(5)", "f.read1(2)"],
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("case", TOGETHER)
def test_calls_made_together_run_whole_in_order(make_file, source: str, case: str) -> None:
    content = b"one\ntwo\nthree\n"

    async def ours() -> list[Any]:
        async with larkspan.open(SOURCES[source](make_file, content), "rb") as f:
            return await asyncio.gather(*(eval(call, {"f": f}) for call in TOGETHER[case]))

    with open(make_file(content), "rb") as f:
        assert asyncio.run(ours()) == [eval(call, {"f": f}) for call in TOGETHER[case]]


# Calls issued together, in one gather() or as tasks made one after the other, run in the order
# issued: each takes its place in the handle's line when its coroutine first runs, before anything
# lets the loop run, whether it then runs inline, on a worker, or after yielding a spent budget.
ISSUED_TOGETHER = {
    "read-close": ["f.read(1)", "f.close()"],
    "close-read": ["f.close()", "f.read(1)"],
    "readline-seek-read": ["f.readline()", "f.seek(1)", "f.read(2)"],
    "write-seek-readline": ["f.write(b'XY')", "f.seek(0)", "f.readline()"],
    "read-truncate-tell": ["f.read(2)", "f.truncate()", "f.tell()"],
    "readinto-flush-read1": ["f.readinto(bytearray(3))", "f.flush()", "f.read1(2)"],
    "writelines-close-write": ["f.writelines([b'a'])", "f.close()", "f.write(b'b')"],
    "next-readlines-isatty": ["f.__anext__()", "f.readlines(5)", "f.isatty()"],
}
PATHS: dict[str, Callable[[Callable[..., str], bytes], str]] = {
    "inline": lambda make_file, content: make_file(content),
    "on a worker": lambda make_file, content: evicted(make_file(content)),
    "after the budget": lambda make_file, content: make_file(content),
}


async def issued_together(coroutines: list[Any], how: str) -> list[Any]:
    if how == "tasks":
        coroutines = [asyncio.ensure_future(coroutine) for coroutine in coroutines]
    return await asyncio.gather(*coroutines, return_exceptions=True)


def named(outcome: object) -> object:
    return type(outcome).__name__ if isinstance(outcome, Exception) else outcome


@pytest.mark.parametrize("how", ["gather", "tasks"])
@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("case", ISSUED_TOGETHER)
def test_calls_issued_together_run_in_the_order_issued(
    make_file, case: str, path: str, how: str
) -> None:
    content = b"one\ntwo\nthree\n"
    calls = ISSUED_TOGETHER[case]
    ours_path = PATHS[path](make_file, content)

    async def ours() -> list[object]:
        f = await larkspan.open(ours_path, "r+b")
        try:
            if path == "after the budget":
                spend_the_loops_budget()
            outcomes = await issued_together([eval(call, {"f": f}) for call in calls], how)
        finally:
            await f.close()
        return [named(outcome) for outcome in outcomes]

    theirs_path = make_file(content)
    with open(theirs_path, "r+b") as f:
        theirs = [
            named(outcome_of(lambda: eval(call.replace("__anext__", "__next__"), {"f": f})))
            for call in calls
        ]
    assert asyncio.run(asyncio.wait_for(ours(), TIMEOUT)) == theirs
    assert Path(ours_path).read_bytes() == Path(theirs_path).read_bytes()


def outcome_of(call: Callable[[], object]) -> object:
    try:
        return call()
    except Exception as error:
        return error


def test_closed_handle_raises_value_error(make_file) -> None:
    async def main() -> None:
        f = await larkspan.open(make_file(LINES), "r+b")
        assert (f.closed, f.seekable(), f.writable(), f.readable()) == (False, True, True, True)
        await f.close()
        assert f.closed
        await f.close()  # closing twice is no error
        calls = [
            f.read,
            f.readall,
            f.read1,
            f.readline,
            f.readlines,
            f.tell,
            f.flush,
            f.truncate,
            f.isatty,
            lambda: f.readinto(bytearray(1)),
            lambda: f.write(b"x"),
            lambda: f.writelines([b"x"]),
            lambda: f.seek(0),
            f.__anext__,
            f.peek,
            f.sync,
        ]
        assert [await outcome(c) for c in calls] == [CLOSED] * len(calls)
        queries = [
            f.fileno,
            f.seekable,
            f.writable,
            f.readable,
        ]  # builtin's queries say it without the stop
        assert [await outcome(c) for c in queries] == [
            (ValueError, "I/O operation on closed file")
        ] * len(queries)

    asyncio.run(main())


def test_handle_offers_every_engine_member() -> None:
    engine = {name for name in dir(core_or_skip().AsyncFile) if not name.startswith("_")} - {"open"}
    plain = {"name", "mode", "seekable", "writable", "readable", "fileno", "closed"}
    engine |= {"readable", "fileno", "closed", "peek", "sync"}
    handle = larkspan.FileHandle
    assert engine <= set(dir(handle))
    assert {
        name for name in engine if inspect.iscoroutinefunction(getattr(handle, name))
    } == engine - plain
    assert inspect.iscoroutinefunction(handle.__anext__)


@pytest.mark.parametrize("kind", [str, os.fsencode, Path], ids=["str", "bytes", "pathlib"])
def test_open_accepts_path_types_awaited_or_entered(make_file, kind) -> None:
    path = make_file(b"abc")

    async def main() -> None:
        f = await larkspan.open(kind(path), "rb")
        assert (f.name, f.mode, await f.read()) == (os.fspath(kind(path)), "rb", b"abc")
        await f.close()
        async with larkspan.open(kind(path), "a") as g:
            assert await g.write("de") == 2
        assert g.closed

    asyncio.run(main())
    assert Path(path).read_bytes() == b"abcde"


# open() refusals as builtin's: the same class, text, errno and filename, and nothing created or
# cut. Case: what stands at the path ("missing", "file", "dir", "fifo-free"), then open()'s
# arguments after it.
REFUSED_OPENS = {
    "missing": ("missing", ("r",), {}),
    "missing-dir": ("missing", ("r",), {}),
    "dir-read": ("dir", ("r",), {}),
    "dir-write": ("dir", ("w",), {}),
    "exclusive-exists": ("file", ("x",), {}),
    "mode-type": ("missing", (5,), {}),
    "mode-rw": ("missing", ("rw",), {}),
    "mode-rr": ("missing", ("rr",), {}),
    "mode-z": ("missing", ("wz",), {}),
    "mode-tb": ("missing", ("wtb",), {}),
    "mode-plus": ("missing", ("+",), {}),
    "binary-encoding": ("file", ("wb",), {"encoding": "utf-8"}),
    "binary-errors": ("file", ("wb",), {"errors": "x"}),
    "binary-newline": ("file", ("wb",), {"newline": ""}),
    "unbuffered-text": ("file", ("w",), {"buffering": 0}),
    "newline-value": ("file", ("w",), {"newline": "x"}),
    "newline-type": ("file", ("w",), {"newline": 5}),
    "encoding-unknown": ("file", ("w",), {"encoding": "no-such-codec"}),
    "encoding-type": ("file", ("w",), {"encoding": 5}),
    "errors-type": ("file", ("w",), {"errors": 5}),
    "buffering-type": ("file", ("w",), {"buffering": "x"}),
    "closefd-name": ("file", ("w",), {"closefd": False}),
    "closefd-name-binary": ("file", ("rb",), {"closefd": False}),
    "opener-type": ("file", ("w",), {"opener": 5}),
    "opener-type-binary": ("file", ("wb",), {"opener": 5}),
    "negative-descriptor-binary": ("file", ("rb",), {"file": -1}),
    "opener-negative": ("file", ("w",), {"opener": lambda p, f: -1}),
    "file-type": ("file", ("r",), {"file": 1.5}),
    "file-nul": ("file", ("rb",), {"file": "target\0x"}),
}


@pytest.mark.parametrize("case", REFUSED_OPENS)
def test_refused_open_matches_builtin_and_touches_nothing(tmp_path, case: str) -> None:
    standing, args, kwargs = REFUSED_OPENS[case]
    path = tmp_path / ("sub/target" if case == "missing-dir" else "target")
    if standing == "file":
        path.write_bytes(b"kept")
    elif standing == "dir":
        path.mkdir()
    kwargs = {"file": path, "mode": args[0], **kwargs}

    def described(error: BaseException) -> tuple:
        return (
            type(error),
            str(error),
            getattr(error, "errno", None),
            getattr(error, "filename", None),
        )

    before = descriptors()
    refusals = []
    for _ in range(2):  # the second open takes a binary mode's plan as the first left it
        with pytest.raises(Exception) as ours:
            asyncio.run(larkspan.open(**kwargs).__aenter__())
        refusals.append(described(ours.value))
    assert descriptors() == before
    assert (path.read_bytes() if standing == "file" else path.exists()) == (
        b"kept" if standing == "file" else standing == "dir"
    )
    with pytest.raises(Exception) as theirs:
        if standing == "file":
            path.write_bytes(b"kept")
        open(**kwargs)
    assert refusals == [described(theirs.value)] * 2


def test_async_with_closes_on_error_and_does_not_suppress(make_file) -> None:
    path = make_file()

    async def main() -> None:
        with pytest.raises(KeyError):
            async with larkspan.open(path, "w") as f:
                await f.write("pending")
                raise KeyError
        assert f.closed
        handle = await larkspan.open(path, "a")
        with pytest.raises(KeyError):
            async with handle as same:
                assert same is handle
                await same.write("+more")
                raise KeyError
        assert handle.closed

    asyncio.run(main())
    assert Path(path).read_bytes() == b"pending+more"


# The front ends iteration at readline's "" and must not stop at a blank line; line splitting is the
# engine's.
@pytest.mark.parametrize("content", [b"", LINES], ids=["empty", "blank-line-and-no-final-newline"])
def test_async_for_yields_every_line(make_file, content: bytes) -> None:
    async def main() -> list[bytes]:
        async with larkspan.open(make_file(content), "rb") as f:
            lines = [line async for line in f]
            with pytest.raises(StopAsyncIteration):
                await f.__anext__()  # the end stays the end
            return lines

    assert asyncio.run(main()) == list(io.BytesIO(content))


def test_decode_errors_are_builtins(make_file) -> None:
    path = make_file(b"a\n\xff\nb\n")

    async def ours() -> list[Any]:
        async with larkspan.open(path, "r") as f:
            return [await outcome(f.readline) for _ in range(3)]

    with open(path) as f:
        theirs = [asyncio.run(outcome(f.readline)) for _ in range(3)]
    assert asyncio.run(ours()) == theirs
    with pytest.raises(UnicodeDecodeError):
        asyncio.run(larkspan.read_text(make_file(b"ok\xff")))


@pytest.mark.parametrize("size", [0, 8193, 262145, 524289])
def test_helpers_round_trip(tmp_path, size: int) -> None:
    data = bytes(range(256)) * (size // 256) + b"z" * (size % 256)
    text = "é" * (size // 2)

    async def main() -> None:
        assert await larkspan.write_bytes(tmp_path / "b", bytearray(data)) == size
        assert await larkspan.read_bytes(tmp_path / "b") == data
        assert await larkspan.write_text(str(tmp_path / "t"), text) == len(text)
        assert await larkspan.read_text(os.fsencode(tmp_path / "t")) == text

    asyncio.run(main())
    assert (tmp_path / "b").read_bytes() == data


def test_cancelled_iteration_loses_and_repeats_no_line(make_file, yield_always) -> None:
    content = b"".join(b"line %d\n" % i for i in range(20_000))
    expected = content.splitlines(keepends=True)

    async def main() -> None:
        async with larkspan.open(make_file(content), "rb") as f:
            seen: list[bytes] = []

            async def consume() -> None:
                async for line in f:
                    seen.append(line)

            task = asyncio.create_task(consume())
            while len(seen) < 5_000:
                await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert 5_000 <= len(seen) < len(expected)
            assert seen + [line async for line in f] == expected
            assert await f.seek(0) == 0
            assert await f.readline() == b"line 0\n"

    asyncio.run(main())


def test_concurrent_tasks_on_separate_files(tmp_path, yield_always) -> None:
    async def copy_through(n: int) -> list[str]:
        async with larkspan.open(tmp_path / f"f{n}", "w+") as f:
            for i in range(2_000):
                await f.write(f"{n}:{i}\n")
            await f.seek(0)
            return [line async for line in f]

    async def main() -> list[list[str]]:
        return await asyncio.gather(*(copy_through(n) for n in range(8)))

    expected = [[f"{n}:{i}\n" for i in range(2_000)] for n in range(8)]
    assert asyncio.run(main()) == expected
    assert [(tmp_path / f"f{n}").read_text() for n in range(8)] == [
        "".join(lines) for lines in expected
    ]


@pytest.mark.parametrize("work", ["async-for", "write-loop"])
def test_loop_is_not_starved(make_file, work: str) -> None:
    """A ticker that only yields must run while a long loop of file operations is under way."""
    total, done, progress_at_ticks = 200_000, 0, []

    async def ticker() -> None:
        while True:
            progress_at_ticks.append(done)
            await asyncio.sleep(0)

    async def main() -> None:
        nonlocal done
        tick_task = asyncio.create_task(ticker())
        async with larkspan.open(
            make_file(b"%09d\n" % 0 * total), "rb" if work == "async-for" else "wb"
        ) as f:
            if work == "async-for":
                async for _ in f:
                    done += 1
            else:
                for _ in range(total):
                    await f.write(b"0123456789")
                    done += 1
        tick_task.cancel()

    asyncio.run(main())
    assert done == total
    assert any(0 < d < total for d in progress_at_ticks)


# Files in /proc report size 0 whatever they hold: reads to the end read until the input ends. Each
# case: mode, then the read, awaited on ours and called on builtin's.
NO_SIZE_READS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "read-binary": ("rb", lambda f: f.read()),
    "readlines-binary": ("rb", lambda f: f.readlines()),
    "read-text": ("r", lambda f: f.read()),
    "readlines-text": ("r", lambda f: f.readlines()),
}


@pytest.mark.parametrize("path", ["/proc/version", "/proc/self/cmdline"])
@pytest.mark.parametrize(("mode", "read"), NO_SIZE_READS.values(), ids=NO_SIZE_READS.keys())
def test_files_that_report_no_size_read_as_builtin(
    path: str, mode: str, read: Callable[[Any], Any]
) -> None:
    if not os.path.exists(path):
        pytest.skip(f"needs {path}")

    async def ours() -> Any:
        async with larkspan.open(path, mode) as f:
            return await read(f)

    with open(path, mode) as f:
        theirs = read(f)
    assert asyncio.run(ours()) == theirs and theirs


@pytest.mark.parametrize(
    "helper", [larkspan.read_bytes, larkspan.read_text], ids=["read_bytes", "read_text"]
)
def test_whole_file_helpers_read_files_that_report_no_size(helper: Callable[[str], Any]) -> None:
    if not os.path.exists("/proc/meminfo"):
        pytest.skip("needs /proc/meminfo")
    content = asyncio.run(helper("/proc/meminfo"))  # its numbers change from one read to the next
    assert content.startswith(b"MemTotal:" if isinstance(content, bytes) else "MemTotal:")
    assert content.count(b"\n" if isinstance(content, bytes) else "\n") > 10


def test_line_buffering_in_binary_mode_warns_at_every_open(make_file) -> None:
    path = make_file(b"abc")

    async def main() -> list[bytes]:
        contents = []
        for _ in range(2):
            async with larkspan.open(path, "rb", buffering=1) as f:
                contents.append(await f.read())
        return contents

    with pytest.warns(RuntimeWarning, match="line buffering") as warned:
        assert asyncio.run(main()) == [b"abc", b"abc"]
    assert len(warned) == 2
