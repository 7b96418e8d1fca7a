"""Large reads on storage that waits, cut into positional pieces kept in flight together: on a FUSE
file system (latencyfs, with direct I/O) and on a local disk with the file's pages dropped. A
builtin file's seek() and read() on the same bytes are the oracle for the result and the position
left; a piece that fails fails the call when nothing arrived before it; a cancelled read leaves the
position where it was; the loop runs on meanwhile."""

import asyncio
import errno
import itertools
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import TIMEOUT, descriptors, evict, ticking
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from latencyfs import LatencyFs

pytestmark = pytest.mark.threads

KIB = 1024
MIB = 1024 * KIB
NAMES = itertools.count()


def builtin_read(path: Path, start: int, count: int | None) -> tuple[bytes, int]:
    with open(path, "rb") as h:
        h.seek(start)
        data = h.read(-1 if count is None else count)
        return data, h.tell()


async def read_at(path: Path, start: int, count: int | None) -> tuple[bytes, int]:
    async with larkspan.open(path, "rb") as f:
        await f.seek(start)
        data = await f.read(count)
        return data, await f.tell()


@pytest.fixture(scope="module")
def fuse(tmp_path_factory: pytest.TempPathFactory) -> Iterator[LatencyFs]:
    """One mount for the module's examples: direct I/O, so every read reaches the daemon."""
    import latencyfs

    reason = latencyfs.unavailable_reason()
    if reason is not None:
        pytest.skip(reason)
    base = tmp_path_factory.mktemp("split")
    with latencyfs.mounted(base / "backing", base / "mnt", latency_ms=0.0, direct_io=True) as fs:
        yield fs


def content(size: int, seed: int) -> bytes:
    block = bytes((seed + i * 7) % 251 for i in range(4099))  # a period that no piece size divides
    return (block * (size // len(block) + 1))[:size]


READ = st.tuples(
    st.integers(0, 3 * MIB + 1000),  # the file's size
    st.integers(0, 255),  # its bytes
    st.floats(0, 1.1),  # where the read starts, as a share of the size
    st.one_of(st.none(), st.integers(0, 4 * MIB)),  # the count
)


@settings(
    max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(READ)
def test_a_read_on_a_slow_file_system_gives_what_builtin_gives(fuse: LatencyFs, read: Any) -> None:
    size, seed, share, count = read
    name = f"data-{next(NAMES)}"  # a new name: the kernel keeps an old file's size for a second
    (fuse.backing / name).write_bytes(content(size, seed))
    start = int(size * share)
    assert asyncio.run(read_at(fuse.mountpoint / name, start, count)) == builtin_read(
        fuse.backing / name, start, count
    )


@settings(max_examples=12, deadline=None)
@given(
    st.integers(4 * MIB, 13 * MIB),
    st.floats(0, 1),
    st.one_of(st.none(), st.integers(4 * MIB, 12 * MIB)),
)
def test_a_cold_read_on_a_local_disk_gives_what_builtin_gives(
    size: int, share: float, count: int | None
) -> None:
    path = Path(os.environ.get("TMPDIR", "/tmp")) / f"larkspan-split-{os.getpid()}"
    try:
        path.write_bytes(content(size, size % 251))
        evict(path)
        start = int(size * share)
        assert asyncio.run(read_at(path, start, count)) == builtin_read(path, start, count)
    finally:
        path.unlink(missing_ok=True)


def test_the_pieces_wait_on_the_file_system_together(slow_fs: Callable[..., LatencyFs]) -> None:
    fs = slow_fs(20.0)
    data = content(8 * MIB, 3)
    (fs.backing / "data").write_bytes(data)

    async def main() -> tuple[bytes, int]:
        async with larkspan.open(fs.mountpoint / "data", "rb") as f:
            return await f.read(), await f.tell()

    assert asyncio.run(main()) == (data, len(data))
    assert fs.stats().peak_in_flight >= 8


def test_the_loop_runs_while_the_pieces_are_read(slow_fs: Callable[..., LatencyFs]) -> None:
    fs = slow_fs(30.0)
    data = content(4 * MIB, 5)
    (fs.backing / "data").write_bytes(data)

    async def main() -> tuple[bytes, int]:
        async with larkspan.open(fs.mountpoint / "data", "rb") as f:
            return await ticking(f.read(), 0.001)

    got, ticks = asyncio.run(main())
    assert got == data
    assert ticks >= 5


def test_a_read_after_pending_writes_and_a_growing_pwrite_sees_both(fuse: LatencyFs) -> None:
    (fuse.backing / "grow").write_bytes(content(MIB, 9))

    async def main() -> tuple[bytes, int]:
        async with larkspan.open(fuse.mountpoint / "grow", "r+b") as f:
            await f.write(b"pending")
            await f.pwrite(b"tail" * 300_000, MIB)  # the file grows past the size read at open
            await f.seek(0)
            return await f.read(), await f.tell()

    expected = b"pending" + content(MIB, 9)[7:] + b"tail" * 300_000
    assert asyncio.run(main()) == (expected, len(expected))


def test_a_read_whose_pieces_all_fail_raises_the_failure(slow_fs: Callable[..., LatencyFs]) -> None:
    fs = slow_fs(1.0, fail_marker="broken")
    (fs.backing / "broken").write_bytes(content(2 * MIB, 1))

    async def main() -> Any:
        before = descriptors()
        f = await larkspan.open(fs.mountpoint / "broken", "rb")
        outcome = (await asyncio.gather(f.read(), return_exceptions=True))[0]
        position = await f.tell()
        await f.close()
        assert descriptors() == before
        return outcome, position

    outcome, position = asyncio.run(main())
    assert isinstance(outcome, OSError) and outcome.errno == errno.EIO, outcome
    assert position == 0


def test_a_read_when_the_daemon_dies_raises_and_the_handle_closes(
    slow_fs: Callable[..., LatencyFs],
) -> None:
    fs = slow_fs(200.0)
    (fs.backing / "data").write_bytes(content(4 * MIB, 2))

    async def main() -> Any:
        f = await larkspan.open(fs.mountpoint / "data", "rb")
        reading = asyncio.ensure_future(f.read())
        await asyncio.sleep(0.05)  # the pieces wait on the daemon
        fs.kill()
        outcome = (await asyncio.gather(reading, return_exceptions=True))[0]
        await asyncio.gather(f.close(), return_exceptions=True)
        return outcome, f.closed

    outcome, closed = asyncio.run(asyncio.wait_for(main(), TIMEOUT))
    # Requests in flight fail with ECONNABORTED as the connection goes, later ones with ENOTCONN.
    assert isinstance(outcome, OSError) and outcome.errno in (errno.ENOTCONN, errno.ECONNABORTED), (
        outcome
    )
    assert closed


def test_a_cancelled_read_leaves_the_position_where_it_was(
    slow_fs: Callable[..., LatencyFs],
) -> None:
    fs = slow_fs(30.0)
    data = content(4 * MIB, 4)
    (fs.backing / "data").write_bytes(data)

    async def main() -> list[Any]:
        async with larkspan.open(fs.mountpoint / "data", "rb") as f:
            await f.seek(1000)
            reading = asyncio.ensure_future(f.read(3 * MIB))
            for _ in range(10):
                await asyncio.sleep(0)  # the pieces are on the engine's threads
            reading.cancel()
            cancelled = (await asyncio.gather(reading, return_exceptions=True))[0]
            return [
                type(cancelled),
                await f.tell(),
                await f.read(3 * MIB) == data[1000 : 1000 + 3 * MIB],
            ]

    assert asyncio.run(main()) == [asyncio.CancelledError, 1000, True]
