"""larkspan.fsspec from asyncio code (asynchronous=True) and on slow or failing storage: many reads
overlap while the loop runs on, a cancelled batch leaves no descriptor, open_async's streamed files
read and write as fsspec's, and the file system is found by protocol and pickles."""

import asyncio
import errno
import gc
import os
import pickle
from pathlib import Path
from typing import Any

import fsspec
import pytest
from conftest import descriptors, run_child, ticking
from fsspec.implementations.local import LocalFileSystem
from larkspan.fsspec import BlockingFile, LarkspanFileSystem, StreamedFile
from larkspan.fsspec._file_system import STAT_BATCH
from larkspan.fsspec._local import WHOLE_FILE_LIMIT

LATENCY_MS = 20.0


def afs(**options: Any) -> LarkspanFileSystem:
    return LarkspanFileSystem(asynchronous=True, **options)


def write_files(folder: Path, count: int, size: int = 100) -> list[str]:
    paths = []
    for i in range(count):
        path = folder / f"f{i:04d}"
        path.write_bytes(bytes([i % 256]) * size)
        paths.append(str(path))
    return paths


# ---- found by protocol, and sent to other processes ------------------------------------------


def test_the_protocol_names_the_file_system() -> None:
    assert fsspec.get_filesystem_class("larkspan") is LarkspanFileSystem
    fs, path = fsspec.core.url_to_fs("larkspan:///tmp/x/")
    assert (type(fs), path) == (LarkspanFileSystem, "/tmp/x")


def test_url_opens_through_larkspan(tmp_path: Path) -> None:
    with fsspec.open(f"larkspan://{tmp_path}/new/file.txt", "w", auto_mkdir=True) as f:
        f.write("through a URL\n")
    with fsspec.open(f"larkspan://{tmp_path}/new/file.txt", "rb") as f:
        assert isinstance(f, BlockingFile) and f.read() == b"through a URL\n"


def test_pickles_with_its_options() -> None:
    fs = pickle.loads(pickle.dumps(LarkspanFileSystem(auto_mkdir=True)))
    assert isinstance(fs, LarkspanFileSystem) and fs.auto_mkdir


# ---- overlapping reads, on the caller's loop -----------------------------------------------


def test_cat_of_many_files_on_slow_storage_overlaps_them(slow_fs: Any) -> None:
    mount = slow_fs(LATENCY_MS)
    names = [Path(p).name for p in write_files(mount.backing, 32, 4096)]

    async def main() -> tuple[dict[str, bytes], int]:
        return await ticking(afs()._cat([str(mount.mountpoint / name) for name in names]), 0.001)

    contents, ticks = asyncio.run(main())
    assert contents == {str(mount.mountpoint / n): (mount.backing / n).read_bytes() for n in names}
    assert mount.stats().peak_in_flight >= 4  # side by side, not one after another
    assert ticks >= 5, f"the loop ticked only {ticks} times while the files were read"


def test_a_cancelled_cat_leaves_no_descriptor_open(slow_fs: Any) -> None:
    mount = slow_fs(LATENCY_MS)
    paths = [str(mount.mountpoint / Path(p).name) for p in write_files(mount.backing, 16)]

    async def main() -> None:
        before = descriptors()
        reading = asyncio.ensure_future(afs()._cat(paths))
        while mount.stats().in_flight == 0:  # until the first request waits in the daemon
            await asyncio.sleep(0.001)
        reading.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reading
        while mount.stats().in_flight:  # the calls already on workers run to their end
            await asyncio.sleep(0.005)
        for _ in range(100):  # and their descriptors are closed as their results come in
            if descriptors() == before:
                break
            await asyncio.sleep(0.005)
        assert descriptors() == before

    asyncio.run(main())


def test_cat_of_a_listing_larger_than_a_batch(tmp_path: Path) -> None:
    paths = write_files(tmp_path, 700, 3)
    local = LocalFileSystem()
    ours = LarkspanFileSystem()
    assert ours.cat(paths) == local.cat(paths)
    assert ours.cat(f"{tmp_path}/*") == local.cat(f"{tmp_path}/*")


def test_ls_detail_across_stat_batches(tmp_path: Path) -> None:
    write_files(tmp_path, STAT_BATCH * 2 + 1, 1)

    def names_and_sizes(listing: list[dict[str, Any]]) -> list[tuple[str, int]]:
        return sorted((info["name"], info["size"]) for info in listing)

    ours = LarkspanFileSystem().ls(str(tmp_path), detail=True)
    assert names_and_sizes(ours) == names_and_sizes(
        LocalFileSystem().ls(str(tmp_path), detail=True)
    )


# ---- failing storage -------------------------------------------------------------------------


