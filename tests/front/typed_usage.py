"""Checked by mypy --strict in scripts/typecheck, never run: what the types promise to callers."""

import asyncio
from typing import assert_type

import larkspan


async def binary_and_text() -> None:
    async with larkspan.open("data.bin", "rb") as raw:
        assert_type(await raw.read(), bytes)
        assert_type(await raw.readline(), bytes)
        assert_type(await raw.readlines(), list[bytes])
        async for chunk in raw:
            assert_type(chunk, bytes)
    async with larkspan.open("notes.txt", encoding="latin-1") as text:
        assert_type(await text.read(3), str)
        async for line in text:
            assert_type(line, str)
    handle = await larkspan.open("notes.txt", "a")
    assert_type(await handle.write("more\n"), int)
    await handle.sync()
    await handle.close()
    assert_type(await larkspan.read_bytes("data.bin"), bytes)
    assert_type(await larkspan.write_text("notes.txt", "x", atomic=True), int)


async def one_annotation_for_every_handle() -> None:
    binary: larkspan.AsyncFile[bytes] = await larkspan.open("data.bin", "rb")
    text: larkspan.AsyncFile[str] = await larkspan.open("notes.txt")
    with open("data.bin", "rb") as file:
        wrapped: larkspan.AsyncFile[bytes] = larkspan.wrap_file(file)
        assert_type(await wrapped.read(), bytes)
    standard: larkspan.AsyncFile[str] = larkspan.stdin
    assert_type(await binary.readline(), bytes)
    assert_type(await text.readline(), str)
    assert_type(await standard.readline(), str)
    assert_type(await larkspan.stdout_bytes.write(b"x"), int)
    raw = await larkspan.open("notes.txt", "r")
    assert_type(raw.detach(), larkspan.FileHandle[bytes])
    await raw.reconfigure(encoding="latin-1", line_buffering=True)
    assert_type(await binary.aclose(), None)


async def limited() -> None:
    limiter = asyncio.Semaphore(4)
    async with larkspan.open("data.bin", "rb", limiter=limiter) as f:
        assert_type(await f.readinto1(bytearray(8)), int)
    path = larkspan.Path("data", limiter=limiter) / "x.bin"
    assert_type(path, larkspan.Path)
    assert_type(await larkspan.Path.cwd(limiter=limiter), larkspan.Path)
