"""Cost per operation of the larkspan front against builtin files driven through
asyncio.to_thread (how thread-pool file wrappers work), and how responsive the event
loop stays while the front runs long loops.

    python benchmarks/front_bench.py [--quick]
"""

import argparse
import asyncio
import builtins
import os
import sys
import tempfile
from collections.abc import Awaitable, Callable
from functools import partial
from pathlib import Path
from time import perf_counter_ns

import larkspan
import larkspan._budget

CHUNK = b"x" * 99 + b"\n"  # 100 bytes, also a line
LINE_FILE_SIZE = 64 << 20


def make_line_file(path: Path, size: int) -> None:
    with builtins.open(path, "wb") as f:
        f.write(CHUNK * (size // len(CHUNK)))


async def ns_per_op(method: Callable[..., Awaitable[object]], args: tuple, ops: int) -> float:
    start = perf_counter_ns()
    for _ in range(ops):
        await method(*args)
    return (perf_counter_ns() - start) / ops


async def ns_per_line_threaded(path: Path, lines: int) -> float:
    with builtins.open(path, "rb") as f:
        start = perf_counter_ns()
        for _ in range(lines):
            await asyncio.to_thread(f.readline)
        return (perf_counter_ns() - start) / lines


async def ns_per_line_ours(path: Path, lines: int) -> float:
    async with larkspan.open(path, "rb") as f:
        start = perf_counter_ns()
        count = 0
        async for _ in f:
            count += 1
            if count == lines:
                break
        return (perf_counter_ns() - start) / count


async def cost_rows(directory: Path, quick: bool) -> list[dict]:
    size = LINE_FILE_SIZE // 8 if quick else LINE_FILE_SIZE
    ops, threaded_ops = (20_000, 2_000) if quick else (500_000, 20_000)
    lines = directory / "lines"
    make_line_file(lines, size)
    out = directory / "out"
    rows = []

    async def measure(
        name: str, mode: str, path: Path, call: str, *args: object, limit: int = ops
    ) -> None:
        """Times `call` on a builtin file through to_thread, then on a larkspan handle."""
        with builtins.open(path, mode) as g:
            threaded = partial(asyncio.to_thread, getattr(g, call))
            theirs = await ns_per_op(threaded, args, min(threaded_ops, limit))
        async with larkspan.open(path, mode) as f:
            ours = await ns_per_op(getattr(f, call), args, min(ops, limit))
        rows.append({"workload": name, "builtin_to_thread_ns": theirs, "ours_ns": ours})

    await measure("write(100 B)", "wb", out, "write", CHUNK)
    await measure("readline()", "rb", lines, "readline")
    await measure("read(4096)", "rb", lines, "read", 4096, limit=size // 4096)
    rows.append(
        {
            "workload": "async for, per line",
            "builtin_to_thread_ns": await ns_per_line_threaded(lines, threaded_ops),
            "ours_ns": await ns_per_line_ours(lines, ops),
        }
    )
    for row in rows:
        row["ratio"] = row["builtin_to_thread_ns"] / row["ours_ns"]
    return rows


def run(quick: bool = False) -> list[dict]:
    """Rows of workload, builtin_to_thread_ns, ours_ns and ratio (builtin / ours)."""
    with tempfile.TemporaryDirectory() as directory:
        return asyncio.run(cost_rows(Path(directory), quick))


class Steps:
    """Longest time between two consecutive operations of the worker: one operation plus
    any turn of the loop it gave away, and any time the process lost the CPU."""

    def __init__(self) -> None:
        self.started = self.last = perf_counter_ns()
        self.longest = 0

    def mark(self) -> None:
        now = perf_counter_ns()
        self.longest = max(self.longest, now - self.last)
        self.last = now


async def longest_tick_gap(work: Callable[[Steps], Awaitable[None]]) -> dict:
    """Runs `work` beside a task that sleeps 1 ms in a loop; returns the longest and the median
    gap between two of its ticks, the number of ticks, the longest step of `work`,
    and how long it took."""
    done = asyncio.Event()
    gaps: list[int] = []

    async def ticker() -> None:
        last = perf_counter_ns()
        while not done.is_set():
            await asyncio.sleep(0.001)
            now = perf_counter_ns()
            gaps.append(now - last)
            last = now

    tick_task = asyncio.create_task(ticker())
    await asyncio.sleep(0.01)  # let the ticker settle
    gaps.clear()
    steps = Steps()
    await work(steps)
    took = perf_counter_ns() - steps.started
    done.set()
    await tick_task
    gaps.sort()
    return {
        "max_gap_ms": gaps[-1] / 1e6 if gaps else 0.0,
        "median_gap_ms": gaps[len(gaps) // 2] / 1e6 if gaps else 0.0,
        "ticks": len(gaps),
        "longest_step_ms": steps.longest / 1e6,
        "work_ms": took / 1e6,
    }


async def responsiveness_rows(directory: Path, quick: bool) -> list[dict]:
    size = LINE_FILE_SIZE // 8 if quick else LINE_FILE_SIZE
    chunks = 100_000 if quick else 1_000_000
    lines = directory / "lines"
    make_line_file(lines, size)

    async def iterate(steps: Steps) -> None:
        async with larkspan.open(lines, "rb") as f:
            async for _ in f:
                steps.mark()

    async def write(steps: Steps) -> None:
        async with larkspan.open(directory / "out", "wb") as f:
            for _ in range(chunks):
                await f.write(CHUNK)
                steps.mark()

    workloads = {f"async for over {size >> 20} MiB": iterate, f"{chunks} writes of 100 B": write}
    rows = []
    default_interval = larkspan._budget.YIELD_INTERVAL_NS
    try:
        # The shipped interval beside shorter and longer ones, and no yielding at all.
        for interval in (250_000, 1_000_000, 4_000_000, 10**15):
            larkspan._budget.YIELD_INTERVAL_NS = interval
            label = "never" if interval == 10**15 else f"{interval / 1e6:g} ms"
            for name, work in workloads.items():
                rows.append({"workload": name, "yield_every": label} | await longest_tick_gap(work))
    finally:
        larkspan._budget.YIELD_INTERVAL_NS = default_interval
    return rows


def run_responsiveness(quick: bool = False) -> list[dict]:
    """Rows of workload, yield_every, max_gap_ms, median_gap_ms, ticks, longest_step_ms, work_ms."""
    with tempfile.TemporaryDirectory() as directory:
        return asyncio.run(responsiveness_rows(Path(directory), quick))


def print_table(rows: list[dict]) -> None:
    columns = list(rows[0])
    cells = [
        [f"{v:,.1f}" if isinstance(v, float) else str(v) for v in row.values()] for row in rows
    ]
    widths = [max(len(c), *(len(r[i]) for r in cells)) for i, c in enumerate(columns)]
    print("  ".join(c.ljust(w) for c, w in zip(columns, widths)))
    for r in cells:
        print("  ".join(v.rjust(w) if i else v.ljust(w) for i, (v, w) in enumerate(zip(r, widths))))
    print()


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="fewer operations and a smaller file")
    quick = parser.parse_args().quick
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs{', quick' if quick else ''}\n")
    print_table(run(quick))
    print_table(run_responsiveness(quick))


if __name__ == "__main__":
    main()
