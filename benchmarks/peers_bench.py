"""The larkspan asyncio front against the peer async file libraries aiofiles, anyio and
aiofile, with builtin open() called straight in the coroutine as a reference.

Every (library, workload) runs in a child process of its own, so a library that hangs
costs only its own row ("hangs") and each starts with the same memory. A scenario runs
beside a ticker task that sleeps 1 ms in a loop; the longest gap between two ticks tells
how long the event loop was kept from other tasks. The small operations are timed on
their own, in ns per call. Every library's result is checked against builtin's: a
mismatch is an error, never a row.

    python benchmarks/peers_bench.py           # quick: one run of each
    python benchmarks/peers_bench.py --full    # the median of three runs of each
"""

import argparse
import asyncio
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from contextlib import ExitStack, asynccontextmanager, contextmanager
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from time import perf_counter_ns, sleep
from typing import Any, TypeAlias

from device_limit import FIO_SHAPES, drop_cached_pages, measure_fio
from peer_libraries import LIBRARIES, PEERS, Opener, opener, positional_reader, seek_to, version
from peers_report import PER_CALL, SCENARIO, PeerRow, cell_time, print_table

ROOT = Path(__file__).resolve().parents[1]
KIB = 1024
MIB = 1024 * KIB
LINE = 100  # bytes per line of the data, newline included
CHUNK = b"x" * (LINE - 1) + b"\n"  # what the write workloads write
TASKS = 64  # tasks at once in the many-files and random-read scenarios
BLOCK = 4 * KIB  # what a random read reads
RANDOM_READS = 8192  # distinct blocks read at random, a run's share of the cold file
COLD_FILES, COLD_FILE_SIZE = 2000, 16 * KIB
QUICK_RANDOM_FILE, FULL_RANDOM_FILE = (
    "dropped-256m",
    "dropped-1g",
)  # the cold file of the random reads
FUSE_DIRECT_SIZE = 8 * MIB
QUICK_REPEATS, FULL_REPEATS = 1, 3
QUICK_CALLS, FULL_CALLS = 10_000, 50_000  # timed calls of a per-call workload
WARM_UP_CALLS = 200
TICK_S = 0.001
FUSE_LATENCY_MS = 20.0
SLOW_LINES, SLOW_LINE_EVERY_S = 200, 0.002
FIFO_WRITER_DELAY_S = 0.01
CHILD_START_S = 3.0  # allowed for a child's start-up besides its runs


# ---------------------------------------------------------------- timing


class Timer:
    """Times one stretch of a workload and, for a scenario, keeps the longest gap between two
    ticks of a task that sleeps 1 ms in a loop meanwhile."""

    def __init__(self, watch_loop: bool) -> None:
        self.watch_loop = watch_loop
        self.elapsed_ns = 0
        self.longest_gap_ns = 0
        self.calls = 1

    async def _tick(self, stop: asyncio.Event) -> None:
        last = perf_counter_ns()
        while not stop.is_set():
            await asyncio.sleep(TICK_S)
            now = perf_counter_ns()
            self.longest_gap_ns = max(self.longest_gap_ns, now - last)
            last = now

    @asynccontextmanager
    async def __call__(self, calls: int = 1) -> AsyncIterator[None]:
        self.calls = calls
        stop = asyncio.Event()
        ticker = asyncio.create_task(self._tick(stop)) if self.watch_loop else None
        await asyncio.sleep(TICK_S)  # the ticker is running before the clock starts
        self.longest_gap_ns = 0
        start = perf_counter_ns()
        try:
            yield
        finally:
            self.elapsed_ns = perf_counter_ns() - start
            stop.set()
            if ticker is not None:
                await ticker  # its last tick records the gap the workload's end left


# ---------------------------------------------------------------- data


