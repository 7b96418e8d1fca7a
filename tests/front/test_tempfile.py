"""larkspan.tempfile against builtin tempfile as the oracle: the same content, the same files on
disk while open, and nothing left where builtin leaves nothing, whether entered with `async with`,
awaited and closed, or dropped; spooled files in memory inline until they move to disk."""

import asyncio
import gc
import inspect
import os
import sys
import tempfile
from collections.abc import Callable
from functools import partial
from pathlib import Path
from typing import Any

import larkspan.tempfile
import pytest
from conftest import descriptors
from path_fixtures import TIMEOUT, place, submissions

__all__ = ["submissions"]  # fixtures


def run(main: Callable[[], Any]) -> Any:
    async def bounded() -> Any:
        return await asyncio.wait_for(main(), TIMEOUT)

    return asyncio.run(bounded())


async def maybe_awaited(result: Any) -> Any:
    return await result if inspect.isawaitable(result) else result


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    """The directory the temporary files go in, empty to begin with."""
    (tmp_path / "temporary").mkdir()
    return tmp_path / "temporary"


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("form", ["entered", "awaited"])
@pytest.mark.parametrize(
    ("mode", "data"), [("w+b", b"first\nsecond\n"), ("w+", "text\n"), ("a+b", b"appended")]
)
def test_temporary_file_has_no_name_and_leaves_nothing(
    folder, submissions, monkeypatch, mode, data, form, placement
):
    with tempfile.TemporaryFile(mode, dir=folder) as theirs:
        theirs.write(data)
        theirs.seek(0)
        expected = theirs.read()
    place(monkeypatch, placement)

    async def main() -> tuple[Any, list[str], bool, int]:
        before, opening = descriptors(), larkspan.tempfile.TemporaryFile(mode, dir=folder)
        # Awaited: closed by its own exit.
        async with opening if form == "entered" else await opening as f:
            await f.write(data)
            await f.seek(0)
            content, listed = await f.read(), os.listdir(folder)
        return content, listed, f.closed, descriptors() - before

    assert run(main) == (expected, [], True, 0)
    assert os.listdir(folder) == []
    assert bool(submissions) == (
        placement == "worker"
    )  # making and removing it, where the folder can wait


class Entered:
    """Builtin's file under `async with`, so that one script drives both."""

    def __init__(self, file: Any) -> None:
        self.file = file

    async def __aenter__(self) -> Any:
        return self.file.__enter__()

    async def __aexit__(self, *exit: Any) -> None:
        self.file.__exit__(*exit)


def files_after_each_step(make: Callable[[], Any], how: str, folder: Path) -> list[Any]:
    """How many files `folder` holds after each step of using a named temporary file `how`."""
    seen: list[Any] = []

    async def main() -> None:
        opened = make()
        ours = inspect.isawaitable(opened)
        if how in ("entered", "closed-inside"):
            async with opened if ours else Entered(opened) as f:
                await maybe_awaited(f.write(b"kept until the end"))
                seen.append((len(os.listdir(folder)), os.path.basename(f.name)[:3]))
                if how == "closed-inside":
                    await maybe_awaited(f.close())
                    seen.append((len(os.listdir(folder)), f.closed))
        else:
            f = await opened if ours else opened
            seen.append(len(os.listdir(folder)))
            if how == "dropped":
                del f, opened
                gc.collect()
            else:
                await maybe_awaited(f.close())
        seen.append(len(os.listdir(folder)))

    run(main)
    return seen


@pytest.mark.parametrize("how", ["entered", "closed-inside", "awaited-and-closed", "dropped"])
@pytest.mark.parametrize(
    ("delete", "delete_on_close"), [(True, True), (True, False), (False, True), (False, False)]
)
def test_named_temporary_file_is_removed_where_builtins_is(
    tmp_path, delete, delete_on_close, how
) -> None:
    steps = []
    # Before 3.12 builtin's has no delete_on_close, and deletes on close as it does by default.
    later = {"delete_on_close": delete_on_close} if sys.version_info >= (3, 12) else {}
    if not later and not delete_on_close:
        pytest.skip("builtin's NamedTemporaryFile takes delete_on_close from CPython 3.12 on")
    for maker in (tempfile.NamedTemporaryFile, larkspan.tempfile.NamedTemporaryFile):
        folder = tmp_path / maker.__module__
        folder.mkdir()
        make = partial(maker, prefix="tmp", dir=folder, delete=delete, **later)
        steps.append(files_after_each_step(make, how, folder))
    assert steps[1] == steps[0]


