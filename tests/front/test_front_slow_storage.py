"""The front on slow and failing storage: a FUSE file system whose every request waits, fails with
EIO, or whose daemon dies. The loop's freedom is counted in ticks of a ticker task while calls wait.
"""

import asyncio
import errno
import os
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import descriptors, fill, ticking

LATENCY_MS = 30.0


pytestmark = pytest.mark.threads  # calls run on worker threads


async def open_and_read(path: Any, mode: str = "rb", size: int | None = None) -> Any:
    async with larkspan.open(path, mode) as f:
        return await f.read(size)


CALLS = {
    "open+read": lambda path: open_and_read(path),
    "read(4096)": lambda path: open_and_read(path, size=4096),
    "readline": lambda path: first_line(path),
    "write+close": lambda path: write_all(path.with_name("out"), b"w" * 100_000),
}


async def first_line(path: Any) -> str:
    async with larkspan.open(path, "r") as f:
        return await f.readline()


async def write_all(path: Any, data: bytes) -> int:
    async with larkspan.open(path, "wb") as f:
        return await f.write(data)


@pytest.mark.parametrize("call", CALLS)
def test_loop_runs_while_a_slow_file_system_answers(slow_fs, call: str) -> None:
    fs = slow_fs(LATENCY_MS)
    (fs.backing / "data").write_bytes(b"line\n" * 2000)
    result, ticks = asyncio.run(ticking(CALLS[call](fs.mountpoint / "data"), pause=0.001))
    assert ticks >= 5, f"the loop ticked only {ticks} times during several {LATENCY_MS} ms requests"
    expected = {
        "open+read": b"line\n" * 2000,
        "read(4096)": (b"line\n" * 2000)[:4096],
        "readline": "line\n",
    }
    assert result == expected.get(call, 100_000)
    if call == "write+close":
        assert (fs.backing / "out").read_bytes() == b"w" * 100_000


@pytest.mark.parametrize("call", CALLS)
def test_a_slow_file_system_is_not_asked_what_it_is(slow_fs, call: str) -> None:
    # The mount table tells; a statfs there would be one more round trip before every first call.
    fs = slow_fs(1.0)  # a new mount, a new device: nothing is remembered of it yet
    (fs.backing / "data").write_bytes(b"line\n" * 2000)
    asyncio.run(CALLS[call](fs.mountpoint / "data"))
    assert fs.stats().statfs_requests == 0
    os.statvfs(fs.mountpoint)  # and the counter counts
    assert fs.stats().statfs_requests == 1


def test_opening_a_descriptor_on_a_slow_file_system_leaves_the_loop_free(slow_fs) -> None:
    fs = slow_fs(LATENCY_MS)
    (fs.backing / "data").write_bytes(b"data")
    descriptor = os.open(fs.mountpoint / "data", os.O_RDONLY)
    time.sleep(
        1.1
    )  # the kernel's copy of the attributes expires after libfuse's second: fstat asks again

    async def main() -> tuple[bytes, int]:
        f, ticks = await ticking(opened(descriptor), pause=0.001)
        async with f:
            return await f.read(), ticks

    data, ticks = asyncio.run(main())
    assert data == b"data"
    assert ticks >= 5, (
        f"the loop ticked only {ticks} times while the descriptor's file system answered"
    )


async def opened(descriptor: int) -> Any:
    return await larkspan.open(descriptor, "rb")


def test_concurrent_reads_on_a_slow_file_system_overlap(slow_fs) -> None:
    fs = slow_fs(LATENCY_MS)
    for i in range(32):
        (fs.backing / f"f{i}").write_bytes(bytes([i]) * 4096)

    async def main() -> list[bytes]:
        return await asyncio.gather(*(open_and_read(fs.mountpoint / f"f{i}") for i in range(32)))

    assert asyncio.run(main()) == [bytes([i]) * 4096 for i in range(32)]
    # The requests waited side by side, not one after another (first lookups of names in one
    # directory still reach this FUSE daemon one at a time, which bounds the overlap).
    assert fs.stats().peak_in_flight >= 4


