"""pread() and pwrite() on binary handles: os.pread/os.pwrite on a builtin file's descriptor are the
oracle for results, errors and bytes on disk. They leave the position alone, see the writes the
handle accepted before them (as os.pread does after builtin's flush), make later reads through the
handle see what they wrote, never wait for the handle's other calls, and keep the descriptor open
until they end."""

import asyncio
import errno
import io
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import TIMEOUT, descriptors, disk, evict, outcome
from larkspan._engine import LARGE_COPY, WOULD_BLOCK, File

DATA = bytes(range(256)) * 200  # 51,200 bytes


async def async_outcome(call: Callable[[], Any]) -> Any:
    try:
        return await call()
    except Exception as error:
        return type(error), str(error)


@pytest.fixture(params=["disk", "memory", "cold"])
def place(request: pytest.FixtureRequest, tmp_path: Path) -> Callable[[bytes], str]:
    """Makes a file holding `content` on a local disk (its pages cached), in memory, or on a disk
    with its pages dropped, so each of the inline, cached and worker paths runs."""

    names = iter(range(1_000_000))

    def make(content: bytes) -> str:
        directory = Path("/dev/shm") if request.param == "memory" else tmp_path
        path = directory / f"positional-{os.getpid()}-{id(names)}-{next(names)}"
        path.write_bytes(content)
        if request.param == "memory":
            request.addfinalizer(lambda: path.unlink(missing_ok=True))
        if request.param == "cold":
            evict(path)
        return str(path)

    if request.param == "memory" and not os.access("/dev/shm", os.W_OK):
        pytest.skip("needs a writable /dev/shm")
    return make


READS = {
    "start": (100, 0),
    "middle": (1000, 20_000),
    "across-the-end": (1000, len(DATA) - 10),
    "at-the-end": (10, len(DATA)),
    "past-the-end": (10, len(DATA) + 5000),
    "nothing": (0, 7),
    "all": (len(DATA), 0),
    "more-than-all": (10 * len(DATA), 0),
    "larger-than-a-small-read": (20_000, 3),
}


@pytest.mark.parametrize(("size", "offset"), READS.values(), ids=READS.keys())
def test_pread_returns_what_os_pread_returns_and_leaves_the_position(
    place: Callable[[bytes], str], size: int, offset: int
) -> None:
    path = place(DATA)
    expected = os.pread(fd := os.open(path, os.O_RDONLY), size, offset)
    os.close(fd)

    async def main() -> tuple[bytes, int, bytes]:
        async with larkspan.open(path, "rb") as f:
            await f.read(5)
            data = await f.pread(size, offset)
            return data, await f.tell(), await f.read(5)

    assert asyncio.run(main()) == (expected, 5, DATA[5:10])


WRITES = {
    "start": (b"abc", 0),
    "middle": (b"x" * 1000, 20_000),
    "across-the-end": (b"y" * 100, len(DATA) - 10),
    "past-the-end-leaves-a-hole": (b"z", len(DATA) + 4096),
    "nothing": (b"", 5),
    "bytearray": (bytearray(b"ba"), 1),
    "memoryview": (memoryview(b"0123456789")[2:8], 3),
}


@pytest.mark.parametrize(("data", "offset"), WRITES.values(), ids=WRITES.keys())
@pytest.mark.parametrize("mode", ["r+b", "ab", "wb"])
def test_pwrite_lands_as_os_pwrite_and_leaves_the_position(
    place: Callable[[bytes], str], mode: str, data: Any, offset: int
) -> None:
    ours, theirs = place(DATA), place(DATA)
    with open(theirs, mode) as h:
        h.write(b"head")
        h.flush()
        expected_count = os.pwrite(h.fileno(), data, offset)  # in append mode Linux appends
        expected_position = h.tell()
        h.write(b"tail")

    async def main() -> tuple[int, int]:
        async with larkspan.open(ours, mode) as f:
            await f.write(b"head")
            count = await f.pwrite(data, offset)
            position = await f.tell()
            await f.write(b"tail")
            return count, position

    count, position = asyncio.run(main())
    assert (count, position) == (expected_count, expected_position)
    assert disk(ours) == disk(theirs)


