"""larkspan.tempfile against builtin tempfile as the oracle: the same content, the same files on
disk while open, and nothing left where builtin leaves nothing, whether entered with `async with`,
awaited and closed, or dropped; spooled files in memory inline until they move to disk."""

import asyncio
import gc
import inspect
import os
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import larkspan.tempfile
from conftest import descriptors
from path_fixtures import TIMEOUT, place, submissions

__all__ = ["submissions"]  # fixtures


def run(main: Callable[[], Any]) -> Any:
    async def bounded() -> Any:
        return await asyncio.wait_for(main(), TIMEOUT)

    return asyncio.run(bounded())


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    """The directory the temporary files go in, empty to begin with."""
    (tmp_path / "temporary").mkdir()
    return tmp_path / "temporary"


DATA = {"w+b": b"first\nsecond\n", "w+": "first\nsecond\n", "a+b": b"appended"}


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("form", ["entered", "awaited"])
@pytest.mark.parametrize("mode", DATA)
def test_temporary_file_has_no_name_and_leaves_nothing(folder, submissions, monkeypatch, mode, form, placement) -> None:
    with tempfile.TemporaryFile(mode, dir=folder) as theirs:
        theirs.write(DATA[mode])
        theirs.seek(0)
        expected = theirs.read()
    place(monkeypatch, placement)

    async def main() -> tuple[Any, list[str], int]:
        before = descriptors()
        opening = larkspan.tempfile.TemporaryFile(mode, dir=folder)
        if form == "entered":
            async with opening as f:
                content, listed = await write_and_read(f)
        else:
            f = await opening
            content, listed = await write_and_read(f)
            await f.close()
        assert f.closed
        return content, listed, descriptors() - before

    async def write_and_read(f: Any) -> tuple[Any, list[str]]:
        await f.write(DATA[mode])
        await f.seek(0)
        return await f.read(), os.listdir(folder)

    assert run(main) == (expected, [], 0)
    assert os.listdir(folder) == []
    assert bool(submissions) == (placement == "worker")


async def maybe_awaited(result: Any) -> Any:
    return await result if inspect.isawaitable(result) else result


class Entered:
    """Builtin's file under `async with`, so that one script drives both."""

    def __init__(self, file: Any) -> None:
        self.file = file

    async def __aenter__(self) -> Any:
        return self.file.__enter__()

    async def __aexit__(self, *exit: Any) -> None:
        self.file.__exit__(*exit)


def lifecycle(make: Callable[[], Any], how: str, folder: Path) -> list[Any]:
    """How many files `folder` holds after each step of using a named temporary file `how`."""
    seen: list[Any] = []

    async def main() -> None:
        opened = make()
        ours = inspect.isawaitable(opened)
        if how in ("entered", "closed-inside"):
            async with opened if ours else Entered(opened) as f:
                await maybe_awaited(f.write(b"kept until the end"))
                seen.append(len(os.listdir(folder)))
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
@pytest.mark.parametrize(("delete", "delete_on_close"), [(True, True), (True, False), (False, True), (False, False)])
def test_named_temporary_file_is_removed_where_builtins_is(tmp_path, delete, delete_on_close, how) -> None:
    outcomes = []
    for maker in (tempfile.NamedTemporaryFile, larkspan.tempfile.NamedTemporaryFile):
        folder = tmp_path / maker.__module__
        folder.mkdir()
        options: dict[str, Any] = {"suffix": ".tmp", "dir": folder, "delete": delete}
        outcomes.append(lifecycle(lambda: maker(**options, delete_on_close=delete_on_close), how, folder))
    assert outcomes[1] == outcomes[0]


@pytest.mark.parametrize(("prefix", "suffix"), [("pre", ".suf"), (b"pre", b".suf"), (None, None)], ids=str)
def test_named_temporary_file_name_and_content(folder, prefix, suffix) -> None:
    directory = os.fsencode(folder) if isinstance(prefix, bytes) else folder

    async def main() -> tuple[Any, bytes]:
        async with larkspan.tempfile.NamedTemporaryFile(prefix=prefix, suffix=suffix, dir=directory) as f:
            await f.write(b"on disk")
            await f.flush()
            return f.name, Path(os.fsdecode(f.name)).read_bytes()

    name, content = run(main)
    assert content == b"on disk"
    assert type(name) is type(prefix or "")
    assert os.path.dirname(os.fsdecode(name)) == str(folder)
    assert os.path.basename(os.fsdecode(name)).startswith(os.fsdecode(prefix or tempfile.gettempprefix()))
    assert os.fsdecode(name).endswith(os.fsdecode(suffix or ""))
    assert os.listdir(folder) == []


