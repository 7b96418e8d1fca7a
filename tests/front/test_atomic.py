"""larkspan.replace_atomically: exclusive modes stay exclusive to the commit, the temporary file is
never readable by more people than the target, and a block that fails leaves the target as it
was with no temporary file and no descriptor behind."""

import asyncio
import errno
import os
import shutil
import stat
import subprocess
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import descriptors


def temporaries(folder: Path) -> list[Path]:
    return [entry for entry in folder.iterdir() if entry.name.endswith(".tmp")]


@pytest.mark.parametrize("mode", ["xb", "x"])
def test_second_exclusive_writer_fails_and_first_file_stays(tmp_path: Path, mode: str) -> None:
    target = tmp_path / "claimed"
    data = {"first": b"first writer", "second": b"second writer"}

    async def main() -> None:
        first = larkspan.replace_atomically(target, mode)
        second = larkspan.replace_atomically(target, mode)
        writers = [await first.__aenter__(), await second.__aenter__()]  # both find the name free
        for writer, content in zip(writers, data.values(), strict=True):
            await writer.write(content if "b" in mode else content.decode())
        await first.__aexit__(None, None, None)
        with pytest.raises(FileExistsError) as failed:
            await second.__aexit__(None, None, None)
        assert failed.value.filename == str(target)

    asyncio.run(main())
    assert (target.read_bytes(), temporaries(tmp_path)) == (data["first"], [])


def test_exclusive_writer_fails_when_another_program_creates_the_file(tmp_path: Path) -> None:
    target = tmp_path / "claimed"

    async def main() -> None:
        async with larkspan.replace_atomically(target, "xb") as f:
            await f.write(b"ours")
            target.write_bytes(b"theirs")  # builtin open(), between our check and our commit

    with pytest.raises(FileExistsError):
        asyncio.run(main())
    assert (target.read_bytes(), temporaries(tmp_path)) == (b"theirs", [])


@pytest.fixture
def umask() -> Iterator[int]:
    previous = os.umask(0o022)
    yield 0o022
    os.umask(previous)


@pytest.mark.parametrize(
    ("existing", "expected"),
    [(0o600, 0o600), (0o640, 0o640), (0o444, 0o444), (0o4755, 0o4755), (None, 0o644)],
    ids=["secret", "group-readable", "read-only", "setuid", "new-file"],
)
def test_temporary_file_has_the_targets_bits_from_the_start(
    tmp_path: Path, umask: int, existing: Any, expected: int
):
    target = tmp_path / "target"
    if existing is not None:
        target.write_bytes(b"old")
        target.chmod(existing)

    async def main() -> int:
        async with larkspan.replace_atomically(target, "wb") as f:
            await f.write(b"new content")
            await f.flush()
            [temporary] = temporaries(tmp_path)
            return stat.S_IMODE(temporary.stat().st_mode)

    while_written = asyncio.run(main())
    assert while_written == expected & 0o777 & ~umask  # never more than the target lets anyone read
    assert (stat.S_IMODE(target.stat().st_mode), target.read_bytes()) == (expected, b"new content")


@pytest.fixture
def open_folder() -> Iterator[Path]:
    """A folder every user may enter (pytest's own are private to their owner)."""
    folder = Path(tempfile.mkdtemp(dir="/tmp"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


def test_secret_is_not_readable_by_others_while_written(open_folder: Path) -> None:
    """A user who may not read the old secret cannot open its new content before the commit."""
    target = open_folder / "secret"
    target.write_bytes(b"old secret")
    target.chmod(0o600)

    async def main() -> subprocess.CompletedProcess[bytes]:
        async with larkspan.replace_atomically(target, "wb") as f:
            await f.write(b"new secret")
            await f.flush()
            [temporary] = temporaries(open_folder)
            as_nobody = [
                "setpriv",
                "--reuid=65534",
                "--regid=65534",
                "--clear-groups",
                "cat",
                str(temporary),
            ]
            return subprocess.run(as_nobody, capture_output=True, timeout=30)

    if os.geteuid() != 0:
        pytest.skip("dropping privileges needs root")
    assert b"Permission denied" in asyncio.run(main()).stderr
    assert target.read_bytes() == b"new secret"


@pytest.mark.parametrize("mode", ["wb", "w", "xb"])
def test_block_that_raises_leaves_target_and_nothing_else(tmp_path: Path, mode: str) -> None:
    target = tmp_path / "kept"
    if "x" not in mode:
        target.write_bytes(b"old")
    before = descriptors()

    async def main() -> None:
        async with larkspan.replace_atomically(target, mode) as f:
            await f.write(b"half" if "b" in mode else "half")
            raise KeyError("the block failed")

    with pytest.raises(KeyError):
        asyncio.run(main())
    assert (target.exists() and target.read_bytes(), temporaries(tmp_path)) == (
        "x" not in mode and b"old",
        [],
    )
    assert descriptors() == before


@pytest.mark.parametrize("mode", ["wb", "xb"])
def test_full_disk_fails_the_replacement_and_frees_its_space(small_tmpfs: Path, mode: str) -> None:
    target = small_tmpfs / "kept"
    if "x" not in mode:
        target.write_bytes(b"old")
    before, free = descriptors(), os.statvfs(small_tmpfs).f_bfree

    async def main() -> None:
        async with larkspan.replace_atomically(target, mode) as f:
            await f.write(b"x" * (2 << 20))

    with pytest.raises(OSError) as failed:
        asyncio.run(main())
    assert failed.value.errno == errno.ENOSPC
    assert (target.exists() and target.read_bytes(), temporaries(small_tmpfs)) == (
        "x" not in mode and b"old",
        [],
    )
    assert descriptors() == before
    assert os.statvfs(small_tmpfs).f_bfree == free  # no unlinked file holds space