@pytest.mark.parametrize(
    ("prefix", "suffix"), [("pre", ".suf"), (b"pre", b".suf")], ids=["str", "bytes"]
)
def test_named_temporary_file_name_and_content(folder, prefix, suffix) -> None:
    directory = os.fsencode(folder) if isinstance(prefix, bytes) else str(folder)

    async def main() -> tuple[Any, bytes]:
        async with larkspan.tempfile.NamedTemporaryFile(
            prefix=prefix, suffix=suffix, dir=directory
        ) as f:
            await f.write(b"on disk")
            await f.flush()
            return f.name, Path(os.fsdecode(f.name)).read_bytes()

    name, content = run(main)
    assert (content, type(name), os.path.dirname(name)) == (b"on disk", type(prefix), directory)
    assert os.path.basename(name).startswith(prefix) and name.endswith(suffix)
    assert os.listdir(folder) == []


@pytest.mark.parametrize(
    ("maker", "directory", "error"),
    [
        ("TemporaryFile", "", ValueError),
        ("NamedTemporaryFile", "", ValueError),
        ("NamedTemporaryFile", "missing", FileNotFoundError),
    ],
)
def test_failed_creation_leaves_no_file_and_no_descriptor(folder, maker, directory, error) -> None:
    mode = "q" if error is ValueError else "w+b"  # a mode that builtin and larkspan both refuse
    with pytest.raises(error):
        getattr(tempfile, maker)(mode, dir=folder / directory)

    async def main() -> int:
        before = descriptors()
        with pytest.raises(error):
            await getattr(larkspan.tempfile, maker)(mode, dir=folder / directory)
        return descriptors() - before

    assert run(main) == 0
    assert os.listdir(folder) == []


def on_disk(f: Any) -> bool:
    return f.name is not None  # named by its descriptor once on disk


# Steps on a spooled file: (max_size, mode, [(method, arguments)]).
SPOOLED: dict[str, tuple[int, str, list[tuple[str, tuple[Any, ...]]]]] = {
    "under-max": (
        10,
        "w+b",
        [("write", (b"1234567890",)), ("seek", (0,)), ("readlines", ()), ("tell", ())],
    ),
    "write-crosses-max": (
        10,
        "w+b",
        [
            ("write", (b"12345",)),
            ("write", (b"6789012",)),
            ("seek", (2,)),
            ("read", (4,)),
            ("truncate", (3,)),
            ("seek", (0,)),
            ("read", ()),
        ],
    ),
    "writelines-cross": (
        4,
        "w+b",
        [("writelines", ([b"ab", b"cd", b"e\n"],)), ("seek", (0,)), ("readline", ())],
    ),
    "truncate-past-max": (
        4,
        "w+b",
        [("write", (b"ab",)), ("truncate", (9,)), ("seek", (0,)), ("read", ())],
    ),
    "rollover": (
        100,
        "w+b",
        [("write", (b"ab",)), ("rollover", ()), ("rollover", ()), ("seek", (1,)), ("read1", ())],
    ),
    "fileno": (100, "w+b", [("write", (b"ab",)), ("fileno", ()), ("tell", ())]),
    "no-max": (0, "w+b", [("write", (b"x" * 100_000,)), ("seek", (99_998,)), ("read", ())]),
    "text": (
        8,
        "w+",
        [("write", ("héllo\n",)), ("write", ("wörld\n",)), ("seek", (0,)), ("readlines", ())],
    ),
}