@dataclass(frozen=True)
class Place:
    """Where a child finds its files, and what it is to run."""

    data: Path  # on a disk, holding the files make_data writes
    library: str = "larkspan"
    repeat: int = 0
    calls: int = QUICK_CALLS
    fuse: Path | None = None  # mount point of the slow file system
    fuse_backing: Path | None = None  # the directory behind it
    fuse_direct: Path | None = None  # the same directory mounted with direct I/O
    random_file: str = QUICK_RANDOM_FILE  # the cold file of the random reads, under data

    def fuse_paths(self) -> tuple[Path, Path]:
        if self.fuse is None or self.fuse_backing is None:
            raise RuntimeError("a FUSE workload ran without a mounted file system")
        return self.fuse, self.fuse_backing

    def fuse_direct_paths(self) -> tuple[Path, Path]:
        if self.fuse_direct is None or self.fuse_backing is None:
            raise RuntimeError("a direct I/O FUSE workload ran without a mounted file system")
        return self.fuse_direct, self.fuse_backing

    def small_files(self, count: int) -> list[Path]:
        return [self.data / "small" / f"{i:04d}" for i in range(count)]

    def cold_files(self, count: int) -> list[Path]:
        return [self.data / "cold" / f"{i:04d}" for i in range(count)]

    def fuse_tag(self) -> str:
        """Names this run's own files on the slow file system, which caches what it has seen."""
        return f"{self.library}-{self.repeat}"


