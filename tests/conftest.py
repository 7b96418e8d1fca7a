"""Shared fixtures and helpers: real files in a temporary directory, children under timeouts."""

import asyncio
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Coroutine, Iterator
from contextlib import ExitStack, contextmanager, suppress
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

import pytest
from core_module import core_or_skip
from hypothesis import settings

if TYPE_CHECKING:
    from _larkspan_core import AsyncFile

ROOT = (
    Path(__file__).resolve().parents[1]
)  # the repository: the tests lie one folder deeper, by layer

# The tools the tests drive: the slow FUSE file system, the differential fuzzer's package, the
# benchmarks.
for tool in ("scripts/latencyfs", "fuzz", "benchmarks"):
    sys.path.insert(0, str(ROOT / tool))
import latencyfs  # noqa: E402  (found through the path entries above)

T = TypeVar("T")

# Seconds a child may take: a fault that blocks fails its test instead of hanging the suite.
TIMEOUT = 60


def spend_the_loops_budget() -> None:
    """Inline work past the front's interval, so that the next call lets the loop run first."""
    start = time.monotonic_ns()
    while time.monotonic_ns() - start < 3_000_000:
        pass


def examples(quick: int, long: int, **options: Any) -> settings:
    """Hypothesis settings: `quick` examples, the same ones on every run so that CI sees what a
    developer saw, or under HYPOTHESIS_PROFILE=long, `long` fresh ones."""
    if os.environ.get("HYPOTHESIS_PROFILE") == "long":
        return settings(max_examples=long, deadline=None, **options)
    return settings(max_examples=quick, deadline=None, derandomize=True, **options)


def disk(path: str | bytes) -> bytes:
    """What the file holds, read by builtin open()."""
    with open(path, "rb") as h:
        return h.read()


def io_counter(name: str) -> int:
    """One of this process's I/O counters (/proc/self/io): "rchar", bytes its read calls returned;
    "read_bytes", bytes it had read from storage."""
    with open("/proc/self/io") as counters:
        return int(counters.read().split(f"{name}: ")[1].split()[0])


def evict(path: str | Path) -> None:
    """Writes the file's dirty pages out and drops them all from the page cache, so its reads wait
    for the device."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def letters(sizes: list[int]) -> list[bytes]:
    """One run of a distinct letter per size, so that order and duplication show on disk."""
    return [bytes([97 + i % 26]) * n for i, n in enumerate(sizes)]


def descriptors() -> int:
    """The process's open descriptors, but those of the completion queues larkspan keeps for event
    loops: a loop makes its queue on first use and keeps it as long as the loop lives, as it keeps
    its selector. test_completions checks that no queue outlives its loop."""
    completions = sys.modules.get("larkspan._completions")
    queues = [] if completions is None else [*completions._queues.values(), *completions._orphans]
    kept = {queue.fileno() for queue in queues}
    return sum(int(name) not in kept for name in os.listdir("/proc/self/fd"))


def outcome(call: Callable[[], Any]) -> Any:
    """What `call` returns, or its error's class and text."""
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


def pipe_holding(data: bytes) -> int:
    """The read end of a pipe that holds `data` and whose write end is closed."""
    read_end, write_end = os.pipe()
    os.write(write_end, data)
    os.close(write_end)
    return read_end