def test_pipe_file_failing_with_eio_raises_and_keeps_no_descriptor(slow_fs: Any) -> None:
    mount = slow_fs(1.0, fail_marker="broken")
    fs = LarkspanFileSystem()
    fs.exists(
        str(mount.mountpoint)
    )  # fsspec's loop and larkspan's workers hold descriptors of their own
    before = descriptors()
    with pytest.raises(OSError) as failure:
        fs.pipe_file(str(mount.mountpoint / "broken"), b"lost")
    assert failure.value.errno == errno.EIO
    del failure
    gc.collect()  # a handle whose bytes could not go out is closed when it is let go
    assert descriptors() == before


# ---- open_async --------------------------------------------------------------------------------


def test_open_async_reads_ranges_and_sizes(tmp_path: Path) -> None:
    path = tmp_path / "data"
    path.write_bytes(bytes(range(200)))

    async def main() -> list[Any]:
        async with await afs().open_async(str(path)) as f:
            assert isinstance(f, StreamedFile)
            return [
                f.size,
                await f.read(5),
                f.tell(),
                await f.read(3),
                f.seek(190),
                await f.read(),
                await f.read(),
            ]

    assert asyncio.run(main()) == [
        200,
        bytes(range(5)),
        5,
        bytes(range(5, 8)),
        190,
        bytes(range(190, 200)),
        b"",
    ]


def test_open_async_writes_blocks_and_the_rest_at_close(tmp_path: Path) -> None:
    path = tmp_path / "out"

    async def main() -> int:
        f = await afs().open_async(str(path), "wb", block_size=1000)
        for i in range(25):
            await f.write(bytes([i]) * 100)  # a block goes to the handle every 10 writes
        handed_over = f.offset
        await f.close()
        return handed_over

    assert asyncio.run(main()) == 2000
    assert path.read_bytes() == b"".join(bytes([i]) * 100 for i in range(25))


def test_open_async_appends_and_creates_exclusively(tmp_path: Path) -> None:
    path = tmp_path / "out"
    path.write_bytes(b"old")

    async def main() -> None:
        async with await afs().open_async(str(path), "ab") as f:
            await f.write(b"+new")
        with pytest.raises(FileExistsError):
            await afs().open_async(str(path), "xb")
        async with await afs().open_async(str(tmp_path / "fresh"), "xb") as f:
            await f.write(b"fresh")

    before = descriptors()
    asyncio.run(main())
    assert descriptors() == before
    assert (path.read_bytes(), (tmp_path / "fresh").read_bytes()) == (b"old+new", b"fresh")


OPEN_ASYNC_REFUSALS = {
    "text mode": ("r", ValueError),
    "compression": ("rb", ValueError, {"compression": "gzip"}),
    "update mode": ("r+b", NotImplementedError),
}


@pytest.mark.parametrize("refusal", OPEN_ASYNC_REFUSALS.values(), ids=OPEN_ASYNC_REFUSALS.keys())
def test_open_async_refuses_what_streamed_files_cannot_do(
    tmp_path: Path, refusal: tuple[Any, ...]
) -> None:
    (tmp_path / "data").write_bytes(b"x")
    mode, error, options = (*refusal, {})[:3]
    before = descriptors()
    with pytest.raises(error):
        asyncio.run(afs().open_async(str(tmp_path / "data"), mode, **options))
    assert descriptors() == before


def test_open_async_on_a_missing_file_raises_builtins_error(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError) as missing:
        asyncio.run(afs().open_async(str(tmp_path / "missing")))
    assert str(missing.value) == f"[Errno 2] No such file or directory: '{tmp_path}/missing'"


# ---- blocking files ------------------------------------------------------------------------------


def test_a_blocking_file_let_go_unclosed_keeps_its_bytes(tmp_path: Path) -> None:
    fs = LarkspanFileSystem()
    fs.exists(str(tmp_path))  # fsspec's loop holds descriptors of its own
    f = fs.open(str(tmp_path / "out"), "wb")
    f.write(b"pending")
    before = descriptors()
    del f
    gc.collect()
    assert (tmp_path / "out").read_bytes() == b"pending"
    assert descriptors() == before - 1


EXIT_WITH_AN_OPEN_FILE = """
import sys
from larkspan.fsspec import LarkspanFileSystem
kept = LarkspanFileSystem().open(sys.argv[1], "wb")
kept.write(b"pending at exit")
print("wrote")
"""


def test_interpreter_exit_with_a_blocking_file_open_writes_its_bytes(tmp_path: Path) -> None:
    # fsspec's loop thread stops at exit: a close that waited for it would hang the exit.
    assert run_child(EXIT_WITH_AN_OPEN_FILE, str(tmp_path / "out")) == "wrote\n"
    assert (tmp_path / "out").read_bytes() == b"pending at exit"


def test_a_blocking_file_let_go_on_the_loop_thread_does_not_wait_for_itself(tmp_path: Path) -> None:
    fs = LarkspanFileSystem()
    path = str(tmp_path / "data")
    fs.pipe_file(path, b"data")

    before = descriptors()

    async def let_go_on_the_loop() -> None:
        f = BlockingFile(fs, path, await fs._open_handle(path, "rb"), 4)
        # A close through the loop would be refused here ("Calling sync() from within a running
        # loop").
        del f
        gc.collect()

    fsspec.asyn.sync(fs.loop, let_go_on_the_loop)
    assert descriptors() == before  # the handle's own finalizer closed it


