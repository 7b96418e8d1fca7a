"""What the storage device gives, from fio on the file the cold random reads use, in the same run:
64 threads of pread through the page cache, and io_uring with O_DIRECT at depth 64. Both make as
many 4 KiB reads at random offsets as the libraries do, with the file's pages dropped first."""

import json
import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

FIO_TIMEOUT_S = 120.0
BLOCK = 4096


@dataclass(frozen=True)
class FioShape:
    label: str  # the row's library column
    options: tuple[str, ...]
    jobs: int  # threads that share the reads


FIO_SHAPES = (
    FioShape("fio psync x64", ("--ioengine=psync", "--direct=0", "--numjobs=64", "--thread"), 64),
    FioShape(
        "fio io_uring d64", ("--ioengine=io_uring", "--direct=1", "--iodepth=64", "--numjobs=1"), 1
    ),
)


@dataclass(frozen=True)
class FioResult:
    status: str  # ok, missing (no fio), or fails
    reads_per_s: float | None = None
    detail: str = ""


def fio_command(fio: str, path: Path, shape: FioShape, reads: int) -> list[str]:
    """Random 4 KiB reads over the whole file, `reads` of them shared by the shape's jobs; fio drops
    the file's pages itself before it starts (invalidate), and every job seeds its own offsets."""
    return [
        fio,
        "--name=cold-random",
        f"--filename={path}",
        "--rw=randread",
        f"--bs={BLOCK}",
        f"--size={path.stat().st_size}",
        f"--number_ios={max(reads // shape.jobs, 1)}",
        "--invalidate=1",
        "--randrepeat=0",
        "--group_reporting",
        "--output-format=json",
        *shape.options,
    ]


def parse_read_rate(output: str) -> float:
    """Reads per second of the job group in fio's JSON output, which fio may precede with notes of
    its own (a line such as "fio: ..." before the document)."""
    start = output.find("{")
    if start < 0:
        raise ValueError("no JSON document in fio's output")
    document = json.loads(output[start:])
    jobs = document.get("jobs") or []
    if not jobs:
        raise ValueError("fio's output lists no job")
    read = jobs[0]["read"]
    if jobs[0].get("error"):
        raise ValueError(f"fio's job failed with error {jobs[0]['error']}")
    if not read.get("total_ios") or not read.get("runtime"):
        raise ValueError("fio's job made no read")
    # iops is rounded by fio and averaged per job; the count over the group's time is exact.
    return float(read["total_ios"]) / (float(read["runtime"]) / 1000.0)


def drop_cached_pages(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)  # dirty pages stay in the cache until they are written
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def measure_fio(path: Path, shape: FioShape, reads: int) -> FioResult:
    fio = shutil.which("fio")
    if fio is None:
        return FioResult("missing", detail="fio is not installed (Debian: apt-get install fio)")
    drop_cached_pages(path)
    try:
        done = subprocess.run(
            fio_command(fio, path, shape, reads),
            capture_output=True,
            text=True,
            timeout=FIO_TIMEOUT_S,
            check=False,
        )
    except subprocess.TimeoutExpired:
        return FioResult("fails", detail=f"no result in {FIO_TIMEOUT_S:g} s")
    if done.returncode != 0:
        last = (done.stderr.strip() or done.stdout.strip()).splitlines()[-1:] or [
            f"exit status {done.returncode}"
        ]
        return FioResult("fails", detail=last[0])
    try:
        return FioResult("ok", parse_read_rate(done.stdout))
    except (ValueError, KeyError) as error:
        return FioResult("fails", detail=f"unreadable output: {error}")
