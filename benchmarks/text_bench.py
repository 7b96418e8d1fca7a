"""Cost per line, per write and per tell()/seek() of the text layer (larkspan._text.TextHandle)
against the binary handle under it, on a file in /dev/shm of 80-character ASCII lines (and, for the
positions, of lines that end in "\r\n" and hold multibyte characters, where a cookie needs replay).
The sides take turns, and each figure is the median of the repeats, so that other load on the
machine touches both alike.

    python benchmarks/text_bench.py [--repeats N]
"""

import argparse
import asyncio
import gc
import tempfile
from collections.abc import Awaitable, Callable
from pathlib import Path
from statistics import median
from time import perf_counter_ns
from typing import Any

import larkspan
from larkspan._text import TextHandle

LINE = "x" * 79 + "\n"
WIDE_LINE = "é€" * 38 + "\r\n"
LINES = 200_000
WRITES = 200_000
POSITIONS = 20_000


async def text(path: Path, mode: str, newline: str | None = None) -> TextHandle:
    return TextHandle(await larkspan.open(path, mode + "b"), "utf-8", None, newline)


async def per_line(open_file: Callable[[], Awaitable[Any]], decode: bool = False) -> float:
    f = await open_file()
    count = 0
    start = perf_counter_ns()
    async for line in f:
        if decode:
            line.decode()
        count += 1
    elapsed = perf_counter_ns() - start
    await f.close()
    assert count == LINES
    return elapsed / count


async def per_write(open_file: Callable[[], Awaitable[Any]], data: str | bytes) -> float:
    f = await open_file()
    start = perf_counter_ns()
    for _ in range(WRITES):
        await f.write(data)
    elapsed = perf_counter_ns() - start
    await f.close()
    return elapsed / WRITES


async def per_position(open_file: Callable[[], Awaitable[Any]], seek: bool) -> float:
    """tell() after a few characters of each line (mid-chunk, so the cookie is worked out), and
    with `seek`, a seek() back to it too."""
    f = await open_file()
    start = perf_counter_ns()
    for _ in range(POSITIONS):
        await f.read(3)
        cookie = await f.tell()
        if seek:
            await f.seek(cookie)
        await f.readline()
    elapsed = perf_counter_ns() - start
    await f.close()
    return elapsed / POSITIONS


async def measure(directory: Path, repeats: int) -> dict[str, list[float]]:
    lines, out = directory / "lines", directory / "out"
    lines.write_text(LINE * LINES)
    wide = directory / "wide"
    wide.write_bytes((WIDE_LINE * POSITIONS).encode())
    cases: dict[str, Callable[[], Awaitable[float]]] = {
        "binary async for": lambda: per_line(lambda: larkspan.open(lines, "rb")),
        "binary async for + decode()": lambda: per_line(
            lambda: larkspan.open(lines, "rb"), decode=True
        ),
        "text async for": lambda: per_line(lambda: text(lines, "r")),
        "text async for, newline=''": lambda: per_line(lambda: text(lines, "r", "")),
        "text read(3) + tell()": lambda: per_position(lambda: text(lines, "r"), seek=False),
        "text read(3) + tell() + seek()": lambda: per_position(lambda: text(lines, "r"), seek=True),
        "wide read(3) + tell() + seek()": lambda: per_position(lambda: text(wide, "r"), seek=True),
        "binary write(80 B)": lambda: per_write(lambda: larkspan.open(out, "wb"), LINE.encode()),
        "text write(80 chars)": lambda: per_write(lambda: text(out, "w"), LINE),
    }
    figures: dict[str, list[float]] = {name: [] for name in cases}
    gc.disable()
    try:
        for _ in range(repeats):
            for name, case in cases.items():
                figures[name].append(await case())
    finally:
        gc.enable()
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--repeats", type=int, default=7)
    repeats = parser.parse_args().repeats
    with tempfile.TemporaryDirectory(
        dir="/dev/shm" if Path("/dev/shm").is_dir() else None
    ) as directory:
        figures = asyncio.run(measure(Path(directory), repeats))
    for name, values in figures.items():
        print(f"{name:30} {median(values):6.0f} ns  (min {min(values):.0f})")


if __name__ == "__main__":
    main()