@pytest.mark.parametrize("maker", ["TemporaryFile", "NamedTemporaryFile"])
def test_failed_open_leaves_no_file_and_no_descriptor(folder, maker) -> None:
    with pytest.raises(ValueError):
        getattr(tempfile, maker)("q", dir=folder)

    async def main() -> int:
        before = descriptors()
        with pytest.raises(ValueError):
            await getattr(larkspan.tempfile, maker)("q", dir=folder)
        return descriptors() - before

    assert run(main) == 0
    assert os.listdir(folder) == []


def test_missing_directory_raises_builtins_error(tmp_path) -> None:
    with pytest.raises(FileNotFoundError) as theirs:
        tempfile.NamedTemporaryFile(dir=tmp_path / "missing")

    async def main() -> None:
        await larkspan.tempfile.NamedTemporaryFile(dir=tmp_path / "missing")

    with pytest.raises(FileNotFoundError) as ours:
        run(main)
    assert ours.value.errno == theirs.value.errno
    assert os.path.dirname(ours.value.filename) == os.path.dirname(theirs.value.filename)


# ---- SpooledTemporaryFile ------------------------------------------------------------------

type Step = tuple[str, tuple[Any, ...]]

SPOOLED: dict[str, tuple[int, str, list[Step]]] = {
    "stays-under-max": (10, "w+b", [("write", (b"12345",)), ("seek", (0,)), ("read", ()), ("tell", ())]),
    "write-crosses-max": (10, "w+b", [
        ("write", (b"12345",)), ("write", (b"6789012",)), ("tell", ()), ("seek", (2,)), ("read", (4,)),
        ("readline", ()), ("truncate", (3,)), ("seek", (0,)), ("read", ()),
    ]),
    "exactly-max-stays": (10, "w+b", [("write", (b"1234567890",)), ("seek", (0,)), ("readlines", ())]),
    "writelines-cross": (4, "w+b", [("writelines", ([b"ab", b"cd", b"e\n"],)), ("seek", (0,)), ("readline", ())]),
    "truncate-past-max": (4, "w+b", [("write", (b"ab",)), ("truncate", (9,)), ("seek", (0,)), ("read", ())]),
    "rollover": (100, "w+b", [("write", (b"ab",)), ("rollover", ()), ("rollover", ()), ("tell", ()),
                              ("seek", (0,)), ("read", ())]),
    "fileno-moves-to-disk": (100, "w+b", [("write", (b"ab",)), ("fileno", ()), ("seek", (0,)), ("read1", ())]),
    "no-max-never-moves": (0, "w+b", [("write", (b"x" * 100_000,)), ("seek", (99_998,)), ("read", ())]),
    "text": (8, "w+", [("write", ("héllo\n",)), ("write", ("wörld\n",)), ("seek", (0,)), ("readlines", ())]),
    "text-under-max": (100, "w+", [("write", ("a\nb\n",)), ("seek", (0,)), ("readline", ()), ("read", ())]),
}  # fmt: skip


def on_disk(f: Any) -> bool:
    return f.name is not None


