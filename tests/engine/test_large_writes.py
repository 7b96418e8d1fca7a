"""Large writes on storage that serves requests side by side (latencyfs, direct I/O), handed to the
kernel as one asynchronous request: a builtin file doing the same calls on a local copy is the
oracle for the bytes and the position; a file system that fails part-way leaves what builtin's
write leaves there, with the same error."""

import asyncio
import contextlib
import errno
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import descriptors
from latencyfs import LatencyFs

pytestmark = pytest.mark.threads

MIB = 1024 * 1024
BIG = bytes(range(251)) * (8 * MIB // 251 + 1)  # no period a request size divides

# mode, the file before, the calls: ("seek", offset) or ("write", bytes)
CALLS: dict[str, tuple[str, bytes | None, list[tuple[str, Any]]]] = {
    "new-file": ("wb", None, [("write", BIG[: 8 * MIB])]),
    "after-pending-bytes": ("wb", None, [("write", b"head"), ("write", BIG[: 3 * MIB])]),
    "over-the-middle": ("r+b", b"x" * (3 * MIB), [("seek", 1000), ("write", BIG[: MIB + 7])]),
    "past-the-end": ("r+b", b"x" * 100, [("seek", 5000), ("write", BIG[: 2 * MIB])]),
    "append": ("ab", b"x" * 100, [("write", BIG[: 2 * MIB])]),
    "just-below-the-cut": ("wb", None, [("write", BIG[: 512 * 1024 - 1])]),
}


def builtin_calls(path: Path, mode: str, calls: list[tuple[str, Any]]) -> int:
    with open(path, mode) as h:
        for name, argument in calls:
            getattr(h, name)(argument)
        return h.tell()


async def larkspan_calls(path: Path, mode: str, calls: list[tuple[str, Any]]) -> int:
    async with larkspan.open(path, mode) as f:
        for name, argument in calls:
            await getattr(f, name)(argument)
        return await f.tell()


@pytest.mark.parametrize(("mode", "before", "calls"), CALLS.values(), ids=CALLS.keys())
def test_large_writes_leave_what_builtin_leaves(
    slow_fs: Callable[..., LatencyFs],
    tmp_path: Path,
    mode: str,
    before: bytes | None,
    calls: list[tuple[str, Any]],
) -> None:
    fs = slow_fs(1.0, direct_io=True)
    oracle = tmp_path / "oracle"
    for path in (fs.backing / "f", oracle):
        if before is not None:
            path.write_bytes(before)
    position = asyncio.run(larkspan_calls(fs.mountpoint / "f", mode, calls))
    assert position == builtin_calls(oracle, mode, calls)
    assert (fs.backing / "f").read_bytes() == oracle.read_bytes()


def test_a_large_write_reaches_the_file_system_as_requests_in_flight_together(
    slow_fs: Callable[..., LatencyFs],
) -> None:
    fs = slow_fs(20.0, direct_io=True)
    asyncio.run(larkspan_calls(fs.mountpoint / "f", "wb", [("write", BIG[: 8 * MIB])]))
    assert fs.stats().peak_in_flight >= 4  # write(2) sends one request at a time
    assert (fs.backing / "f").read_bytes() == BIG[: 8 * MIB]


def builtin_failure(path: Path, data: bytes) -> int | None:
    try:
        with open(path, "wb") as h:
            h.write(data)
    except OSError as error:
        return error.errno
    return None


async def larkspan_failure(path: Path, data: bytes) -> int | None:
    f = await larkspan.open(path, "wb")
    try:
        await f.write(data)
        await f.flush()
    except OSError as error:
        return error.errno
    finally:
        try:
            await f.close()
        except OSError:
            pass
    return None


@pytest.mark.parametrize(
    "fail_from", [0, 3 * MIB + 100, 8 * MIB - 1], ids=["at-once", "part-way", "last-byte"]
)
def test_a_large_write_that_fails_part_way_leaves_what_builtin_leaves(
    slow_fs: Callable[..., LatencyFs], fail_from: int
) -> None:
    fs = slow_fs(1.0, fail_marker="bad", fail_from=fail_from)
    data = BIG[: 8 * MIB]
    assert asyncio.run(larkspan_failure(fs.mountpoint / "bad-larkspan", data)) == errno.EIO
    assert builtin_failure(fs.mountpoint / "bad-builtin", data) == errno.EIO
    landed = (fs.backing / "bad-larkspan").read_bytes()
    assert landed == (fs.backing / "bad-builtin").read_bytes() == data[:fail_from]
    assert os.path.getsize(fs.backing / "bad-larkspan") == fail_from


def test_a_large_write_whose_daemon_dies_raises_instead_of_hanging(
    slow_fs: Callable[..., LatencyFs],
) -> None:
    fs = slow_fs(200.0, direct_io=True)

    async def main() -> tuple[Any, int, bool]:
        before = descriptors()
        f = await larkspan.open(fs.mountpoint / "f", "wb")
        writing = asyncio.ensure_future(f.write(BIG[: 8 * MIB]))
        await asyncio.sleep(0.05)  # the requests wait on the daemon
        fs.kill()
        failure = (await asyncio.gather(writing, return_exceptions=True))[0]
        with contextlib.suppress(OSError):  # nothing is pending: closing may fail or not
            await f.close()
        return failure, descriptors() - before, f.closed

    failure, leaked, closed = asyncio.run(asyncio.wait_for(main(), 60))
    assert isinstance(failure, OSError) and failure.errno == errno.ENOTCONN, failure
    assert (leaked, closed) == (0, True)