def test_cancelled_read_on_a_slow_file_is_read_again(slow_fs) -> None:
    fs = slow_fs(LATENCY_MS)
    data = bytes(range(256)) * 64
    (fs.backing / "data").write_bytes(data)

    async def main() -> tuple[bytes, bytes, int]:
        f = await larkspan.open(fs.mountpoint / "data", "rb")
        read = asyncio.ensure_future(f.read(1000))
        await asyncio.sleep(LATENCY_MS / 3000)  # the read is on a worker, waiting for the daemon
        read.cancel()
        again = await f.read(1000)
        rest = await f.read()
        position = await f.tell()
        await f.close()
        return again, rest, position

    again, rest, position = asyncio.run(main())
    assert (again, rest, position) == (data[:1000], data[1000:], len(data))


CONTENT = b"line one\nline two\n"
ARRIVED = 12  # the storage fails from this byte on


async def lines_of(f: Any) -> list[Any]:
    return [line async for line in f]


async def filled(f: Any) -> bytes:
    buffer = bytearray(100)
    return bytes(buffer[: await f.readinto(buffer)])


# mode, the call, and what it gives when the storage fails part-way: the bytes before the failure
FAILING: dict[str, tuple[str, Callable[[Any], Any], Any]] = {
    "read": ("rb", lambda f: f.read(), CONTENT[:ARRIVED]),
    "read(100)": ("rb", lambda f: f.read(100), CONTENT[:ARRIVED]),
    "read(100000)": ("rb", lambda f: f.read(100000), CONTENT[:ARRIVED]),
    "readall": ("rb", lambda f: f.readall(), CONTENT[:ARRIVED]),
    "readline": ("rb", lambda f: f.readline(), b"line one\n"),
    "readinto": ("rb", filled, CONTENT[:ARRIVED]),
    "readlines": ("rb", lambda f: f.readlines(), [b"line one\n", b"lin"]),
    "async-for": ("rb", lines_of, None),  # the lines that arrived, then the failure, in one call
    "text-read": ("r", lambda f: f.read(), CONTENT[:ARRIVED].decode()),
    "text-readline": ("r", lambda f: f.readline(), "line one\n"),
}


@pytest.mark.parametrize("fail_from", [0, ARRIVED], ids=["at-once", "part-way"])
@pytest.mark.parametrize(("mode", "call", "arrived"), FAILING.values(), ids=FAILING.keys())
def test_read_failing_with_eio_raises_after_what_arrived(
    slow_fs, mode: str, call: Callable[[Any], Any], arrived: Any, fail_from: int
) -> None:
    fs = slow_fs(1.0, fail_marker="broken", fail_from=fail_from)
    (fs.backing / "broken").write_bytes(CONTENT)

    async def main() -> list[Any]:
        before = descriptors()
        f = await larkspan.open(fs.mountpoint / "broken", mode)
        outcomes = [
            outcome(result)
            for result in await asyncio.gather(call(f), call(f), return_exceptions=True)
        ]
        await f.close()
        assert descriptors() == before
        return outcomes

    eio = (OSError, errno.EIO)
    if arrived is None:  # the iteration ends at the failure, never as if the file had ended
        assert asyncio.run(main()) == [eio, eio]
    else:
        assert asyncio.run(main()) == ([arrived] if fail_from else [eio]) + [eio]


@pytest.mark.parametrize(
    "helper", [larkspan.read_bytes, larkspan.read_text], ids=["read_bytes", "read_text"]
)
def test_whole_file_helpers_raise_for_failing_storage(
    slow_fs, helper: Callable[[Path], Any]
) -> None:
    fs = slow_fs(1.0, fail_marker="broken", fail_from=ARRIVED)
    (fs.backing / "broken").write_bytes(CONTENT)
    with pytest.raises(
        OSError
    ) as failure:  # never the bytes that arrived, as if they were the whole file
        asyncio.run(helper(fs.mountpoint / "broken"))
    assert failure.value.errno == errno.EIO


def outcome(result: Any) -> Any:
    return (type(result), result.errno) if isinstance(result, OSError) else result


