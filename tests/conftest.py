"""Shared fixtures and helpers: real files in a temporary directory, children under timeouts."""

import asyncio
import faulthandler
import os
import pickle
import subprocess
import sys
from collections.abc import Callable, Coroutine, Iterator
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import pytest

from _larkspan_core import AsyncFile

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts" / "latencyfs"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))  # the differential fuzzer's package
import latencyfs  # noqa: E402  (found through the path entry above)

TIMEOUT = 60  # seconds a child may take: a fault that blocks fails its test instead of hanging the suite


def disk(path: str | bytes) -> bytes:
    """What the file holds, read by builtin open()."""
    with open(path, "rb") as h:
        return h.read()


def letters(sizes: list[int]) -> list[bytes]:
    """One run of a distinct letter per size, so that order and duplication show on disk."""
    return [bytes([97 + i % 26]) * n for i, n in enumerate(sizes)]


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def run_child(script: str, *args: str) -> str:
    """Runs `script` in a fresh interpreter, which must exit cleanly, and returns what it printed."""
    result = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stdout[-1000:] + result.stderr[-2000:]
    return result.stdout


@pytest.fixture
def make_file(tmp_path: Path) -> Callable[..., str]:
    """Creates a file holding `content` and returns its path as a str."""
    counter = iter(range(1_000_000))

    def make(content: bytes = b"", name: str | None = None) -> str:
        path = tmp_path / (name or f"file{next(counter)}")
        path.write_bytes(content)
        return str(path)

    return make


@pytest.fixture
def opened(make_file: Callable[..., str]) -> Iterator[Callable[..., AsyncFile]]:
    """Opens an AsyncFile over a new file holding `content`; closed after the test."""
    files: list[AsyncFile] = []

    def open_with(content: bytes = b"", mode: str = "rb") -> AsyncFile:
        f = AsyncFile(make_file(content), mode).open()
        files.append(f)
        return f

    yield open_with
    for f in files:
        try:
            f.close()
        except RuntimeError:
            pass  # a test that left bytes the stream refuses; destruction drops them


@pytest.fixture
def full_disk() -> Callable[[], AsyncFile]:
    """Opens objects on /dev/full, which refuses every byte; destruction drops what they leave pending."""
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    return lambda: AsyncFile("/dev/full", "wb").open()


# The reader evaluates each expression on `f` and pickles the values, or each error's class and text.
FIFO_READER = """
import pickle, sys
from _larkspan_core import AsyncFile
f = AsyncFile(sys.argv[1], "rb").open()
def into(size):
    buffer = bytearray(size)
    return bytes(buffer[: f.readinto(buffer)])
def outcome(expression):
    try:
        return eval(expression)
    except Exception as error:
        return type(error).__name__, str(error)
print(pickle.dumps([outcome(e) for e in sys.argv[2:]]).hex())
"""
FIFO_WRITER = "import sys; open(sys.argv[1], 'wb').write(open(sys.argv[2], 'rb').read())"


@pytest.fixture
def read_fifo(tmp_path: Path) -> Callable[..., list[object]]:
    """Feeds `data` through a FIFO to a child reading it with an AsyncFile `f`; returns the outcomes
    of `expressions` there (`into(n)` reads with readinto). Both ends are children under timeouts."""

    def read(data: bytes, *expressions: str) -> list[object]:
        fifo, payload = tmp_path / "fifo", tmp_path / "payload"
        os.mkfifo(fifo)
        payload.write_bytes(data)
        writer = subprocess.Popen([sys.executable, "-c", FIFO_WRITER, fifo, payload], stderr=subprocess.DEVNULL)
        try:
            return pickle.loads(bytes.fromhex(run_child(FIFO_READER, str(fifo), *expressions)))
        finally:
            writer.kill()  # a writer whose reader stopped early would wait on the FIFO for ever
            writer.wait()

    return read


@pytest.fixture
def slow_fs(tmp_path: Path) -> Iterator[Callable[..., latencyfs.LatencyFs]]:
    """Mounts latencyfs, a FUSE view of a backing directory that makes every request wait `latency_ms`
    and fails reads and writes of files named with `fail_marker` (EIO). Each call mounts a new
    tmp_path/"backing*" on tmp_path/"mnt*"; all are unmounted after the test."""
    reason = latencyfs.unavailable_reason()
    if reason is not None:
        pytest.skip(reason)
    counter = iter(range(1_000_000))
    with ExitStack() as mounts:

        def mount(latency_ms: float = 20.0, fail_marker: str | None = None) -> latencyfs.LatencyFs:
            suffix = str(next(counter) or "")  # the first pair is plain "backing" and "mnt"
            backing, mountpoint = tmp_path / f"backing{suffix}", tmp_path / f"mnt{suffix}"
            return mounts.enter_context(latencyfs.mounted(backing, mountpoint, latency_ms, fail_marker))

        yield mount


@pytest.fixture
def watchdog() -> Iterator[None]:
    """Ends the whole run with every thread's traceback if the test hangs: a call that blocks the
    event loop in native code would otherwise stop the suite for good."""
    faulthandler.dump_traceback_later(TIMEOUT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


async def ticking[T](work: Coroutine[Any, Any, T], pause: float = 0) -> tuple[T, int]:
    """`work`'s result and how many turns a ticker task that sleeps `pause` got while it ran:
    a call that held the loop throughout leaves at most one."""
    ticks = 0
    running = True

    async def ticker() -> None:
        nonlocal ticks
        while running:
            await asyncio.sleep(pause)
            ticks += 1

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0)
    try:
        result = await asyncio.wait_for(work, TIMEOUT)
    finally:
        running = False
        await task
    return result, ticks
