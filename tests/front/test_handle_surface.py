"""What binary and text handles share with builtin's and anyio's files: readinto1(), the AsyncFile
type that covers both, and the limiter their calls on workers take."""

import array
import asyncio
import io
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import anyio
import larkspan
import pytest
from path_fixtures import outcome, outcome_of, place, submissions  # noqa: F401  (fixture)

CONTENT = b"0123456789"


def builtin_readinto1(
    path: Path, mode: str, make_buffer: Callable[[], Any], closed: bool
) -> tuple[Any, ...]:
    with open(path, mode) as f:
        buffer = make_buffer()
        if closed:
            f.close()
        result = f.readinto1(buffer)
        return result, bytes(memoryview(buffer).cast("B")), f.tell()


async def larkspan_readinto1(
    path: Path, mode: str, make_buffer: Callable[[], Any], closed: bool
) -> tuple[Any, ...]:
    async with larkspan.open(path, mode) as f:
        buffer = make_buffer()
        if closed:
            await f.close()
        result = await f.readinto1(buffer)
        return result, bytes(memoryview(buffer).cast("B")), await f.tell()


BUFFERS: dict[str, Callable[[], Any]] = {
    "bytearray": lambda: bytearray(4),
    "empty": lambda: bytearray(0),
    "larger-than-file": lambda: bytearray(64),
    "memoryview": lambda: memoryview(bytearray(6))[1:5],
    "array-of-ints": lambda: array.array("i", [0, 0]),
    "bytes": lambda: b"xxxx",
    "str": lambda: "xxxx",
    "int": lambda: 4,
    "none": lambda: None,
    "strided": lambda: memoryview(bytearray(8))[::2],
}


@pytest.mark.parametrize("buffer", BUFFERS)
@pytest.mark.parametrize("state", ["start", "end", "closed"])
def test_readinto1_matches_builtin(tmp_path: Path, buffer: str, state: str) -> None:
    path = tmp_path / "data"
    path.write_bytes(b"" if state == "end" else CONTENT)
    closed = state == "closed"
    theirs = outcome(lambda: builtin_readinto1(path, "rb", BUFFERS[buffer], closed))
    ours = outcome_of(lambda: larkspan_readinto1(path, "rb", BUFFERS[buffer], closed))
    if closed and buffer not in ("bytes", "str", "int", "none", "strided"):
        # builtin names the read it refuses; ours says what every closed handle says.
        assert theirs == (ValueError, "readinto of closed file")
        assert ours == (ValueError, "I/O operation on closed file.")
    else:
        assert ours == theirs


def test_readinto1_on_a_write_only_handle_is_refused_as_builtin_refuses_it(tmp_path: Path) -> None:
    path = tmp_path / "data"
    with open(path, "wb") as f:
        theirs = outcome(lambda: f.readinto1(bytearray(2)))

    async def main() -> int:
        async with larkspan.open(path, "wb") as f:
            return await f.readinto1(bytearray(2))

    assert outcome_of(main)[0] is theirs[0] is io.UnsupportedOperation


def test_readinto1_reads_a_pipe_once(submissions) -> None:
    """From a pipe, readinto1 returns what one read brings, as builtin's does, without waiting for
    the buffer to fill."""
    reading, writing = os.pipe()

    async def main() -> tuple[int, bytes]:
        async with larkspan.open(reading, "rb") as f:
            buffer = bytearray(64)
            os.write(writing, b"short")
            count = await f.readinto1(buffer)
            return count, bytes(buffer[:count])

    try:
        assert asyncio.run(main()) == (5, b"short")
    finally:
        os.close(writing)


# ---- AsyncFile: one type for both kinds of handle ------------------------------------------------


def test_every_handle_is_an_async_file(tmp_path: Path) -> None:
    path = tmp_path / "data"
    path.write_bytes(CONTENT)

    async def main() -> list[bool]:
        async with larkspan.open(path, "rb") as binary, larkspan.open(path, "r") as text:
            with open(path, "rb") as file:
                handles: list[object] = [binary, text, larkspan.wrap_file(file), larkspan.stdout]
                return [isinstance(handle, larkspan.AsyncFile) for handle in handles]

    assert asyncio.run(main()) == [True] * 4
    assert not isinstance(io.BytesIO(), larkspan.AsyncFile)  # its methods are there, but not aclose


async def first_line(f: "larkspan.AsyncFile[Any]") -> Any:
    """Written once for every kind of handle, as anyio's AsyncFile lets code be."""
    async with f:
        return await f.readline()


def test_one_function_takes_binary_and_text_handles(tmp_path: Path) -> None:
    path = tmp_path / "lines"
    path.write_bytes(b"one\ntwo\n")

    async def main() -> list[Any]:
        return [await first_line(await larkspan.open(path, mode)) for mode in ("rb", "r")]

    assert asyncio.run(main()) == [b"one\n", "one\n"]


# ---- limiter ---------------------------------------------------------------------------------


class CountingLimiter:
    """A limiter of `total` places that records how many it gave at most, and how often."""

    def __init__(self, total: int) -> None:
        self._semaphore = asyncio.Semaphore(total)
        self.holding = self.most = self.entries = 0

    async def __aenter__(self) -> None:
        await self._semaphore.acquire()
        self.entries += 1
        self.holding += 1
        self.most = max(self.most, self.holding)

    async def __aexit__(self, *exc_info: object) -> None:
        self.holding -= 1
        self._semaphore.release()


