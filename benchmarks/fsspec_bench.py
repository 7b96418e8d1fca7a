"""larkspan.fsspec against the file systems fsspec users have today, in the peers table's form:
fs.cat() of 2,000 cached small files through larkspan.fsspec, fsspec's LocalFileSystem (blocking,
called in the coroutine) and morefs' AsyncLocalFileSystem; a zarr 3 array of 4,096 chunks written
and read (cached, and with the page cache dropped) through zarr.storage.FsspecStore over
larkspan.fsspec and through zarr.storage.LocalStore, with zarr's MemoryStore as what zarr itself
costs. Each (workload, library) runs in a child process of its own beside the 1 ms ticker.

    python benchmarks/fsspec_bench.py [--full] [--only zarr]
"""

import argparse
import asyncio
import hashlib
import json
import os
import shutil
import sys
import tempfile
from collections.abc import Awaitable, Callable
from dataclasses import asdict, dataclass, replace
from pathlib import Path
from typing import Any, TypeAlias

import peers_bench as pb
from device_limit import drop_cached_pages
from peers_report import SCENARIO, PeerRow, cell_time, print_table

CHUNKS = 64  # per side of the zarr array: 4,096 chunks of 32 x 32 float64 (8 KiB each)
CHUNK_SIDE = 32
LARKSPAN, LOCAL_FS, MOREFS = "larkspan", "fsspec local", "morefs"
LOCAL_STORE, MEMORY_STORE = "zarr LocalStore", "zarr MemoryStore"
FSSPEC_LIBRARIES = (LARKSPAN, LOCAL_FS, MOREFS)
ZARR_LIBRARIES = (LARKSPAN, LOCAL_STORE, MEMORY_STORE)
TIMEOUT_S = 120.0


@dataclass(frozen=True)
class Place:
    data: Path  # the small files, and the zarr array that the reads read
    library: str = LARKSPAN
    repeat: int = 0
    chunks: int = CHUNKS  # per side of the array

    def small_files(self) -> list[str]:
        return [str(p) for p in pb.Place(self.data).small_files(2000)]

    def array(self) -> Path:
        return self.data / "array.zarr"

    def written(self) -> Path:
        return self.data / f"written-{self.library}-{self.repeat}.zarr"


# ---------------------------------------------------------------- the file systems and stores


def file_system(library: str) -> Any:
    if library == LARKSPAN:
        from larkspan.fsspec import LarkspanFileSystem

        return LarkspanFileSystem(asynchronous=True, auto_mkdir=True)
    if library == MOREFS:
        from morefs.asyn_local import AsyncLocalFileSystem

        return AsyncLocalFileSystem(asynchronous=True, auto_mkdir=True)
    from fsspec.implementations.local import LocalFileSystem

    return LocalFileSystem(auto_mkdir=True)


def store(library: str, path: Path, read_only: bool) -> Any:
    import zarr.storage

    if library == LARKSPAN:
        return zarr.storage.FsspecStore(file_system(LARKSPAN), path=str(path), read_only=read_only)
    return zarr.storage.LocalStore(path, read_only=read_only)


def array_data(chunks: int) -> Any:
    import numpy as np

    side = chunks * CHUNK_SIDE
    return (np.arange(side * side, dtype="float64").reshape(side, side) * 7) % 1009


async def create_array(target: Any, chunks: int) -> Any:
    import zarr.api.asynchronous as za

    data = array_data(chunks)
    return await za.create_array(
        target,
        shape=data.shape,
        chunks=(CHUNK_SIDE, CHUNK_SIDE),
        dtype=data.dtype,
        compressors=None,
        fill_value=-1,
    )


def tree_digest(items: list[tuple[str, bytes]]) -> str:
    h = hashlib.sha256()
    for name, data in sorted(items):
        h.update(name.encode() + b"\0" + len(data).to_bytes(8, "little") + data)
    return h.hexdigest()