def payload_blocks(size: int) -> Iterator[bytes]:
    """`size` bytes of printable ASCII in LINE-byte lines, in pieces of at most a MiB; each
    MiB starts with its own number, so a misplaced block changes the digest."""
    printable = bytes(32 + i % 95 for i in range(256))
    block = bytearray(random.Random(7).randbytes(MIB).translate(printable))
    block[LINE - 1 :: LINE] = b"\n" * len(range(LINE - 1, MIB, LINE))
    for start in range(0, size, MIB):
        block[:16] = b"%015d " % (start // MIB)
        yield bytes(block[: min(MIB, size - start)])


def write_payload(path: Path, size: int, sync: bool = False) -> None:
    with open(path, "wb") as f:
        for block in payload_blocks(size):
            f.write(block)
        if sync:
            os.fsync(f.fileno())  # dirty pages cannot be dropped from the cache


def write_small_files(paths: list[Path], size: int = 4 * KIB) -> None:
    data = b"".join(payload_blocks(len(paths) * size))
    for i, path in enumerate(paths):
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(data[i * size : (i + 1) * size])


def make_data(place: Place) -> None:
    write_payload(place.data / "cached-256m", 256 * MIB)
    write_payload(place.data / "cached-1g", 1024 * MIB)
    write_payload(place.data / "dropped-256m", 256 * MIB, sync=True)
    if place.random_file == FULL_RANDOM_FILE:
        write_payload(place.data / FULL_RANDOM_FILE, 1024 * MIB, sync=True)
    write_small_files(place.small_files(2000))
    write_small_files(place.cold_files(COLD_FILES), COLD_FILE_SIZE)
    os.sync()  # dirty pages cannot be dropped from the cache


def make_fuse_data(backing: Path, repeats: int) -> None:
    """Files of their own for every library and repeat, written before the mount."""
    for library in LIBRARIES:
        for repeat in range(repeats):
            tag = f"{library}-{repeat}"
            write_small_files([backing / f"small-{tag}" / f"{i:02d}" for i in range(TASKS)])
            write_payload(backing / f"big-{tag}", 8 * MIB)


def file_system_type(path: Path) -> str:
    """The type of the file system that holds `path`, from the longest matching mount."""
    best, kind = "", "unknown"
    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        for line in mounts:
            _, point, fs_type, *_ = line.split()
            inside = str(path) == point or str(path).startswith(point.rstrip("/") + "/")
            if inside and len(point) > len(best):
                best, kind = point, fs_type
    return kind


# ---------------------------------------------------------------- workloads


Run: TypeAlias = Callable[[Opener, Place, Timer], Awaitable[object]]


@dataclass(frozen=True)
class Workload:
    name: str
    run: Run  # returns what is checked: data read, or the path of a file written
    kind: str = SCENARIO
    fuse: bool = False
    timeout_s: float = 120.0  # per run; a child that takes longer "hangs"
    operations: int | None = None  # reads or files per run, for a rate
    time_charted: bool = False  # the chart draws its time besides its gaps
    device_limit: bool = False  # fio's rows beside the libraries', on the same file


async def read_whole(open_: Opener, path: Path) -> bytes:
    async with open_(path, "rb") as f:
        return await f.read()


async def read_files(open_: Opener, paths: list[Path]) -> list[bytes]:
    """open, read() and close each file, with TASKS tasks taking every TASKS-th file."""
    contents: list[bytes] = [b""] * len(paths)

    async def task(first: int) -> None:
        for i in range(first, len(paths), TASKS):
            contents[i] = await read_whole(open_, paths[i])

    await asyncio.gather(*(task(first) for first in range(TASKS)))
    return contents


def read_cached(name: str) -> Run:
    async def run(open_: Opener, place: Place, timed: Timer) -> object:
        async with timed():
            return await read_whole(open_, place.data / name)

    return run


async def read_dropped(open_: Opener, place: Place, timed: Timer) -> object:
    path = place.data / "dropped-256m"
    drop_cached_pages(path)
    async with timed():
        return await read_whole(open_, path)


async def read_fuse_files(open_: Opener, place: Place, timed: Timer) -> object:
    mount, _ = place.fuse_paths()
    paths = [mount / f"small-{place.fuse_tag()}" / f"{i:02d}" for i in range(TASKS)]
    async with timed():
        return await read_files(open_, paths)


async def read_fuse_big(open_: Opener, place: Place, timed: Timer) -> object:
    mount, _ = place.fuse_paths()
    async with timed():
        return await read_whole(open_, mount / f"big-{place.fuse_tag()}")


def write_line_to_fifo(path: Path) -> None:
    sleep(FIFO_WRITER_DELAY_S)  # the reader is already opening the FIFO when the writer comes
    with open(path, "wb") as fifo:  # blocks until a reader opens the FIFO
        fifo.write(CHUNK)


async def read_fifo_line(open_: Opener, place: Place, timed: Timer) -> object:
    path = place.data / f"fifo-{place.library}-{place.repeat}"
    os.mkfifo(path)
    writer = threading.Thread(target=write_line_to_fifo, args=(path,), daemon=True)
    async with timed():
        writer.start()
        async with open_(path, "rb") as f:
            return await f.readline()


async def write_small(open_: Opener, place: Place, timed: Timer) -> object:
    path = place.data / f"out-{place.library}"
    path.unlink(missing_ok=True)  # a fresh file, so that no run pays for truncating the last one
    async with timed(), open_(path, "wb") as f:
        for _ in range(20_000):
            await f.write(CHUNK)
    return path


SLOW_WRITER = f"""
import os, sys, time
os.write(1, b"ready")
os.read(0, 1)  # the reader's start signal
for i in range({SLOW_LINES}):
    os.write(int(sys.argv[1]), b"%099d\\n" % i)
    time.sleep({SLOW_LINE_EVERY_S})
"""


async def read_slow_pipe(open_: Opener, place: Place, timed: Timer) -> object:
    """readline() on a pipe whose writer, a child process, writes a line every 2 ms."""
    read_end, write_end = os.pipe()
    go_read, go_write = os.pipe()
    writer = subprocess.Popen(
        [sys.executable, "-c", SLOW_WRITER, str(write_end)],
        stdin=go_read,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        pass_fds=(write_end,),
    )
    os.close(write_end)
    os.close(go_read)
    try:
        writer.stdout.read(5)  # its start-up is not timed
        async with timed():
            os.write(go_write, b"!")
            async with open_(Path(f"/proc/self/fd/{read_end}"), "rb") as f:
                return [await f.readline() for _ in range(SLOW_LINES)]
    finally:
        os.close(go_write)
        os.close(read_end)
        writer.communicate()


async def write_fuse(open_: Opener, place: Place, timed: Timer) -> object:
    mount, backing = place.fuse_paths()
    name = f"out-{place.fuse_tag()}"
    blocks = list(
        payload_blocks(64 * MIB)
    )  # made beforehand: making a MiB keeps the loop for milliseconds
    async with timed(), open_(mount / name, "wb") as f:
        for block in blocks:
            await f.write(block)
    return backing / name  # checked without going through the slow file system again


async def read_many_cached(open_: Opener, place: Place, timed: Timer) -> object:
    paths = place.small_files(2000)
    async with timed():
        return await read_files(open_, paths)


def random_offsets(path: Path) -> list[int]:
    """RANDOM_READS distinct block offsets of the file (every block of a smaller one), the same in
    every run and library."""
    blocks = path.stat().st_size // BLOCK
    return [
        block * BLOCK
        for block in random.Random(16).sample(range(blocks), min(RANDOM_READS, blocks))
    ]


async def read_random_seeking(open_: Opener, place: Place, timed: Timer) -> object:
    """Each of TASKS tasks opens the cold file and reads every TASKS-th block with seek + read."""
    path = place.data / place.random_file
    offsets = random_offsets(path)
    blocks: list[bytes] = [b""] * len(offsets)

    async def task(first: int) -> None:
        async with open_(path, "rb") as f:
            for i in range(first, len(offsets), TASKS):
                await seek_to(f, offsets[i])
                blocks[i] = await f.read(BLOCK)

    drop_cached_pages(path)
    async with timed():
        await asyncio.gather(*(task(first) for first in range(TASKS)))
    return blocks


async def read_random_positional(open_: Opener, place: Place, timed: Timer) -> object:
    """TASKS tasks read the blocks at their offsets through one shared handle."""
    path = place.data / place.random_file
    offsets = random_offsets(path)
    blocks: list[bytes] = [b""] * len(offsets)
    drop_cached_pages(path)
    async with timed(), positional_reader(place.library)(path) as pread:

        async def task(first: int) -> None:
            for i in range(first, len(offsets), TASKS):
                blocks[i] = await pread(BLOCK, offsets[i])

        await asyncio.gather(*(task(first) for first in range(TASKS)))
    return blocks


async def read_cold_files(open_: Opener, place: Place, timed: Timer) -> object:
    paths = place.cold_files(COLD_FILES)
    for path in paths:
        drop_cached_pages(path)
    async with timed():
        return await read_files(open_, paths)


async def read_fuse_direct(open_: Opener, place: Place, timed: Timer) -> object:
    """One read() of the whole file, the call alone: the open and the close (a request of its own,
    the flush) are not timed."""
    mount, _ = place.fuse_direct_paths()
    async with open_(mount / f"big-{place.fuse_tag()}", "rb") as f, timed():
        return await f.read()


async def write_fuse_direct(open_: Opener, place: Place, timed: Timer) -> object:
    """One write() of 8 MiB, the call alone, as for the read; what landed is checked after the
    close. Every library here hands a write this large to the system at once rather than keep it for
    the close."""
    mount, backing = place.fuse_direct_paths()
    name = f"out-direct-{place.fuse_tag()}"
    data = b"".join(payload_blocks(FUSE_DIRECT_SIZE))
    async with open_(mount / name, "wb") as f, timed():
        await f.write(data)
    return backing / name


async def each_write(open_: Opener, place: Place, timed: Timer) -> object:
    path = place.data / f"out-calls-{place.library}"
    async with open_(path, "wb") as f:
        for _ in range(WARM_UP_CALLS):
            await f.write(CHUNK)
        async with timed(place.calls):
            for _ in range(place.calls):
                await f.write(CHUNK)
    return path


def each_read_call(method: str, *args: object) -> Run:
    async def run(open_: Opener, place: Place, timed: Timer) -> object:
        async with open_(place.data / "cached-256m", "rb") as f:
            call = getattr(f, method)
            for _ in range(WARM_UP_CALLS):
                await call(*args)
            results = []
            async with timed(place.calls):
                for _ in range(place.calls):
                    results.append(await call(*args))
            return results

    return run


async def each_line(open_: Opener, place: Place, timed: Timer) -> object:
    async with open_(place.data / "cached-256m", "rb") as f:
        lines = aiter(f)  # one iterator for both loops: some libraries start anew on each aiter()
        results = []
        async for _ in lines:
            if len(results) == WARM_UP_CALLS:
                break
            results.append(None)
        results.clear()
        async with timed(place.calls):
            async for line in lines:
                results.append(line)
                if len(results) == place.calls:
                    break
        return results


WORKLOADS = [
    Workload("1. read() 256 MiB, cached", read_cached("cached-256m")),
    Workload("2. read() 256 MiB, cache dropped", read_dropped),
    Workload(f"3. {TASKS} x open+read 4 KiB, FUSE", read_fuse_files, fuse=True),
    Workload("4. read() 8 MiB, FUSE", read_fuse_big, fuse=True),
    Workload("5. FIFO, writer thread: readline()", read_fifo_line, timeout_s=3.0),
    Workload("6. 20 000 x write(100 B), cached", write_small),
    Workload(f"7. slow pipe: {SLOW_LINES} x readline()", read_slow_pipe, timeout_s=20.0),
    Workload("8. write 64 MiB in 1 MiB, FUSE", write_fuse, fuse=True),
    Workload("9. read() 1 GiB, cached", read_cached("cached-1g")),
    Workload(
        f"10. 2000 x open+read+close 4 KiB, {TASKS} tasks", read_many_cached, time_charted=True
    ),
    Workload(
        "15. cold random 4 KiB reads, seek+read",
        read_random_seeking,
        operations=RANDOM_READS,
        device_limit=True,
        time_charted=True,
    ),
    Workload(
        "16. cold random 4 KiB reads, shared pread",
        read_random_positional,
        operations=RANDOM_READS,
        device_limit=True,
        time_charted=True,
    ),
    Workload(
        f"17. {COLD_FILES} x open+read+close 16 KiB, cold",
        read_cold_files,
        operations=COLD_FILES,
        time_charted=True,
    ),
    Workload(
        "18. one read() of 8 MiB, FUSE direct I/O", read_fuse_direct, fuse=True, time_charted=True
    ),
    Workload(
        "19. one write() of 8 MiB, FUSE direct I/O", write_fuse_direct, fuse=True, time_charted=True
    ),
    Workload("write(100 B)", each_write, kind=PER_CALL),
    Workload("readline()", each_read_call("readline"), kind=PER_CALL),
    Workload("async for, per line", each_line, kind=PER_CALL),
    Workload("read(4096)", each_read_call("read", 4096), kind=PER_CALL),
]


# ---------------------------------------------------------------- one child


def digest(result: object) -> str:
    """A checksum of what a workload gave: data (lines as their UTF-8 bytes, with their
    boundaries) or the bytes of the file it wrote."""
    h = hashlib.sha256()
    if isinstance(result, Path):
        with open(result, "rb") as f:
            return hashlib.file_digest(f, "sha256").hexdigest()
    for item in result if isinstance(result, list) else [result]:
        data = item.encode() if isinstance(item, str) else bytes(item)
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
    return h.hexdigest()


async def checked_run(workload: Workload, open_: Opener, place: Place, timer: Timer) -> str:
    # Only the digest leaves the coroutine: Python 3.12.1's asyncio.run takes seconds to
    # repr a GiB-sized result.
    return digest(await workload.run(open_, place, timer))


def run_in_child(workload: Workload, place: Place, repeats: int) -> dict[str, Any]:
    """The child's side: `repeats` runs, each in a fresh event loop. An OSError from the
    library is a result ("fails"); any other exception fails the child."""
    open_ = opener(place.library)
    runs: dict[str, list[Any]] = {"times_ns": [], "gaps_ns": [], "checks": []}
    for repeat in range(repeats):
        timer = Timer(watch_loop=workload.kind == SCENARIO)
        try:
            check = asyncio.run(checked_run(workload, open_, replace(place, repeat=repeat), timer))
        except OSError as error:
            return {"status": "fails", "detail": f"{type(error).__name__}: {error}"}
        runs["times_ns"].append(timer.elapsed_ns / timer.calls)
        runs["gaps_ns"].append(timer.longest_gap_ns)
        runs["checks"].append(check)
    return {"status": "ok"} | runs


def child_main(request: str) -> int:
    args = json.loads(request)
    workload = next(w for w in WORKLOADS if w.name == args["workload"])
    place = Place(
        **{
            k: Path(v) if k in ("data", "fuse", "fuse_backing", "fuse_direct") and v else v
            for k, v in args["place"].items()
        }
    )
    print(json.dumps(run_in_child(workload, place, args["repeats"])), flush=True)
    return 0


# ---------------------------------------------------------------- the parent


class ChildError(Exception):
    """A child exited without a result: a fault of the benchmark, not a library's result."""


@dataclass
class Outcome:
    status: str  # ok, hangs, fails, wrong (a peer whose result differed), or missing (no fio)
    detail: str = ""
    times_ns: list[float] = field(default_factory=list)  # per call for a per-call workload
    gaps_ns: list[int] = field(default_factory=list)
    checks: list[str] = field(default_factory=list)


def run_child(command: list[str], timeout_s: float) -> Outcome:
    """Runs `command` in a session of its own, killed whole when it overruns `timeout_s`."""
    child = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        out, err = child.communicate(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        return Outcome("hangs", f"no result in {timeout_s:g} s")
    if child.returncode != 0 or not out.strip():
        last = err.strip().splitlines()[-1:] or [f"exit status {child.returncode}"]
        raise ChildError(last[0])
    return Outcome(**json.loads(out.strip().splitlines()[-1]))


def measure(workload: Workload, place: Place, repeats: int) -> Outcome:
    request = {
        "workload": workload.name,
        "repeats": repeats,
        "place": {k: str(v) if isinstance(v, Path) else v for k, v in asdict(place).items()},
    }
    command = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(request)]
    try:
        return run_child(command, CHILD_START_S + workload.timeout_s * repeats)
    except ChildError as error:
        raise ChildError(f"{place.library}: {error}") from None


class Mismatch(Exception):
    """A library's result differs from builtin's, or from its own in another run."""


def matching(name: str, outcomes: dict[str, Outcome], errors: list[str]) -> dict[str, Outcome]:
    """The outcomes, checked against the reference result (builtin's, or else the first library's
    that finished). A wrong result from larkspan or builtin is an error and gives no row; a peer's
    shows as "wrong" in its row, since it is the peer's fault and not this run's."""
    finished = [(library, o.checks[0]) for library, o in outcomes.items() if o.status == "ok"]
    finished.sort(key=lambda pair: pair[0] != "builtin")
    reference = finished[0] if finished else None
    kept = {}
    for library, o in outcomes.items():
        wrong = [check for check in o.checks if reference is not None and check != reference[1]]
        if not wrong:
            kept[library] = o
        elif library in PEERS:
            kept[library] = replace(
                o,
                status="wrong",
                detail=f"gave {wrong[0][:12]}, {reference[0]} gave {reference[1][:12]}",
            )
        else:
            mismatch = Mismatch(
                f"{library} gave {wrong[0][:12]}, {reference[0]} gave {reference[1][:12]}"
            )
            errors.append(f"peers, {name}: {type(mismatch).__name__}: {mismatch}")
            print(f"ERROR {errors[-1]}", file=sys.stderr)
    return kept


def rows_for(workload: Workload, outcomes: dict[str, Outcome]) -> list[PeerRow]:
    rows = []
    for library, o in outcomes.items():
        row = PeerRow(
            workload.name,
            library,
            workload.kind,
            o.status,
            detail=o.detail,
            time_charted=workload.time_charted,
        )
        if o.status == "ok":
            middle = sorted(range(len(o.times_ns)), key=o.times_ns.__getitem__)[
                len(o.times_ns) // 2
            ]
            if workload.kind == SCENARIO:
                row.time_s = o.times_ns[middle] / 1e9
                row.longest_gap_s = o.gaps_ns[middle] / 1e9 if o.gaps_ns else None
                row.per_s = workload.operations / row.time_s if workload.operations else None
            else:
                row.ns_per_call = o.times_ns[middle]
        rows.append(row)
    reference = next((r for r in rows if r.library == "larkspan" and r.status == "ok"), None)
    for row in rows:
        if reference is not None and row.status == "ok":
            row.ratio = (
                row.time_s / reference.time_s
                if row.time_s is not None
                else row.ns_per_call / reference.ns_per_call
            )
    return rows


def device_outcomes(place: Place, reads: int) -> dict[str, Outcome]:
    """fio's rates on the random reads' file, as the time that `reads` reads take at that rate."""
    outcomes = {}
    for shape in FIO_SHAPES:
        result = measure_fio(place.data / place.random_file, shape, reads)
        if result.reads_per_s is None:
            outcomes[shape.label] = Outcome(result.status, result.detail)
        else:
            outcomes[shape.label] = Outcome("ok", times_ns=[reads / result.reads_per_s * 1e9])
    return outcomes


COLD = (
    read_dropped,
    read_random_seeking,
    read_random_positional,
    read_cold_files,
)  # need pages dropped


def skip_reason(workload: Workload, place: Place, fuse_reason: str | None) -> str | None:
    if workload.fuse and fuse_reason:
        return fuse_reason
    if workload.run in COLD and file_system_type(place.data) in ("tmpfs", "ramfs"):
        return f"{place.data} is on {file_system_type(place.data)}, whose pages cannot be dropped"
    return None


def latencyfs_module() -> tuple[Any, str | None]:
    """The slow file system's module, or None and why it cannot be used."""
    folder = ROOT / "scripts" / "latencyfs"
    if not (folder / "latencyfs.py").exists():
        return None, "scripts/latencyfs/latencyfs.py is absent"
    sys.path.insert(0, str(folder))
    import latencyfs

    return latencyfs, latencyfs.unavailable_reason()


@contextmanager
def places(
    directory: Path, repeats: int, calls: int, random_file: str
) -> Iterator[tuple[Place, str | None]]:
    """The data, and the slow file system mounted over its own files when it can be, once as it
    is and once with direct I/O."""
    place = Place(data=directory / "data", calls=calls, random_file=random_file)
    place.data.mkdir()
    make_data(place)
    latencyfs, reason = latencyfs_module()
    if reason:
        yield place, f"FUSE rows skipped: {reason}"
        return
    backing, mountpoint, direct = (
        directory / "fuse-backing",
        directory / "fuse-mount",
        directory / "fuse-direct",
    )
    backing.mkdir()
    make_fuse_data(backing, repeats)
    with ExitStack() as mounts:
        fs = mounts.enter_context(
            latencyfs.mounted(backing, mountpoint, latency_ms=FUSE_LATENCY_MS)
        )
        direct_fs = mounts.enter_context(
            latencyfs.mounted(backing, direct, FUSE_LATENCY_MS, direct_io=True)
        )
        yield (
            replace(
                place,
                fuse=Path(fs.mountpoint),
                fuse_backing=Path(fs.backing),
                fuse_direct=Path(direct_fs.mountpoint),
            ),
            None,
        )


def installed_libraries(notes: list[str]) -> list[str]:
    missing = [peer for peer in PEERS if version(peer) is None]
    if missing:
        notes.append(f"not installed, so left out: {', '.join(missing)} (pip install '.[bench]')")
    return [library for library in LIBRARIES if library not in missing]


def run(
    full: bool,
    errors: list[str],
    notes: list[str],
    directory: Path | None = None,
    only: list[str] | None = None,
) -> list[PeerRow]:
    """Every workload (or those whose name contains any text of `only`) for every installed library.
    An error is appended to `errors` and gives no row; why a workload was skipped goes to `notes`.
    """
    repeats = FULL_REPEATS if full else QUICK_REPEATS
    libraries = installed_libraries(notes)
    rows: list[PeerRow] = []
    directory = directory or ROOT / "build" / "bench"
    directory.mkdir(parents=True, exist_ok=True)
    calls = FULL_CALLS if full else QUICK_CALLS
    random_file = FULL_RANDOM_FILE if full else QUICK_RANDOM_FILE
    with (
        tempfile.TemporaryDirectory(prefix="peers-", dir=directory) as temporary,
        places(Path(temporary), repeats, calls, random_file) as (place, fuse_reason),
    ):
        print(
            f"peers: data in {place.data} ({file_system_type(place.data)}), "
            f"{repeats} run(s) each, {place.calls} timed calls per small operation",
            flush=True,
        )
        size_mib = (place.data / random_file).stat().st_size // MIB
        random_note = (
            f"the cold random reads read a {size_mib} MiB file on {file_system_type(place.data)} "
            f"({place.data}); fio reads the same file in the same run"
        )
        for workload in (w for w in WORKLOADS if not only or any(text in w.name for text in only)):
            reason = skip_reason(workload, place, fuse_reason)
            if reason:
                if reason not in notes:
                    notes.append(reason)
                continue
            try:
                outcomes = {
                    library: measure(workload, replace(place, library=library), repeats)
                    for library in libraries
                }
            except ChildError as error:
                errors.append(f"peers, {workload.name}: {type(error).__name__}: {error}")
                print(f"ERROR {errors[-1]}", file=sys.stderr)
                continue
            kept = matching(workload.name, outcomes, errors)
            if workload.device_limit:
                kept |= device_outcomes(place, RANDOM_READS)
                if random_note not in notes:
                    notes.append(random_note)
            notes += [
                f"{workload.name}: no row for {library}, whose result differed (an error)"
                for library in outcomes
                if library not in kept
            ]
            notes += [
                f"{workload.name}: {library} returned a wrong result ({o.detail})"
                for library, o in kept.items()
                if o.status == "wrong"
            ]
            rows += rows_for(workload, kept)
            print(
                f"  {workload.name}: "
                + ", ".join(
                    f"{r.library} {cell_time(r)}" for r in rows if r.workload == workload.name
                ),
                flush=True,
            )
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--full",
        action="store_true",
        help=f"the median of {FULL_REPEATS} runs, {FULL_CALLS} timed calls per small operation",
    )
    parser.add_argument(
        "--dir", type=Path, help="where the data goes (default build/bench; not tmpfs)"
    )
    parser.add_argument(
        "--only",
        metavar="TEXT",
        action="append",
        help="run only the workloads whose name contains TEXT (repeated: any of them)",
    )
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child_main(args.child)
    errors: list[str] = []
    notes: list[str] = []
    rows = run(args.full, errors, notes, args.dir, args.only)
    print_table(rows, notes)
    print(f"errors: {len(errors)}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