def test_pread_sees_the_writes_the_handle_accepted_before_it(place: Callable[[bytes], str]) -> None:
    path = place(DATA)

    async def main() -> list[bytes]:
        async with larkspan.open(path, "r+b") as f:
            await f.seek(100)
            await f.write(b"pending")  # still in the handle's buffer
            return [await f.pread(9, 99), await f.read(3)]

    assert asyncio.run(main()) == [DATA[99:100] + b"pending" + DATA[107:108], DATA[107:110]]


def test_reads_through_the_handle_see_what_pwrite_wrote(place: Callable[[bytes], str]) -> None:
    lines = b"".join(b"line %04d\n" % i for i in range(2000))
    path = place(lines)

    async def main() -> list[bytes]:
        async with larkspan.open(path, "r+b") as f:
            first = await f.readline()  # reads a block ahead
            await f.pwrite(b"LINE", 10)
            await f.pwrite(b"LINE", 30)
            return [
                first,
                await f.readline(),
                await f.read(10),
                await f.readline(),
                await f.pread(4, 30),
            ]

    assert asyncio.run(main()) == [
        b"line 0000\n",
        b"LINE 0001\n",
        b"line 0002\n",
        b"LINE 0003\n",
        b"LINE",
    ]


BAD_READS = {
    "negative-size": (-1, 0),
    "negative-offset": (10, -1),
    "str-size": ("5", 0),
    "float-offset": (5, 1.5),
    "none-offset": (5, None),
    "size-beyond-ssize_t": (2**63, 0),
    "offset-beyond-long": (5, 2**63),
}


@pytest.mark.parametrize(("size", "offset"), BAD_READS.values(), ids=BAD_READS.keys())
def test_bad_pread_arguments_raise_what_os_pread_raises(
    make_file: Callable[..., str], size: Any, offset: Any
) -> None:
    path = make_file(DATA)
    with open(path, "rb") as h:
        expected = outcome(lambda: os.pread(h.fileno(), size, offset))

    async def main() -> Any:
        async with larkspan.open(path, "rb") as f:
            return await async_outcome(lambda: f.pread(size, offset)), await f.tell()

    assert asyncio.run(main()) == (expected, 0)


BAD_WRITES = {
    "str": ("text", 0),
    "none": (None, 0),
    "int": (3, 0),
    "not-contiguous": (memoryview(b"abcdef")[::2], 0),
    "negative-offset": (b"x", -1),
    "str-offset": (b"x", "1"),
    "offset-beyond-long": (b"x", 2**63),
}


@pytest.mark.parametrize(("data", "offset"), BAD_WRITES.values(), ids=BAD_WRITES.keys())
def test_bad_pwrite_arguments_raise_what_os_pwrite_raises(
    make_file: Callable[..., str], data: Any, offset: Any
) -> None:
    path = make_file(DATA)
    with open(path, "r+b") as h:
        expected = outcome(lambda: os.pwrite(h.fileno(), data, offset))

    async def main() -> Any:
        async with larkspan.open(path, "r+b") as f:
            return await async_outcome(lambda: f.pwrite(data, offset))

    assert asyncio.run(main()) == expected
    assert disk(path) == DATA


REFUSALS = {
    "pread-write-only": ("wb", lambda f: f.pread(1, 0), (io.UnsupportedOperation, "pread")),
    "pwrite-read-only": ("rb", lambda f: f.pwrite(b"x", 0), (io.UnsupportedOperation, "pwrite")),
    "pread-closed": ("rb", "closed", (ValueError, "I/O operation on closed file.")),
    "pwrite-closed": ("r+b", "closed", (ValueError, "I/O operation on closed file.")),
}