def files_digest(root: Path) -> str:
    return tree_digest(
        [(str(p.relative_to(root)), p.read_bytes()) for p in root.rglob("*") if p.is_file()]
    )


def drop_pages(root: Path) -> None:
    for path in root.rglob("*"):
        if path.is_file():
            drop_cached_pages(path)


# ---------------------------------------------------------------- workloads


Run: TypeAlias = Callable[[Place, pb.Timer], Awaitable[str]]


async def cat_small_files(place: Place, timed: pb.Timer) -> str:
    paths = place.small_files()
    fs = file_system(place.library)
    async with timed():
        contents = await fs._cat(paths) if place.library != LOCAL_FS else fs.cat(paths)
    return pb.digest([contents[path] for path in paths])


async def write_array(place: Place, timed: pb.Timer) -> str:
    import zarr.storage

    data = array_data(place.chunks)
    shutil.rmtree(place.written(), ignore_errors=True)
    memory: dict[str, Any] = {}
    target = (
        zarr.storage.MemoryStore(memory)
        if place.library == MEMORY_STORE
        else store(place.library, place.written(), read_only=False)
    )
    async with timed():
        array = await create_array(target, place.chunks)
        await array.setitem(slice(None), data)
    if place.library == MEMORY_STORE:
        return tree_digest([(key, value.to_bytes()) for key, value in memory.items()])
    return files_digest(place.written())


def read_array(cached: bool) -> Run:
    async def run(place: Place, timed: pb.Timer) -> str:
        import zarr.api.asynchronous as za
        import zarr.storage

        if place.library == MEMORY_STORE:
            target: Any = zarr.storage.MemoryStore()
            await (await create_array(target, place.chunks)).setitem(
                slice(None), array_data(place.chunks)
            )
        else:
            target = store(place.library, place.array(), read_only=True)
        if cached:
            await (await za.open_array(store=target)).getitem(slice(None))  # every page in memory
        elif place.library != MEMORY_STORE:
            drop_pages(place.array())
        async with timed():
            values = await (await za.open_array(store=target)).getitem(slice(None))
        return hashlib.sha256(values.tobytes()).hexdigest()

    return run


@dataclass(frozen=True)
class Workload:
    name: str
    run: Run
    libraries: tuple[str, ...]
    cold: bool = False  # drops pages: skipped on a file system held in memory
    kind: str = SCENARIO  # as the peers' workloads: timed beside the ticker
    # as the peers' workloads: none here counts its operations for a rate.
    operations: int | None = None
    time_charted: bool = False  # the chart draws these rows' times in a panel of their own anyway


WORKLOADS = [
    Workload("11. fs.cat() of 2,000 cached 4 KiB files", cat_small_files, FSSPEC_LIBRARIES),
    Workload(f"12. zarr: write {CHUNKS * CHUNKS:,} chunks", write_array, ZARR_LIBRARIES),
    Workload(
        f"13. zarr: read {CHUNKS * CHUNKS:,} cached chunks", read_array(cached=True), ZARR_LIBRARIES
    ),
    Workload(
        f"14. zarr: read {CHUNKS * CHUNKS:,} chunks, cache dropped",
        read_array(cached=False),
        (LARKSPAN, LOCAL_STORE),
        cold=True,
    ),
]


# ---------------------------------------------------------------- children and rows


def run_in_child(workload: Workload, place: Place, repeats: int) -> dict[str, Any]:
    runs: dict[str, list[Any]] = {"times_ns": [], "gaps_ns": [], "checks": []}
    for repeat in range(repeats):
        timer = pb.Timer(watch_loop=True)
        try:
            check = asyncio.run(workload.run(replace(place, repeat=repeat), timer))
        except OSError as error:
            return {"status": "fails", "detail": f"{type(error).__name__}: {error}"}
        runs["times_ns"].append(timer.elapsed_ns)
        runs["gaps_ns"].append(timer.longest_gap_ns)
        runs["checks"].append(check)
    return {"status": "ok"} | runs