@pytest.mark.parametrize("case", SPOOLED)
def test_spooled_file_matches_builtin_and_moves_to_disk_on_a_worker(
    folder, submissions, case
) -> None:
    max_size, mode, steps = SPOOLED[case]

    def step(f: Any, result: Any, was_on_disk: bool) -> tuple[Any, bool, bool]:
        return (
            ("a descriptor" if isinstance(result, int) and f.name == result else result),
            was_on_disk,
            on_disk(f),
        )

    expected = []
    with tempfile.SpooledTemporaryFile(max_size, mode, dir=folder) as theirs:
        for method, args in steps:
            was_on_disk = on_disk(theirs)
            expected.append(step(theirs, getattr(theirs, method)(*args), was_on_disk))

    async def main() -> tuple[list[Any], list[bool], int]:
        before, got, handed_over = descriptors(), [], []
        async with larkspan.tempfile.SpooledTemporaryFile(max_size, mode, dir=folder) as ours:
            for method, args in steps:
                submitted, was_on_disk = len(submissions), on_disk(ours)
                got.append(step(ours, await getattr(ours, method)(*args), was_on_disk))
                handed_over.append(len(submissions) > submitted)
        return got, handed_over, descriptors() - before

    got, handed_over, leaked = run(main)
    assert (got, leaked, os.listdir(folder)) == (expected, 0, [])
    for (_, was_on_disk, is_on_disk), handed in zip(expected, handed_over):
        # Moving to disk and every call after on a worker; in memory inline, but for a text write
        # near max_size, whose size in bytes is only bounded.
        assert handed == (was_on_disk or is_on_disk) or (mode == "w+" and not was_on_disk)


def test_spooled_file_calls_keep_their_order_across_cancellation(folder, submissions) -> None:
    async def main() -> bytes:
        async with larkspan.tempfile.SpooledTemporaryFile(4, "w+b", dir=folder) as f:
            moving = asyncio.create_task(f.write(b"past max"))
            while not submissions:
                await asyncio.sleep(0)
            # While the file moves to disk on a worker: the write is done all the same.
            moving.cancel()
            appended = asyncio.create_task(f.write(b"!"))
            with pytest.raises(asyncio.CancelledError):
                await moving
            await appended
            await f.seek(0)
            return await f.read()

    assert run(main) == b"past max!"


@pytest.mark.parametrize("placement", ["inline", "worker"])
def test_temporary_directory_is_gone_after_the_block_even_on_error(
    folder, submissions, monkeypatch, placement
):
    place(monkeypatch, placement)

    async def main() -> str:
        with pytest.raises(KeyError):
            async with larkspan.tempfile.TemporaryDirectory(prefix="p", dir=folder) as name:
                (Path(name) / "sub").mkdir()
                (Path(name) / "sub" / "file").write_bytes(b"x")
                raise KeyError
        return name

    assert os.path.basename(run(main)).startswith("p")
    assert os.listdir(folder) == []
    assert len(submissions) == (
        2 if placement == "worker" else 1
    )  # made where it may wait; removed on a worker


@pytest.mark.parametrize("delete", [True, False])
@pytest.mark.skipif(
    sys.version_info < (3, 12), reason="builtin's TemporaryDirectory takes delete from 3.12 on"
)
def test_temporary_directory_awaited_and_cleaned_up(folder, delete) -> None:
    async def main() -> tuple[bool, bool, bool]:
        directory = await larkspan.tempfile.TemporaryDirectory(
            dir=os.fsencode(folder), delete=delete
        )
        (Path(os.fsdecode(directory.name)) / "file").touch()
        made = os.path.isdir(directory.name)
        async with directory as name:
            assert name == directory.name
        after_exit = os.path.exists(name)
        await directory.cleanup()
        await directory.close()  # aiofiles' name; a second cleanup does nothing
        return made, after_exit, os.path.exists(name)

    assert run(main) == (True, not delete, False)


@pytest.mark.parametrize("maker", ["TemporaryFile", "NamedTemporaryFile"])
@pytest.mark.parametrize("mode", ["w+b", "w+"])
def test_name_swapped_for_a_symlink_after_creation_is_never_followed(
    folder, monkeypatch, maker, mode
) -> None:
    """Another user of a shared directory replaces the new name with a link to a file of ours just
    after mkstemp() made it: the handle still writes the file mkstemp() made, and the other file
    is neither cut nor written."""
    victim = folder.parent / "victim"
    victim.write_bytes(b"must stay")
    make = tempfile.mkstemp

    def make_then_swap(*arguments: Any) -> tuple[int, str]:
        descriptor, name = make(*arguments)
        os.rename(name, f"{name}.moved")
        os.symlink(victim, name)
        return descriptor, name

    monkeypatch.setattr(tempfile, "mkstemp", make_then_swap)

    async def main() -> Any:
        async with getattr(larkspan.tempfile, maker)(mode, dir=folder) as f:
            await f.write(b"written" if "b" in mode else "written")
            await f.seek(0)
            return await f.read()

    assert run(main) == (b"written" if "b" in mode else "written")
    assert victim.read_bytes() == b"must stay"