def test_written_bytes_that_fail_with_eio_are_reported_by_flush_and_close(slow_fs) -> None:
    fs = slow_fs(1.0, fail_marker="broken")

    async def main() -> list[Any]:
        f = await larkspan.open(fs.mountpoint / "broken", "wb")
        accepted = await f.write(b"kept")
        failures = await asyncio.gather(f.flush(), f.close(), return_exceptions=True)
        return [accepted, *[(type(e), str(e)) for e in failures], f.closed]

    eio = (OSError, "[Errno 5] Input/output error")
    assert asyncio.run(main()) == [
        4,
        eio,
        eio,
        True,
    ]  # as builtin's close: the error, and the file closed


def full_tmpfs(request: pytest.FixtureRequest) -> tuple[Path, Callable[[], None]]:
    directory: Path = request.getfixturevalue("small_tmpfs")
    return directory / "file", lambda: fill(directory)


def failing_file(request: pytest.FixtureRequest) -> tuple[Path, Callable[[], None]]:
    fs = request.getfixturevalue("slow_fs")(1.0, fail_marker="broken")
    return fs.mountpoint / "broken", lambda: None


def dying_daemon(request: pytest.FixtureRequest) -> tuple[Path, Callable[[], None]]:
    fs = request.getfixturevalue("slow_fs")(1.0)
    return fs.mountpoint / "file", fs.kill


# Each makes a path, and the fault that strikes once the file is open with bytes pending; the errno
# of the flush.
FAILED_FLUSHES: dict[
    str, tuple[Callable[[pytest.FixtureRequest], tuple[Path, Callable[[], None]]], int]
] = {
    "full-tmpfs": (full_tmpfs, errno.ENOSPC),
    "eio": (failing_file, errno.EIO),
    "daemon-killed": (dying_daemon, errno.ENOTCONN),
}


@pytest.mark.parametrize("mode", ["wb", "w"], ids=["binary", "text"])
@pytest.mark.parametrize(("make", "error"), FAILED_FLUSHES.values(), ids=FAILED_FLUSHES.keys())
def test_close_whose_flush_fails_raises_and_releases_the_descriptor(
    request: pytest.FixtureRequest,
    make: Callable[..., tuple[Path, Callable[[], None]]],
    error: int,
    mode: str,
) -> None:
    path, fault = make(request)

    async def main() -> None:
        before = descriptors()
        f = await larkspan.open(path, mode)
        await f.write(b"pending" if mode == "wb" else "pending")
        fault()
        with pytest.raises(OSError) as failure:
            await f.close()
        assert (failure.value.errno, f.closed, descriptors()) == (error, True, before)
        await f.close()  # nothing left to close, nothing to raise
        with pytest.raises(ValueError):
            await f.write(b"more" if mode == "wb" else "more")

    asyncio.run(main())


def test_daemon_dying_mid_read_raises_instead_of_hanging(slow_fs) -> None:
    fs = slow_fs(200.0)
    (fs.backing / "data").write_bytes(b"x" * 100_000)

    async def main() -> Any:
        before = descriptors()
        f = await larkspan.open(fs.mountpoint / "data", "rb")
        reading = asyncio.ensure_future(f.read())
        await asyncio.sleep(0.05)  # the read waits on the daemon
        fs.kill()
        failure = (await asyncio.gather(reading, return_exceptions=True))[0]
        with pytest.raises(OSError) as closing:  # the daemon cannot flush
            await f.close()
        assert closing.value.errno == errno.ENOTCONN
        assert f.closed and descriptors() == before  # the descriptor is given up all the same
        return failure

    failure = asyncio.run(main())
    assert isinstance(failure, OSError) and failure.errno == errno.ENOTCONN, (
        failure
    )  # never an early end


def test_a_path_with_a_nul_on_a_slow_file_system_is_refused_as_builtin_refuses_it(
    slow_fs,
) -> None:
    fs = slow_fs(1.0)
    (fs.backing / "f").write_bytes(b"kept")
    path = f"{fs.mountpoint}/f\0x"
    with pytest.raises(ValueError) as theirs:
        open(path, "rb")
    with pytest.raises(ValueError) as ours:
        asyncio.run(larkspan.open(path, "rb").__aenter__())
    assert str(ours.value) == str(theirs.value)
