"""Checked by mypy --strict in scripts/typecheck, never run: what the types promise to callers."""

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