def run_child(script: str, *args: str) -> str:
    """Runs `script` in a fresh interpreter, which must exit cleanly, and returns what it
    printed."""
    result = subprocess.run(
        [sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=TIMEOUT
    )
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
def opened(make_file: Callable[..., str]) -> Iterator[Callable[..., "AsyncFile"]]:
    """Opens an AsyncFile over a new file holding `content`; closed after the test."""
    core = core_or_skip()
    files: list[AsyncFile] = []

    def open_with(content: bytes = b"", mode: str = "rb") -> "AsyncFile":
        f = core.AsyncFile(make_file(content), mode).open()
        files.append(f)
        return f

    yield open_with
    for f in files:
        try:
            f.close()
        except RuntimeError:
            pass  # a test that left bytes the stream refuses; destruction drops them


@pytest.fixture
def full_disk() -> Callable[[], "AsyncFile"]:
    """Opens objects on /dev/full, which refuses every byte; destruction drops what they leave
    pending."""
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    core = core_or_skip()
    return lambda: core.AsyncFile("/dev/full", "wb").open()


# The reader evaluates each expression on `f` and pickles the values, or each error's class and
# text.
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
    of `expressions` there (`into(n)` reads with readinto). Both ends are children under timeouts.
    """

    def read(data: bytes, *expressions: str) -> list[object]:
        fifo, payload = tmp_path / "fifo", tmp_path / "payload"
        os.mkfifo(fifo)
        payload.write_bytes(data)
        writer = subprocess.Popen(
            [sys.executable, "-c", FIFO_WRITER, fifo, payload], stderr=subprocess.DEVNULL
        )
        try:
            return pickle.loads(bytes.fromhex(run_child(FIFO_READER, str(fifo), *expressions)))
        finally:
            writer.kill()  # a writer whose reader stopped early would wait on the FIFO for ever
            writer.wait()

    return read


@pytest.fixture
def slow_fs(tmp_path: Path) -> Iterator[Callable[..., latencyfs.LatencyFs]]:
    """Mounts latencyfs, a FUSE view of a backing directory that makes every request wait
    `latency_ms` and fails reads and writes of files named with `fail_marker` (EIO, from byte
    `fail_from` on: one that starts before it reads or writes the bytes up to it), and with
    `direct_io` caches nothing. Each call mounts a new tmp_path/"backing*" on tmp_path/"mnt*"; all
    are unmounted after the test."""
    reason = latencyfs.unavailable_reason()
    if reason is not None:
        pytest.skip(reason)
    counter = iter(range(1_000_000))
    with ExitStack() as mounts:

        def mount(
            latency_ms: float = 20.0,
            fail_marker: str | None = None,
            fail_from: int = 0,
            direct_io: bool = False,
        ) -> latencyfs.LatencyFs:
            suffix = str(next(counter) or "")  # the first pair is plain "backing" and "mnt"
            backing, mountpoint = tmp_path / f"backing{suffix}", tmp_path / f"mnt{suffix}"
            return mounts.enter_context(
                latencyfs.mounted(
                    backing, mountpoint, latency_ms, fail_marker, fail_from, direct_io
                )
            )

        yield mount


SMALL_TMPFS_BYTES = 1 << 20


@pytest.fixture
def small_tmpfs(tmp_path: Path) -> Iterator[Path]:
    """A 1 MiB tmpfs mounted for the test, which fills up (ENOSPC) after that many bytes; unmounted
    after it, lazily, so that a descriptor the test leaked does not keep it from going."""
    mountpoint = tmp_path / "small-tmpfs"
    mountpoint.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={SMALL_TMPFS_BYTES}", "tmpfs", str(mountpoint)],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {mounted.stderr.strip()}")
    try:
        yield mountpoint
    finally:
        subprocess.run(["umount", "-l", str(mountpoint)], capture_output=True, timeout=TIMEOUT)


def fill(directory: Path) -> None:
    """Fills the file system holding `directory` up to its last byte."""
    with open(directory / "filler", "wb", buffering=0) as filler:
        with suppress(OSError):
            while filler.write(b"\0" * 65536):
                pass
        with suppress(OSError):
            while filler.write(b"\0"):
                pass


async def ticking(work: Coroutine[Any, Any, T], pause: float = 0) -> tuple[T, int]:
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


@pytest.fixture
def open_tmp_path() -> Iterator[Path]:
    """A new directory that every user may enter (pytest's own are root's alone), removed after
    the test whatever modes the test left inside it."""
    path = Path(tempfile.mkdtemp(prefix="larkspan-open-"))
    os.chmod(path, 0o755)
    yield path
    for folder, _, _ in os.walk(path):
        os.chmod(folder, 0o755)
    shutil.rmtree(path)


@contextmanager
def effective_user(uid: int) -> Iterator[None]:
    """Every thread of the process (event loops and workers included) acts as `uid` in the block,
    so that permission checks apply; skips the test unless it runs as root."""
    if os.geteuid() != 0:
        pytest.skip("switching the effective user needs root")
    os.seteuid(uid)
    try:
        yield
    finally:
        os.seteuid(0)