def test_blocking_calls_from_the_loop_of_an_asynchronous_instance_are_refused(
    tmp_path: Path,
) -> None:
    with pytest.raises(RuntimeError, match="Loop is not running"):
        afs().cat_file(str(tmp_path / "x"))


def test_blocking_and_async_writes_meet_on_disk(tmp_path: Path) -> None:
    path = str(tmp_path / "shared")
    fs = LarkspanFileSystem()
    fs.pipe_file(path, b"blocking ")
    with fs.open(path, "ab") as f:
        f.write(b"then appended")
    assert asyncio.run(afs()._cat_file(path)) == b"blocking then appended"
    assert os.path.getsize(path) == len(b"blocking then appended")


def test_cat_file_failing_with_eio_raises_as_local_file_system(slow_fs: Any) -> None:
    # Whole files below WHOLE_READ_LIMIT are read with one system call, whose error is raised;
    # larkspan's handles report a failed read through their stream as a short one (see README).
    mount = slow_fs(1.0, fail_marker="broken")
    (mount.backing / "broken").write_bytes(b"x" * 100)
    path = str(mount.mountpoint / "broken")
    with pytest.raises(OSError) as ranged:
        LarkspanFileSystem().cat_file(path, start=10, end=20)
    assert ranged.value.errno == errno.EIO
    with pytest.raises(OSError):
        LarkspanFileSystem().cat_file(path)


# ---- whole files read or written in one system call, and what is left to larkspan's handles ----

SIZES = {
    "empty": 0,
    "one": 1,
    "page": 4096,
    "below the limit": WHOLE_FILE_LIMIT - 1,
    "the limit": WHOLE_FILE_LIMIT,
    "above the limit": WHOLE_FILE_LIMIT + 1,
}


@pytest.mark.parametrize("size", SIZES.values(), ids=SIZES.keys())
def test_whole_files_of_every_size_round_trip(tmp_path: Path, size: int) -> None:
    data = bytes(range(256)) * (size // 256) + bytes(size % 256)
    fs = LarkspanFileSystem()
    fs.pipe_file(str(tmp_path / "out"), data)
    assert (tmp_path / "out").read_bytes() == data
    assert fs.cat_file(str(tmp_path / "out")) == data
    assert fs.cat([str(tmp_path / "out"), str(tmp_path / "out")]) == {str(tmp_path / "out"): data}


def test_a_file_whose_pages_were_dropped_is_read_whole(tmp_path: Path) -> None:
    if file_system_type(tmp_path) in ("tmpfs", "ramfs"):
        pytest.skip(f"{tmp_path} is held in memory: its pages cannot be dropped")
    paths = write_files(tmp_path, 20, 50_000)
    for path in paths:
        descriptor = os.open(path, os.O_RDONLY)
        os.fsync(descriptor)
        os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(descriptor)
    expected = LocalFileSystem().cat(paths)
    for path in paths:  # dropped again: the local read above brought them back
        descriptor = os.open(path, os.O_RDONLY)
        os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(descriptor)
    before = descriptors()
    assert asyncio.run(afs()._cat(paths)) == expected  # opened on the loop, read on workers
    assert asyncio.run(afs()._cat_file(paths[0])) == expected[paths[0]]
    assert descriptors() == before


def file_system_type(path: Path) -> str:
    best, kind = "", ""
    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        for line in mounts:
            point, fs_type = line.split()[1:3]
            if (str(path) + "/").startswith(point.rstrip("/") + "/") and len(point) > len(best):
                best, kind = point, fs_type
    return kind


def test_writes_to_slow_storage_leave_the_loop_free(slow_fs: Any) -> None:
    mount = slow_fs(LATENCY_MS)
    path = str(mount.mountpoint / "out")

    async def main() -> tuple[None, int]:
        return await ticking(afs()._pipe_file(path, b"slow" * 1000), 0.001)

    _, ticks = asyncio.run(main())
    assert (mount.backing / "out").read_bytes() == b"slow" * 1000
    assert ticks >= 5, f"the loop ticked only {ticks} times while the file was written"


@pytest.mark.parametrize(
    "size", [2 << 20, WHOLE_FILE_LIMIT + 1], ids=["one system call", "through a handle"]
)
def test_a_full_disk_fails_as_on_the_local_file_system(small_tmpfs: Path, size: int) -> None:
    outcomes = []
    for fs in (LocalFileSystem(), LarkspanFileSystem()):
        path = small_tmpfs / f"{type(fs).__name__}"
        with pytest.raises(OSError) as failure:
            fs.pipe_file(str(path), b"x" * size)
        outcomes.append((type(failure.value), failure.value.errno, path.stat().st_size))
        path.unlink()
    assert outcomes[1] == outcomes[0]
    assert outcomes[0][1] == errno.ENOSPC
