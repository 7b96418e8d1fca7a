"""Programs written for aiofiles and for anyio's file API run on larkspan with only their import
changed."""

import asyncio
from pathlib import Path

import larkspan as aiofiles  # the only change to the aiofiles program
import larkspan.os
import larkspan.ospath
import larkspan.tempfile
from larkspan import Path as AsyncPath  # the only change to the anyio program
from larkspan import open_file


async def aiofiles_program(directory: Path) -> list[object]:
    path = directory / "notes.txt"
    async with aiofiles.open(path, "w") as f:
        await f.write("one\ntwo\n")
    async with aiofiles.open(path, mode="r") as f:
        lines = [line async for line in f]
    async with aiofiles.tempfile.NamedTemporaryFile("wb+") as temporary:
        await temporary.write(b"scratch")
        await temporary.seek(0)
        scratch = await temporary.read()
    stat = await aiofiles.os.stat(path)
    await aiofiles.os.rename(path, directory / "renamed.txt")
    return [lines, scratch, stat.st_size, await aiofiles.ospath.exists(directory / "renamed.txt")]


async def anyio_program(directory: Path) -> list[object]:
    path = AsyncPath(directory) / "data.bin"
    await path.write_bytes(b"\x00\x01\x02")
    async with await open_file(path, "rb") as f:
        first = await f.read(1)
        rest = await f.read()
    f = await open_file(path, "ab")
    await f.write(b"\x03")
    await f.aclose()
    names = [entry.name async for entry in AsyncPath(directory).iterdir()]
    return [first, rest, await path.read_bytes(), names, await path.exists()]


def test_an_aiofiles_program_runs_unchanged(tmp_path: Path) -> None:
    assert asyncio.run(aiofiles_program(tmp_path)) == [["one\n", "two\n"], b"scratch", 8, True]


def test_an_anyio_program_runs_unchanged(tmp_path: Path) -> None:
    assert asyncio.run(anyio_program(tmp_path)) == [
        b"\x00",
        b"\x01\x02",
        b"\x00\x01\x02\x03",
        ["data.bin"],
        True,
    ]