@pytest.mark.parametrize(("mode", "call", "expected"), REFUSALS.values(), ids=REFUSALS.keys())
def test_a_handle_refuses_what_its_mode_or_state_forbids(
    make_file: Callable[..., str], mode: str, call: Any, expected: tuple[type, str]
) -> None:
    path = make_file(DATA)

    async def main() -> Any:
        f = await larkspan.open(path, mode)
        if call == "closed":
            await f.close()
            return await async_outcome(
                lambda: f.pread(1, 0) if "+" not in mode else f.pwrite(b"x", 0)
            )
        try:
            return await async_outcome(lambda: call(f))
        finally:
            await f.close()

    assert asyncio.run(main()) == expected
    assert disk(path) == DATA or mode == "wb"


def test_text_handles_have_no_positional_calls_as_builtin_text_files(
    make_file: Callable[..., str],
) -> None:
    path = make_file(DATA)

    async def main() -> list[bool]:
        async with larkspan.open(path, "r", encoding="latin-1") as f:
            return [hasattr(f, "pread"), hasattr(f, "pwrite")]

    with open(path, encoding="latin-1") as h:
        assert asyncio.run(main()) == [hasattr(h, "pread"), hasattr(h, "pwrite")] == [False, False]


@pytest.mark.parametrize("call", ["pread", "pwrite"])
def test_a_pipe_refuses_positions_as_os_calls_do(call: str) -> None:
    read_end, write_end = os.pipe()
    expected = outcome(
        lambda: os.pread(read_end, 1, 0) if call == "pread" else os.pwrite(write_end, b"x", 0)
    )

    async def main() -> Any:
        f = await larkspan.open(
            read_end if call == "pread" else write_end, "rb" if call == "pread" else "wb"
        )
        try:
            return await async_outcome(
                lambda: f.pread(1, 0) if call == "pread" else f.pwrite(b"x", 0)
            )
        finally:
            await f.close()

    assert expected[0] is OSError and "Illegal seek" in expected[1]
    assert asyncio.run(main()) == expected


# ---- beside the handle's other calls -------------------------------------------------------------