def stable_result(method: str, result: Any) -> Any:
    return "a descriptor" if method == "fileno" and isinstance(result, int) else result


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", SPOOLED)
def test_spooled_file_matches_builtin_and_moves_to_disk_on_a_worker(folder, submissions, monkeypatch, case, placement):
    max_size, mode, steps = SPOOLED[case]
    expected = []
    with tempfile.SpooledTemporaryFile(max_size, mode, dir=folder) as theirs:
        for method, args in steps:
            was_on_disk = on_disk(theirs)
            expected.append((stable_result(method, getattr(theirs, method)(*args)), was_on_disk, on_disk(theirs)))
    place(monkeypatch, placement)  # changes nothing: a spooled file is in memory wherever it will go

    async def main() -> tuple[list[Any], list[bool], int]:
        before = descriptors()
        got, handed_over = [], []
        async with larkspan.tempfile.SpooledTemporaryFile(max_size, mode, dir=folder) as ours:
            for method, args in steps:
                submitted = len(submissions)
                was_on_disk = on_disk(ours)
                got.append((stable_result(method, await getattr(ours, method)(*args)), was_on_disk, on_disk(ours)))
                handed_over.append(len(submissions) > submitted)
        assert ours.closed
        return got, handed_over, descriptors() - before

    got, handed_over, leaked = run(main)
    assert got == expected
    assert leaked == 0
    for (_, was_on_disk, is_on_disk), handed in zip(expected, handed_over):
        if was_on_disk or is_on_disk:
            assert handed  # moving to disk, and every call after, on a worker
        elif mode == "w+b":
            assert not handed  # in memory, inline (a text write near max_size may go to a worker)
    assert os.listdir(folder) == []


def test_spooled_file_calls_run_in_order_across_cancellation(folder, submissions) -> None:
    """A write that moves the file to disk, cancelled while it runs, still holds the file: the
    calls after it see the file moved, with the write done."""

    async def main() -> bytes:
        async with larkspan.tempfile.SpooledTemporaryFile(4, "w+b", dir=folder) as f:
            moving = asyncio.create_task(f.write(b"past max"))
            while not submissions:
                await asyncio.sleep(0)
            moving.cancel()  # while the file moves to disk on a worker
            appended = asyncio.create_task(f.write(b"!"))
            with pytest.raises(asyncio.CancelledError):
                await moving
            await appended
            await f.seek(0)
            return await f.read()

    assert run(main) == b"past max!"


def test_spooled_file_async_iteration_and_closed_entry(folder) -> None:
    async def main() -> list[Any]:
        f = await larkspan.tempfile.SpooledTemporaryFile(3, "w+")
        await f.write("one\ntwo\n")
        await f.seek(0)
        lines = [line async for line in f]
        await f.close()
        with pytest.raises(ValueError, match="closed file"):
            async with f:
                pass
        return lines

    assert run(main) == ["one\n", "two\n"]


# ---- TemporaryDirectory --------------------------------------------------------------------


@pytest.mark.parametrize("placement", ["inline", "worker"])
def test_temporary_directory_is_gone_after_the_block_even_on_error(folder, submissions, monkeypatch, placement):
    place(monkeypatch, placement)

    async def main() -> str:
        with pytest.raises(KeyError):
            async with larkspan.tempfile.TemporaryDirectory(prefix="p", suffix="s", dir=folder) as name:
                (Path(name) / "sub").mkdir()
                (Path(name) / "sub" / "file").write_bytes(b"x")
                raise KeyError
        return name

    name = run(main)
    assert os.path.basename(name).startswith("p") and name.endswith("s")
    assert os.listdir(folder) == []
    assert len(submissions) == (2 if placement == "worker" else 1)  # made where it may wait; removed on a worker


def test_temporary_directory_awaited_and_cleaned_up(folder) -> None:
    async def main() -> tuple[bool, bool]:
        directory = await larkspan.tempfile.TemporaryDirectory(dir=os.fsencode(folder))
        assert isinstance(directory.name, bytes)
        (Path(os.fsdecode(directory.name)) / "file").touch()
        made = os.path.isdir(directory.name)
        await directory.cleanup()
        await directory.close()  # aiofiles' name; a second cleanup does nothing
        return made, os.path.exists(directory.name)

    assert run(main) == (True, False)


def test_temporary_directory_kept_without_delete(folder) -> None:
    async def main() -> str:
        async with larkspan.tempfile.TemporaryDirectory(dir=folder, delete=False) as name:
            return name

    name = run(main)
    assert os.path.isdir(name)
    os.rmdir(name)


@pytest.mark.parametrize("function", ["TemporaryFile", "NamedTemporaryFile", "SpooledTemporaryFile",
                                      "TemporaryDirectory"])  # fmt: skip
def test_arguments_are_builtins(function) -> None:
    def parameters(f: Callable[..., Any]) -> list[tuple[str, Any, Any]]:
        return [(p.name, p.kind, p.default) for p in inspect.signature(f).parameters.values()]

    assert parameters(getattr(larkspan.tempfile, function)) == parameters(getattr(tempfile, function))