LIMITERS: dict[str, Callable[[], Any]] = {
    "semaphore": lambda: asyncio.Semaphore(2),
    "anyio-capacity-limiter": lambda: anyio.CapacityLimiter(2),
}


@pytest.mark.parametrize("make_limiter", LIMITERS.values(), ids=LIMITERS)
def test_limiter_bounds_the_reads_waiting_on_workers(
    submissions, make_limiter: Callable[[], Any]
) -> None:
    """Five reads of five empty pipes: only two reach a worker until data comes, then all end."""
    pipes = [os.pipe() for _ in range(5)]

    async def main() -> list[bytes]:
        limiter = make_limiter()
        handles = [await larkspan.open(reading, "rb", limiter=limiter) for reading, _ in pipes]
        reads = [asyncio.ensure_future(handle.read(3)) for handle in handles]
        for _ in range(20):
            await asyncio.sleep(0)
        waiting = len(submissions)
        for _, writing in pipes:
            os.write(writing, b"abc")
        results = await asyncio.gather(*reads)
        for handle in handles:
            await handle.close()
        return [waiting, *results]

    try:
        assert asyncio.run(asyncio.wait_for(main(), 60)) == [2] + [b"abc"] * 5
    finally:
        for _, writing in pipes:
            os.close(writing)


def test_inline_calls_never_take_the_limiter(tmp_path: Path) -> None:
    limiter = CountingLimiter(1)

    async def main() -> bytes:
        async with larkspan.open(tmp_path / "data", "w+b", limiter=limiter) as f:
            await f.write(CONTENT)
            await f.seek(0)
            return await f.read()

    assert (asyncio.run(main()), limiter.entries) == (CONTENT, 0)


def test_cancelled_wait_gives_the_limiter_back(submissions) -> None:
    reading, writing = os.pipe()

    async def main() -> tuple[int, bytes]:
        limiter = asyncio.Semaphore(1)
        f = await larkspan.open(reading, "rb", limiter=limiter)
        read = asyncio.ensure_future(f.read(3))
        while not submissions:
            await asyncio.sleep(0)
        read.cancel()
        with pytest.raises(asyncio.CancelledError):
            await read
        free = limiter.locked()
        os.write(writing, b"abc")
        data = await f.read(3)  # what the cancelled read took comes back first
        await f.close()
        return free, data

    try:
        assert asyncio.run(asyncio.wait_for(main(), 60)) == (False, b"abc")
    finally:
        os.close(writing)


@pytest.mark.parametrize("placement", ["inline", "worker"])
def test_path_calls_keep_the_limiter_of_the_paths_they_come_from(
    tmp_path: Path, monkeypatch, placement: str
) -> None:
    (tmp_path / "dir").mkdir()
    for name in "abc":
        (tmp_path / "dir" / name).write_bytes(name.encode())
    limiter = CountingLimiter(2)
    place(monkeypatch, placement)

    async def main() -> list[Any]:
        root = larkspan.Path(tmp_path, limiter=limiter)
        derived = [root / "dir", root.joinpath("dir", "a").parent, (root / "x").with_name("dir")]
        children = sorted([child async for child in (root / "dir").iterdir()])
        sizes = await asyncio.gather(*[(child).stat() for child in children])
        return [
            [p.limiter is limiter for p in derived + children],
            [s.st_size for s in sizes],
            await (root / "dir" / "a").read_bytes(),
        ]

    found = asyncio.run(main())
    assert found == [[True] * 6, [1, 1, 1], b"a"]
    workers = placement == "worker"
    assert (limiter.entries > 0, limiter.most <= 2) == (workers, True)


NOT_LIMITERS: dict[str, Callable[[Path, object], Any]] = {
    "open": lambda p, limiter: larkspan.open(p, limiter=limiter),
    "open_file": lambda p, limiter: larkspan.open_file(p, limiter=limiter),
    "read_bytes": lambda p, limiter: larkspan.read_bytes(p, limiter=limiter),
    "Path": lambda p, limiter: larkspan.Path(p, limiter=limiter),
    "Path.cwd": lambda p, limiter: larkspan.Path.cwd(limiter=limiter),
    "wrap_file": lambda p, limiter: larkspan.wrap_file(io.BytesIO(), limiter=limiter),
}


@pytest.mark.parametrize("limiter", [5, "two", object()], ids=["int", "str", "object"])
@pytest.mark.parametrize("call", NOT_LIMITERS)
def test_a_limiter_that_is_not_an_async_context_manager_is_refused_by_name(
    tmp_path: Path, call: str, limiter: object
) -> None:
    path = tmp_path / "data"
    path.write_bytes(CONTENT)

    async def main() -> Any:
        made = NOT_LIMITERS[call](path, limiter)
        return await made if asyncio.iscoroutine(made) else made

    async def with_it() -> None:
        async with limiter:  # type: ignore[attr-defined]
            pass

    ours, builtins_own = outcome_of(main), outcome_of(with_it)
    assert ours[0] is builtins_own[0] is TypeError
    name = {"open_file": "open", "Path.cwd": "Path"}.get(
        call, call
    )  # one function; cwd() makes a Path
    assert ours[1] == (
        f"{name}() argument 'limiter' must support 'async with' (an anyio.CapacityLimiter or an "
        f"asyncio.Semaphore) or be None, not {type(limiter).__name__}"
    )
    assert not path.with_name("x").exists() and path.read_bytes() == CONTENT
