"""Shared by the tests of larkspan.os, larkspan.shutil, larkspan.tempfile and larkspan.Path: a tree
of real files with every kind of entry, the outcome of a call, the calls handed to the worker pool,
and a ticker task that counts the loop's turns."""

import asyncio
import os
import shutil
import stat
from collections.abc import Callable, Coroutine, Iterator
from pathlib import Path
from typing import Any

import larkspan._budget
import pytest
from conftest import TIMEOUT, ticking  # noqa: F401  (shared with the front tests)
from larkspan import _placement, _workers
from larkspan._engine import File


class Tree:
    """A directory ("tree" in `base`, where a copy of it can go) holding a file, a directory with a
    file in it, an empty directory, links to the file and the directory, a dangling link and a
    FIFO. `fd` is its descriptor; `tree / name` is the str path of an entry."""

    def __init__(self, base: Path) -> None:
        self.base = base
        self.root = root = base / "tree"
        if base.exists():
            shutil.rmtree(base)
        root.mkdir(parents=True)
        (root / "file").write_bytes(b"twelve bytes")
        (root / "dir").mkdir()
        (root / "dir" / "inner").write_bytes(b"x")
        (root / "empty").mkdir()
        (root / "link").symlink_to("file")
        (root / "dirlink").symlink_to("dir")
        (root / "dangling").symlink_to("missing")
        os.mkfifo(root / "fifo")
        self.fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)

    def __truediv__(self, name: str) -> str:
        return str(self.root / name)

    def close(self) -> None:
        os.close(self.fd)

    def snapshot(self) -> list[tuple[str, int, object]]:
        """Every entry in the base: its path, mode, and its bytes or link target."""
        entries = []
        for top, dirs, files in os.walk(self.base):
            for name in dirs + files:
                path = os.path.join(top, name)
                mode = os.lstat(path).st_mode
                content = Path(path).read_bytes() if stat.S_ISREG(mode) else None
                content = os.readlink(path) if stat.S_ISLNK(mode) else content
                entries.append((os.path.relpath(path, self.base), mode, content))
        return sorted(entries)


@pytest.fixture
def make_tree(tmp_path: Path) -> Iterator[Callable[[], Tree]]:
    """Builds the tree afresh at the same place on every call, so twin runs name the same paths."""
    trees: list[Tree] = []

    def make() -> Tree:
        if trees:
            trees.pop().close()
        trees.append(Tree(tmp_path / "base"))
        return trees[-1]

    yield make
    for tree in trees:
        tree.close()


def stable(result: Any) -> Any:
    """`result` without what other processes change meanwhile (a file system's free space)."""
    if isinstance(result, os.statvfs_result):
        return result.f_bsize, result.f_fsid, result.f_namemax, result.f_flag
    return result


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    """What `call` gives: its result, or its exception's class, errno, file names and text."""
    try:
        return ("ok", stable(call()))
    except OSError as error:
        return type(error), error.errno, error.filename, error.filename2, str(error)
    except Exception as error:
        return type(error), str(error)


def outcome_of(make_call: Callable[[], Coroutine[Any, Any, Any]]) -> tuple[Any, ...]:
    """The outcome of the coroutine that `make_call` makes, run on a fresh event loop."""

    async def main() -> Any:
        return await asyncio.wait_for(make_call(), TIMEOUT)

    return outcome(lambda: asyncio.run(main()))


@pytest.fixture
def submissions(monkeypatch: pytest.MonkeyPatch) -> list[Callable[[], Any]]:
    """Every call handed to the worker pool or to the engine's threads from now on (an engine call
    as a callable that names it)."""
    pool = _workers.pool()
    submitted: list[Callable[[], Any]] = []
    submit = pool.submit

    def counting(
        loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: _workers.Deliver
    ) -> _workers.Job:
        submitted.append(call)
        return submit(loop, call, deliver)

    monkeypatch.setattr(pool, "submit", counting)
    for name in ("start", "start_open"):
        start = getattr(File, name)

        def counting_start(file: File, *args: Any, start: Any = start, name: str = name) -> Any:
            submitted.append(lambda: name)
            return start(file, *args)

        monkeypatch.setattr(File, name, counting_start)
    return submitted


def place(monkeypatch: pytest.MonkeyPatch, placement: str) -> None:
    """ "worker": every path is taken to lie on a file system that can wait."""
    if placement == "worker":
        monkeypatch.setattr(_placement, "path_may_wait", lambda *paths: True)


@pytest.fixture
def yield_always(monkeypatch: pytest.MonkeyPatch) -> None:
    """Every call returns to the loop first, so that turns can be counted without a clock."""
    monkeypatch.setattr(larkspan._budget, "YIELD_INTERVAL_NS", 0)