def child_main(request: str) -> int:
    args = json.loads(request)
    workload = next(w for w in WORKLOADS if w.name == args["workload"])
    place = Place(Path(args["data"]), args["library"], chunks=args["chunks"])
    print(json.dumps(run_in_child(workload, place, args["repeats"])), flush=True)
    return 0


def measure(workload: Workload, place: Place, repeats: int) -> pb.Outcome:
    request = {
        "workload": workload.name,
        "data": str(place.data),
        "library": place.library,
        "repeats": repeats,
        "chunks": place.chunks,
    }
    command = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(request)]
    return pb.run_child(command, pb.CHILD_START_S + TIMEOUT_S * repeats)


def missing_modules() -> list[str]:
    import importlib.util

    return [name for name in ("fsspec", "zarr", "morefs") if importlib.util.find_spec(name) is None]


def make_data(data: Path, chunks: int = CHUNKS) -> None:
    pb.write_small_files([Path(p) for p in Place(data).small_files()])

    async def write() -> None:
        array = await create_array(store(LOCAL_STORE, data / "array.zarr", False), chunks)
        await array.setitem(slice(None), array_data(chunks))

    asyncio.run(write())
    for path in (data / "array.zarr").rglob("*"):  # written back, so that its pages can be dropped
        if path.is_file():
            descriptor = os.open(path, os.O_RDONLY)
            os.fsync(descriptor)
            os.close(descriptor)


def run(
    full: bool,
    errors: list[str],
    notes: list[str],
    directory: Path | None = None,
    only: str | None = None,
) -> list[PeerRow]:
    """Every workload (or those whose name contains `only`) for each of its libraries."""
    missing = missing_modules()
    if missing:
        notes.append(
            f"fsspec rows skipped: {', '.join(missing)} not installed (pip install '.[bench]')"
        )
        return []
    repeats = pb.FULL_REPEATS if full else pb.QUICK_REPEATS
    directory = directory or pb.ROOT / "build" / "bench"
    directory.mkdir(parents=True, exist_ok=True)
    rows: list[PeerRow] = []
    with tempfile.TemporaryDirectory(prefix="fsspec-", dir=directory) as temporary:
        data = Path(temporary)
        make_data(data)
        kind = pb.file_system_type(data)
        print(f"fsspec: data in {data} ({kind}), {repeats} run(s) each", flush=True)
        for workload in (w for w in WORKLOADS if only is None or only in w.name):
            if workload.cold and kind in ("tmpfs", "ramfs"):
                notes.append(
                    f"{workload.name}: skipped, {data} is on {kind}, whose pages cannot be dropped"
                )
                continue
            try:
                outcomes = {
                    library: measure(workload, Place(data, library), repeats)
                    for library in workload.libraries
                }
            except pb.ChildError as error:
                errors.append(f"fsspec, {workload.name}: {type(error).__name__}: {error}")
                print(f"ERROR {errors[-1]}", file=sys.stderr)
                continue
            kept = pb.matching(workload.name, outcomes, errors)
            notes += [
                f"{workload.name}: no row for {library}, whose result differed (an error)"
                for library in outcomes
                if library not in kept
            ]
            rows += pb.rows_for(workload, kept)  # type: ignore[arg-type]  (the fields they share are read)
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
    parser.add_argument("--full", action="store_true", help=f"the median of {pb.FULL_REPEATS} runs")
    parser.add_argument(
        "--dir", type=Path, help="where the data goes (default build/bench; not tmpfs)"
    )
    parser.add_argument(
        "--only", metavar="TEXT", help="run only the workloads whose name contains TEXT"
    )
    parser.add_argument("--json", type=Path, help="also write the rows there")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child_main(args.child)
    errors: list[str] = []
    notes: list[str] = []
    rows = run(args.full, errors, notes, args.dir, args.only)
    print_table(rows, notes)
    if args.json:
        args.json.write_text(json.dumps([asdict(r) for r in rows], indent=2), encoding="utf-8")
    print(f"errors: {len(errors)}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
