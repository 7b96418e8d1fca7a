"""AsyncFile against builtin open(): one table of workloads timed in the same run,
then the asyncio front's rows and the table of peer async file libraries.

Each workload runs the same code on a builtin file object and on an AsyncFile
opened with the same mode string. The data lives on a RAM-backed file system
when there is one, so the table shows the cost of the two libraries rather than
of the disk. Every run's result is checked against builtin's: a mismatch is an
error that fails the run, never a row.

    python benchmarks/bench.py                  # quick: a few minutes
    python benchmarks/bench.py --full           # more repeats
    python benchmarks/bench.py --json run.json  # the rows as JSON there, the chart in run.svg
                                                # (default: build/bench/bench.json and .svg)
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import math
import os
import platform
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import fsspec_bench
import peers_bench
import peers_report
from _larkspan_core import AsyncFile
from peers_report import duration

MIB = 1024 * 1024
LINE = 80  # bytes per line of the text data, newline included
SMALL_WRITES = 1_000_000
POSITION_LOOPS = 100_000
TELL_LOOPS = 1_000_000
QUICK_REPEATS = 4
FULL_REPEATS = 12
FRONT_TARGET = 100.0  # the asyncio front's small operations against asyncio.to_thread
SIDES = ("builtin", "ours")
PREAD_FLOOR = "1 pread/call: syscalls.sh"  # counted reads of 8192 bytes or less: a system call each
DEFAULT_JSON = str(Path(__file__).resolve().parents[1] / "build" / "bench" / "bench.json")

Action = Callable[[Any], object]


class Mismatch(Exception):
    """AsyncFile produced something other than builtin open() did."""


@dataclass(frozen=True)
class Workload:
    name: str
    mode: str  # the same mode string opens both sides
    action: Action  # timed: gets the open file, returns a value to check
    source: str | None  # input file; None for writes, which go to a fresh file
    calls: int | None = None  # file-object calls per timed run, for loops
    passes: int = 1  # open + action + close this many times per timed run
    target: float | None = None  # least ratio builtin/ours that the row must reach
    note: str = ""  # what stands in for a ratio target
    verify: Action | None = None  # untimed full check through the same API


@dataclass
class Row:
    workload: str
    builtin_median_s: float
    ours_median_s: float
    builtin_min_s: float | None = None  # None where only one figure was taken
    ours_min_s: float | None = None
    calls: int | None = None
    target: float | None = None
    note: str = ""
    group: str = "core"

    @property
    def ratio(self) -> float:
        return self.builtin_median_s / self.ours_median_s

    @property
    def status(self) -> str:
        if self.target is None:
            return self.note
        return f">={self.target:.2f} {'met' if self.ratio >= self.target else 'MISSED'}"


# ---------------------------------------------------------------- file objects


def open_builtin(path: str, mode: str) -> Any:
    return open(path, mode) if "b" in mode else open(path, mode, encoding="utf-8")


def open_ours(path: str, mode: str) -> Any:
    return AsyncFile(path, mode).open()


OPENERS: dict[str, Callable[[str, str], Any]] = {"builtin": open_builtin, "ours": open_ours}


# ---------------------------------------------------------------- actions (timed)


def read_all(f: Any) -> object:
    return f.read()


def read_chunks(size: int) -> Action:
    def action(f: Any) -> object:
        while f.read(size):
            pass
        return f.tell()

    return action


def iterate_lines(f: Any) -> object:
    line = None
    for line in f:  # noqa: B007  (the last line is the result)
        pass
    return line


def read_lines(f: Any) -> object:
    return f.readlines()


def write_each(chunks: list[Any]) -> Action:
    def action(f: Any) -> object:
        for chunk in chunks:
            f.write(chunk)
        return None

    return action


def write_lines(lines: list[Any]) -> Action:
    def action(f: Any) -> object:
        f.writelines(lines)
        return None

    return action


def seek_and_read(count: int) -> Action:
    def action(f: Any) -> object:
        chunk = None
        for _ in range(count):
            f.seek(0)
            chunk = f.read(100)
        return chunk

    return action


def tell_loop(count: int) -> Action:
    def action(f: Any) -> object:
        f.seek(12345)
        for _ in range(count):
            f.tell()
        return f.tell()

    return action


# ---------------------------------------------------------------- checks


def as_bytes(value: bytes | str) -> bytes:
    """Line results are always str in AsyncFile; compare them as their UTF-8 bytes."""
    return value.encode() if isinstance(value, str) else value


def digest_items(items: Iterable[bytes | str]) -> tuple[int, str]:
    """Count and checksum of a sequence of pieces, their boundaries included."""
    h = hashlib.sha256()
    count = 0
    for item in items:
        data = as_bytes(item)
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
        count += 1
    return count, h.hexdigest()


def chunk_digest(size: int) -> Action:
    def verify(f: Any) -> object:
        def chunks() -> Iterable[bytes | str]:
            while chunk := f.read(size):
                yield chunk

        return digest_items(chunks())

    return verify


def line_digest(f: Any) -> object:
    return digest_items(f)


def full_check(value: object) -> object:
    if isinstance(value, (bytes, str)):
        return digest_items([value])
    if isinstance(value, list):
        return digest_items(value)
    return value


def quick_check(value: object) -> object:
    """Size and tail: cheap enough to compare after every timed run."""
    if isinstance(value, (bytes, str)):
        data = as_bytes(value)
        return len(data), data[-LINE:]
    if isinstance(value, list):
        return len(value), quick_check(value[-1]) if value else None
    return value


def file_digest(path: str) -> tuple[int, str]:
    with open(path, "rb") as f:
        return os.fstat(f.fileno()).st_size, hashlib.file_digest(f, "sha256").hexdigest()


def compare(workload: str, what: str, seen: dict[str, object]) -> None:
    if seen["builtin"] != seen["ours"]:
        raise Mismatch(
            f"{workload}: {what}: builtin gave {seen['builtin']!r}, ours gave {seen['ours']!r}"
        )


# ---------------------------------------------------------------- measuring


def run_once(side: str, w: Workload, path: str) -> tuple[int, object]:
    """One timed run: `passes` times open, action, close. Returns nanoseconds and the result."""
    opener = OPENERS[side]
    if w.source is None and os.path.exists(path):
        os.remove(path)  # a fresh file, so that no run pays for truncating the last one
    result: object = None
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for _ in range(w.passes):
            with opener(path, w.mode) as f:
                result = w.action(f)
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    return elapsed, result


def checked(w: Workload, path: str, result: object, full: bool) -> object:
    if w.source is None:
        return file_digest(path) if full else os.path.getsize(path)
    return full_check(result) if full else quick_check(result)


def verified(side: str, mode: str, verify: Action, path: str) -> object:
    with OPENERS[side](path, mode) as f:
        return verify(f)


def measure(w: Workload, paths: dict[str, str], repeats: int) -> Row:
    """One warm-up per side with a full check, then `repeats` timed runs alternating who goes
    first."""
    compare(
        w.name,
        "warm-up",
        {s: checked(w, paths[s], run_once(s, w, paths[s])[1], True) for s in SIDES},
    )
    if w.verify is not None:
        compare(w.name, "contents", {s: verified(s, w.mode, w.verify, paths[s]) for s in SIDES})
    times: dict[str, list[int]] = {side: [] for side in SIDES}
    for repeat in range(repeats):
        seen: dict[str, object] = {}
        for side in SIDES if repeat % 2 == 0 else SIDES[::-1]:
            elapsed, result = run_once(side, w, paths[side])
            times[side].append(elapsed)
            seen[side] = checked(w, paths[side], result, False)
        compare(w.name, f"repeat {repeat + 1}", seen)
    return Row(
        workload=w.name,
        builtin_median_s=statistics.median(times["builtin"]) / 1e9,
        ours_median_s=statistics.median(times["ours"]) / 1e9,
        builtin_min_s=min(times["builtin"]) / 1e9,
        ours_min_s=min(times["ours"]) / 1e9,
        calls=w.calls,
        target=w.target,
        note=w.note,
    )


# ---------------------------------------------------------------- data and workloads


def text_data(size: int) -> bytes:
    """Printable ASCII in lines of LINE bytes; the last line has no newline."""
    printable = bytes(32 + i % 95 for i in range(256))
    data = bytearray(random.Random(7).randbytes(size).translate(printable))
    newlines = range(LINE - 1, size, LINE)
    data[LINE - 1 :: LINE] = b"\n" * len(newlines)
    return bytes(data)


def reads_per_pass(file_size: int, count: int) -> int:
    return len(range(0, file_size, count)) + 1  # the last read returns nothing


def build(directory: str, data: bytes) -> list[Workload]:
    files: dict[str, str] = {}
    for label, size in (("1m", MIB), ("16m", 16 * MIB), ("64m", 64 * MIB)):
        files[label] = os.path.join(directory, f"text-{label}")
        with open(files[label], "wb") as f:
            f.write(data[:size])
    text = data.decode()
    small = [data[i * 100 : (i + 1) * 100] for i in range(1000)]  # distinct, so order shows
    small_bytes = [small[i % len(small)] for i in range(SMALL_WRITES)]
    small_text = [chunk.decode() for chunk in small]
    small_str = [small_text[i % len(small_text)] for i in range(SMALL_WRITES)]
    big_bytes = [data[i * MIB : (i + 1) * MIB] for i in range(64)]
    big_str = [text[i * MIB : (i + 1) * MIB] for i in range(64)]
    lines_bytes = data[: 100_000 * LINE].splitlines(keepends=True)
    lines_str = text[: 100_000 * LINE].splitlines(keepends=True)
    line_count = data.count(b"\n") + (not data.endswith(b"\n"))

    def loop(count: int, passes: int) -> dict[str, Any]:
        return {
            "action": read_chunks(count),
            "source": files["16m"],
            "passes": passes,
            "calls": reads_per_pass(16 * MIB, count) * passes,
            "verify": chunk_digest(count),
        }

    def lines(vs: str, mode: str, target: float) -> list[Workload]:
        return [
            Workload(
                f"for line in f, 64 MiB (vs {vs})",
                mode,
                iterate_lines,
                files["64m"],
                calls=line_count,
                target=target,
                verify=line_digest,
            ),
            Workload(
                f"readlines(), 64 MiB (vs {vs})", mode, read_lines, files["64m"], target=target
            ),
        ]

    return [
        Workload("read() 1 MiB x64, binary", "rb", read_all, files["1m"], passes=64, target=1.0),
        Workload("read() 1 MiB x64, text", "r", read_all, files["1m"], passes=64, target=1.1),
        Workload("read() 64 MiB, binary", "rb", read_all, files["64m"], target=1.0),
        Workload("read() 64 MiB, text", "r", read_all, files["64m"], target=1.1),
        Workload("read(100) loop, 16 MiB", "rb", note=PREAD_FLOOR, **loop(100, 1)),
        Workload("read(4096) loop, 16 MiB x8", "rb", note=PREAD_FLOOR, **loop(4096, 8)),
        Workload("read(1 MiB) loop, 16 MiB x8", "rb", **loop(MIB, 8)),
        *lines("binary", "rb", 1.2),
        *lines("text", "r", 1.3),
        Workload(
            "write(100 B bytes) x1M",
            "wb",
            write_each(small_bytes),
            None,
            calls=SMALL_WRITES,
            target=1.5,
        ),
        Workload(
            "write(100 B str) x1M", "w", write_each(small_str), None, calls=SMALL_WRITES, target=1.5
        ),
        Workload(
            "write(1 MiB) x64, binary", "wb", write_each(big_bytes), None, calls=64, target=1.0
        ),
        Workload("write(1 MiB) x64, text", "w", write_each(big_str), None, calls=64, target=1.1),
        Workload(
            "writelines(100 000 lines), binary", "wb", write_lines(lines_bytes), None, target=2.0
        ),
        Workload("writelines(100 000 lines), text", "w", write_lines(lines_str), None, target=2.0),
        Workload(
            "seek(0)+read(100) loop",
            "rb",
            seek_and_read(POSITION_LOOPS),
            files["16m"],
            calls=POSITION_LOOPS,
            note=PREAD_FLOOR,
        ),
        Workload("tell() loop", "rb", tell_loop(TELL_LOOPS), files["16m"], calls=TELL_LOOPS),
    ]


def front_rows(quick: bool) -> list[Row]:
    """The asyncio front's cost per operation against a builtin file through asyncio.to_thread,
    from benchmarks/front_bench.py when it exists (its rows hold one figure per side, in ns)."""
    try:
        import front_bench
    except ModuleNotFoundError as error:
        if error.name != "front_bench":
            raise
        print("note: benchmarks/front_bench.py not found; the asyncio front is not measured")
        return []
    return [
        Row(
            workload=f"asyncio front: {raw['workload']} (vs to_thread)",
            calls=1,
            target=FRONT_TARGET,
            builtin_median_s=raw["builtin_to_thread_ns"] / 1e9,
            ours_median_s=raw["ours_ns"] / 1e9,
            group="asyncio front",
        )
        for raw in front_bench.run(quick)
    ]


# ---------------------------------------------------------------- report


def per_call(total: float, calls: int | None) -> str:
    return f"{total / calls * 1e9:.0f}" if calls else ""


def print_table(rows: list[Row]) -> None:
    header = (
        "workload",
        "builtin",
        "ours",
        "builtin min",
        "ours min",
        "ns/call b",
        "ns/call o",
        "ratio",
        "target",
    )
    cells = [header] + [
        (
            r.workload,
            duration(r.builtin_median_s),
            duration(r.ours_median_s),
            duration(r.builtin_min_s),
            duration(r.ours_min_s),
            per_call(r.builtin_median_s, r.calls),
            per_call(r.ours_median_s, r.calls),
            f"{r.ratio:.2f}",
            r.status,
        )
        for r in rows
    ]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    for n, row in enumerate(cells):
        cells_text = (
            c.ljust(w) if i in (0, 8) else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))
        )
        print("  ".join(cells_text).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


def geometric_mean(values: list[float]) -> float | None:
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def measure_all(only: str | None, repeats: int, errors: list[str]) -> list[Row]:
    """The core workloads in a RAM-backed temporary directory where there is one."""
    shm = "/dev/shm"
    ram = shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None
    rows = []
    with tempfile.TemporaryDirectory(prefix="larkspan-bench-", dir=ram) as directory:
        print(
            f"Python {platform.python_version()}, {os.cpu_count()} CPUs, data in {directory}, "
            f"1 warm-up + {repeats} timed repeats per side"
        )
        outputs = {side: os.path.join(directory, f"out-{side}") for side in SIDES}
        for w in build(directory, text_data(64 * MIB)):
            if only and only not in w.name:
                continue
            try:
                rows.append(
                    measure(w, {side: w.source or outputs[side] for side in SIDES}, repeats)
                )
                print(f"  {w.name}: {rows[-1].ratio:.2f}", flush=True)
            except (
                Exception
            ) as error:  # reported and counted: a failing workload never yields a row
                errors.append(f"{w.name}: {type(error).__name__}: {error}")
                print(f"ERROR {errors[-1]}", file=sys.stderr)
    return rows


def summarise(rows: list[Row], errors: list[str]) -> float | None:
    print()
    print_table(rows)
    core = [r for r in rows if r.group == "core"]
    mean = geometric_mean([r.ratio for r in core])
    without_floor = geometric_mean([r.ratio for r in core if r.note != PREAD_FLOOR])
    missed = [r.workload for r in rows if r.target is not None and r.ratio < r.target]
    print()
    if mean is not None:
        print(
            f"geometric mean of builtin/ours over the {len(core)} core workloads: {mean:.2f} "
            f"(target >=1.30 {'met' if mean >= 1.3 else 'MISSED'}); asyncio front rows not "
            f"included"
        )
    if without_floor is not None and without_floor != mean:
        print(
            "  without the counted reads, held to the pread floor instead of a ratio: "
            f"{without_floor:.2f}"
        )
    print(f"targets missed: {len(missed)}" + (f" ({'; '.join(missed)})" if missed else ""))
    return mean


def write_outputs(
    path: Path, summary: dict[str, Any], peer_rows: list[peers_report.PeerRow]
) -> None:
    """The JSON at `path` and, when the peers ran, their chart beside it as SVG."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        json.dump(summary, out, indent=2)
    written = [path]
    if peer_rows:
        written.append(path.with_suffix(".svg"))
        written[-1].write_text(peers_report.chart_svg(peer_rows), encoding="utf-8")
    print(f"wrote {', '.join(map(str, written))}")


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--full",
        action="store_true",
        help=f"{FULL_REPEATS} timed repeats instead of {QUICK_REPEATS}",
    )
    parser.add_argument(
        "--json",
        metavar="PATH",
        default=DEFAULT_JSON,
        help="where the rows and the summary go, the peers' chart beside it as .svg "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--only", metavar="TEXT", help="run only the core workloads whose name contains TEXT"
    )
    args = parser.parse_args()
    repeats = FULL_REPEATS if args.full else QUICK_REPEATS
    started = time.perf_counter()
    errors: list[str] = []
    rows = measure_all(args.only, repeats, errors)
    peer_rows: list[peers_report.PeerRow] = []
    peer_notes: list[str] = []
    if not args.only:
        try:
            rows += front_rows(quick=not args.full)
        except Exception as error:  # reported and counted like a failing workload
            errors.append(f"asyncio front: {type(error).__name__}: {error}")
            print(f"ERROR {errors[-1]}", file=sys.stderr)
        peer_rows = peers_bench.run(args.full, errors, peer_notes)
        peer_rows += fsspec_bench.run(args.full, errors, peer_notes)
    mean = summarise(rows, errors)
    if peer_rows or peer_notes:
        peers_report.print_table(peer_rows, peer_notes)
    print(f"errors: {len(errors)}")
    print(f"total time {time.perf_counter() - started:.1f} s")
    summary = {
        "python": platform.python_version(),
        "cpus": os.cpu_count(),
        "machine": peers_report.machine(),
        "repeats": repeats,
        "geometric_mean": mean,
        "errors": errors,
        "rows": [{**asdict(r), "ratio": r.ratio} for r in rows],
        "peers": [asdict(r) for r in peer_rows],
        "peer_notes": peer_notes,
    }
    write_outputs(Path(args.json), summary, peer_rows)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