@pytest.mark.threads
def test_positional_calls_do_not_wait_for_a_call_that_holds_the_turn(tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    async def main() -> list[Any]:
        async with larkspan.open(
            fifo, "r+b"
        ) as f:  # read and write ends at once: the open does not wait
            waiting = asyncio.ensure_future(f.readline())  # holds the turn until a line arrives
            for _ in range(5):
                await asyncio.sleep(0)
            refused = [
                await async_outcome(lambda: f.pread(1, 0)),
                await async_outcome(lambda: f.pwrite(b"x", 0)),
            ]
            still_waiting = not waiting.done()
            os.write(f.fileno(), b"line\n")
            return [*refused, still_waiting, await asyncio.wait_for(waiting, TIMEOUT)]

    spipe = (OSError, "[Errno 29] Illegal seek")
    assert asyncio.run(main()) == [spipe, spipe, True, b"line\n"]


@pytest.mark.threads
def test_many_preads_wait_on_a_slow_file_system_together(slow_fs: Callable[..., Any]) -> None:
    fs = slow_fs(50.0)
    data = os.urandom(64 * 4096)
    (fs.backing / "data").write_bytes(data)
    offsets = list(range(0, len(data), 4096))[::-1]

    async def main() -> list[bytes]:
        async with larkspan.open(fs.mountpoint / "data", "rb") as f:
            return await asyncio.gather(*(f.pread(4096, offset) for offset in offsets))

    assert asyncio.run(main()) == [data[offset : offset + 4096] for offset in offsets]
    assert fs.stats().peak_in_flight >= 8


@pytest.mark.threads
def test_close_waits_for_positional_calls_in_flight(slow_fs: Callable[..., Any]) -> None:
    fs = slow_fs(30.0)
    data = os.urandom(16 * 4096)
    (fs.backing / "data").write_bytes(data)

    async def main() -> list[Any]:
        before = descriptors()
        f = await larkspan.open(fs.mountpoint / "data", "r+b")
        reads = [asyncio.ensure_future(f.pread(4096, i * 4096)) for i in range(8)]
        writes = [asyncio.ensure_future(f.pwrite(b"w" * 10, 9 * 4096 + i * 10)) for i in range(4)]
        for _ in range(5):
            await asyncio.sleep(0)
        await f.close()
        results = await asyncio.gather(*reads, *writes)
        assert f.closed and descriptors() == before
        return results

    assert asyncio.run(main()) == [data[i * 4096 : (i + 1) * 4096] for i in range(8)] + [10] * 4
    assert disk(fs.backing / "data")[9 * 4096 : 9 * 4096 + 40] == b"w" * 40


@pytest.mark.threads
def test_a_cancelled_pread_leaves_the_handle_as_it_was(slow_fs: Callable[..., Any]) -> None:
    fs = slow_fs(30.0)
    data = DATA * 200  # 10 MB: the pread's pages lie far past what the first read brought in
    (fs.backing / "data").write_bytes(data)
    far = len(data) - 1000

    async def main() -> list[Any]:
        async with larkspan.open(fs.mountpoint / "data", "rb") as f:
            await f.read(3)
            reading = asyncio.ensure_future(f.pread(100, far))
            for _ in range(5):
                await asyncio.sleep(0)
            reading.cancel()
            cancelled = await asyncio.gather(reading, return_exceptions=True)
            return [type(cancelled[0]), await f.tell(), await f.read(3), await f.pread(4, far)]

    assert asyncio.run(main()) == [asyncio.CancelledError, 3, data[3:6], data[far : far + 4]]


def test_positional_failures_raise_the_system_error(slow_fs: Callable[..., Any]) -> None:
    fs = slow_fs(1.0, fail_marker="broken")
    (fs.backing / "broken").write_bytes(DATA)

    async def main() -> list[Any]:
        async with larkspan.open(fs.mountpoint / "broken", "r+b") as f:
            return [
                await async_outcome(lambda: f.pread(10, 0)),
                await async_outcome(lambda: f.pwrite(b"x", 0)),
            ]

    eio = (OSError, os.strerror(errno.EIO))
    assert [(kind, text.split("] ")[-1]) for kind, text in asyncio.run(main())] == [eio, eio]


# ---- the engine's placement ----------------------------------------------------------------------


def test_engine_reads_by_position_inline_only_from_the_page_cache(tmp_path: Path) -> None:
    path = tmp_path / "data"
    path.write_bytes(DATA)
    evict(path)
    f = File(str(path), "rb")
    f.open()
    try:
        assert f.pread(100, 5000, True) is WOULD_BLOCK
        assert f.pread(100, 5000, False) == DATA[5000:5100]
        assert f.pread(100, 5000, True) == DATA[5000:5100]  # cached by the blocking read
        assert f.pread(LARGE_COPY + 1, 0, True) is WOULD_BLOCK  # too much to copy on the loop
        assert f.tell() == 0
    finally:
        f.close(False)


def test_engine_positional_calls_with_pending_writes_on_slow_storage_go_to_a_worker(
    slow_fs: Callable[..., Any],
) -> None:
    fs = slow_fs(1.0)
    (fs.backing / "data").write_bytes(DATA)
    f = File(str(fs.mountpoint / "data"), "r+b")
    f.open()
    try:
        f.write(b"pending", False)
        assert f.pread(7, 0, True) is WOULD_BLOCK
        assert f.pwrite(b"x", 100, True) is WOULD_BLOCK
        assert disk(fs.backing / "data") == DATA  # nothing handed over yet
        assert f.pread(7, 0, False) == b"pending"
    finally:
        f.close(False)
