"""larkspan.os, larkspan.os.path and larkspan.shutil against builtin os, os.path and shutil as the
oracle: the same results, exceptions and changes on disk, inline without the worker pool on a
local disk and through it where a path can wait; path_may_wait over a mount table; scandir."""

import asyncio
import inspect
import os
import shutil
import tempfile
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeAlias

import larkspan.os
import larkspan.os.path
import larkspan.shutil
import larkspan.tempfile
import pytest
from conftest import descriptors
from larkspan import _calls, _completions, _placement, _workers
from path_fixtures import (
    TIMEOUT,
    Tree,
    make_tree,
    outcome,
    outcome_of,
    place,
    submissions,
    ticking,
    yield_always,
)

__all__ = ["make_tree", "submissions", "yield_always"]  # fixtures

Case: TypeAlias = Callable[
    [Any, Tree], Any
]  # called with builtin os or larkspan.os (or shutil), and the tree

# Calls that change nothing: builtin and larkspan run one after the other on one tree.
QUERIES: dict[str, Case] = {
    "stat": lambda m, t: m.stat(t / "file"),
    "stat-fifo": lambda m, t: m.stat(t / "fifo"),
    "stat-link": lambda m, t: m.stat(t / "link"),
    "stat-link-itself": lambda m, t: m.stat(t / "link", follow_symlinks=False),
    "stat-dangling": lambda m, t: m.stat(t / "dangling"),
    "stat-enotdir": lambda m, t: m.stat(t / "file/x"),
    "stat-dir-fd": lambda m, t: m.stat("dir/inner", dir_fd=t.fd),
    "stat-descriptor": lambda m, t: m.stat(t.fd),
    "stat-bytes": lambda m, t: m.stat(os.fsencode(t / "file")),
    "stat-bad-type": lambda m, t: m.stat(1.5),
    "stat-nul": lambda m, t: m.stat("a\0b"),
    "lstat-dangling": lambda m, t: m.lstat(t / "dangling"),
    "lstat-missing-dir-fd": lambda m, t: m.lstat("missing", dir_fd=t.fd),
    "statvfs": lambda m, t: m.statvfs(t / "dir"),
    "statvfs-missing": lambda m, t: m.statvfs(t / "missing"),
    "access": lambda m, t: m.access(t / "file", os.R_OK),
    "access-x": lambda m, t: m.access(t / "file", os.X_OK),
    "access-dangling": lambda m, t: m.access(t / "dangling", os.F_OK),
    "access-dangling-itself": lambda m, t: m.access(t / "dangling", os.F_OK, follow_symlinks=False),
    "readlink": lambda m, t: m.readlink(t / "dangling"),
    "readlink-bytes": lambda m, t: m.readlink(os.fsencode(t / "link")),
    "readlink-file": lambda m, t: m.readlink(t / "file"),
    "readlink-missing": lambda m, t: m.readlink(t / "missing"),
    "listdir": lambda m, t: m.listdir(t / ""),
    "listdir-bytes": lambda m, t: m.listdir(os.fsencode(t / "dir")),
    "listdir-descriptor": lambda m, t: m.listdir(t.fd),
    "listdir-current": lambda m, t: m.listdir(),
    "listdir-file": lambda m, t: m.listdir(t / "file"),
    "listdir-missing": lambda m, t: m.listdir(t / "missing"),
    "getcwd": lambda m, t: m.getcwd(),
    "exists-dangling": lambda m, t: m.path.exists(t / "dangling"),
    "exists-descriptor": lambda m, t: m.path.exists(t.fd),
    "exists-nul": lambda m, t: m.path.exists("a\0b"),
    "isfile-link": lambda m, t: m.path.isfile(t / "link"),
    "isdir-dirlink": lambda m, t: m.path.isdir(t / "dirlink"),
    "islink-dangling": lambda m, t: m.path.islink(t / "dangling"),
    "ismount-root": lambda m, t: m.path.ismount("/"),
    "ismount-dir": lambda m, t: m.path.ismount(t / "dir"),
    "getsize": lambda m, t: m.path.getsize(t / "file"),
    "getsize-dangling": lambda m, t: m.path.getsize(t / "dangling"),
    "getatime": lambda m, t: m.path.getatime(t / "file"),
    "getmtime": lambda m, t: m.path.getmtime(t / "dir"),
    "getctime-missing": lambda m, t: m.path.getctime(t / "missing"),
    "samefile": lambda m, t: m.path.samefile(t / "link", t / "file"),
    "samefile-missing": lambda m, t: m.path.samefile(t / "file", t / "missing"),
    "sameopenfile": lambda m, t: m.path.sameopenfile(t.fd, t.fd),
    "sameopenfile-bad": lambda m, t: m.path.sameopenfile(t.fd, 9999),
    "abspath": lambda m, t: m.path.abspath("dir/../file"),
    "abspath-bytes": lambda m, t: m.path.abspath(b"./x"),
}
ALWAYS_INLINE = {
    "getcwd",
    "abspath",
    "abspath-bytes",
}  # answered from memory wherever the path lies


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", QUERIES)
def test_queries_match_builtin(
    make_tree, submissions, monkeypatch, case: str, placement: str
) -> None:
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    expected = outcome(lambda: QUERIES[case](os, tree))
    place(monkeypatch, placement)
    assert outcome_of(lambda: QUERIES[case](larkspan.os, tree)) == expected
    assert bool(submissions) == (placement == "worker" and case not in ALWAYS_INLINE)


# Calls that change the tree: each runs on a tree made afresh, and the trees after must agree too.
CHANGES: dict[str, Case] = {
    "rename": lambda m, t: m.rename(t / "file", t / "moved"),
    "rename-missing": lambda m, t: m.rename(t / "missing", t / "x"),
    "rename-file-over-dir": lambda m, t: m.rename(t / "file", t / "empty"),
    "rename-dir-over-file": lambda m, t: m.rename(t / "dir", t / "file"),
    "rename-into-itself": lambda m, t: m.rename(t / "dir", t / "dir/sub"),
    "rename-dir-fd": lambda m, t: m.rename("file", "dir/moved", src_dir_fd=t.fd, dst_dir_fd=t.fd),
    "replace-link": lambda m, t: m.replace(t / "file", t / "link"),
    "replace-non-empty-dir": lambda m, t: m.replace(t / "empty", t / "dir"),
    "renames": lambda m, t: m.renames(
        t / "dir/inner", t / "a/b"
    ),  # makes a/, prunes the emptied dir/
    "remove": lambda m, t: m.remove(t / "file"),
    "remove-dir": lambda m, t: m.remove(t / "dir"),
    "remove-dangling": lambda m, t: m.remove(t / "dangling"),
    "unlink-missing": lambda m, t: m.unlink(t / "missing"),
    "unlink-dir-fd": lambda m, t: m.unlink("dir/inner", dir_fd=t.fd),
    "mkdir": lambda m, t: m.mkdir(t / "new", 0o700),
    "mkdir-existing": lambda m, t: m.mkdir(t / "dir"),
    "mkdir-over-dangling": lambda m, t: m.mkdir(t / "dangling"),
    "mkdir-missing-parent": lambda m, t: m.mkdir(t / "missing/new"),
    "mkdir-under-file": lambda m, t: m.mkdir(t / "file/new"),
    "makedirs": lambda m, t: m.makedirs(t / "a/b/c", 0o750),
    "makedirs-existing": lambda m, t: m.makedirs(t / "dir"),
    "makedirs-existing-ok": lambda m, t: m.makedirs(t / "dir", exist_ok=True),
    "makedirs-over-file-ok": lambda m, t: m.makedirs(t / "file", exist_ok=True),
    "rmdir": lambda m, t: m.rmdir(t / "empty"),
    "rmdir-not-empty": lambda m, t: m.rmdir(t / "dir"),
    "rmdir-file": lambda m, t: m.rmdir(t / "file"),
    "rmdir-dirlink": lambda m, t: m.rmdir(t / "dirlink"),
    "removedirs": lambda m, t: m.removedirs(t / "empty"),
    "removedirs-not-empty": lambda m, t: m.removedirs(t / "dir"),
    "link": lambda m, t: m.link(t / "file", t / "hard"),
    "link-existing": lambda m, t: m.link(t / "file", t / "dir"),
    "link-to-link-itself": lambda m, t: m.link(t / "link", t / "hard", follow_symlinks=False),
    "link-dir": lambda m, t: m.link(t / "dir", t / "hard"),
    "symlink": lambda m, t: m.symlink("anywhere", t / "new"),
    "symlink-existing": lambda m, t: m.symlink("file", t / "dangling"),
    "symlink-dir-fd": lambda m, t: m.symlink("../file", "dir/new", dir_fd=t.fd),
}


# Always on a worker, wherever the paths lie.
SHUTIL: dict[str, Case] = {
    "copyfile": lambda s, t: s.copyfile(t / "file", t / "copy"),
    "copyfile-fifo": lambda s, t: s.copyfile(t / "fifo", t / "x"),
    "copyfile-dir": lambda s, t: s.copyfile(t / "dir", t / "x"),
    "copyfile-link-itself": lambda s, t: s.copyfile(t / "link", t / "copy", follow_symlinks=False),
    "copyfile-onto-dir": lambda s, t: s.copyfile(t / "file", t / "dir"),
    "copyfile-missing": lambda s, t: s.copyfile(t / "missing", t / "copy"),
    "copyfile-same": lambda s, t: s.copyfile(t / "file", t / "link"),
    "copy-into-dir": lambda s, t: s.copy(t / "file", t / "dir"),
    "copy2-dangling": lambda s, t: s.copy2(t / "dangling", t / "copy"),
    "copytree": lambda s, t: s.copytree(t / "dir", t / "copy"),
    "copytree-onto-existing": lambda s, t: s.copytree(t / "dir", t / "empty"),
    "copytree-dirs-exist-ok": lambda s, t: s.copytree(t / "dir", t / "empty", dirs_exist_ok=True),
    "copytree-links-kept": lambda s, t: s.copytree(t / "", t / "../copy", symlinks=True),
    "copytree-ignore": lambda s, t: s.copytree(
        t / "", t / "../copy", ignore=shutil.ignore_patterns("*link", "d*")
    ),
    "move": lambda s, t: s.move(t / "file", t / "moved"),
    "move-into-dir": lambda s, t: s.move(t / "file", t / "dir"),
    "move-dir": lambda s, t: s.move(t / "dir", t / "moved"),
    "move-missing": lambda s, t: s.move(t / "missing", t / "x"),
    "rmtree": lambda s, t: s.rmtree(t / "dir"),
    "rmtree-missing": lambda s, t: s.rmtree(t / "missing"),
    "rmtree-ignoring": lambda s, t: s.rmtree(t / "missing", ignore_errors=True),
    "rmtree-file": lambda s, t: s.rmtree(t / "file"),
    "rmtree-dirlink": lambda s, t: s.rmtree(t / "dirlink"),
    "rmtree-dir-fd": lambda s, t: s.rmtree("dir", dir_fd=t.fd),
}


def changed_by(
    case: Case, module: Any, make_tree: Callable[[], Tree], run: Callable[..., Any]
) -> tuple[Any, Any]:
    tree = make_tree()
    return run(lambda: case(module, tree)), tree.snapshot()


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", CHANGES)
def test_changes_match_builtin(
    make_tree, submissions, monkeypatch, case: str, placement: str
) -> None:
    expected = changed_by(CHANGES[case], os, make_tree, outcome)
    place(monkeypatch, placement)
    assert changed_by(CHANGES[case], larkspan.os, make_tree, outcome_of) == expected
    assert bool(submissions) == (placement == "worker")


@pytest.mark.parametrize("case", SHUTIL)
def test_shutil_matches_builtin_on_a_worker(make_tree, submissions, case: str) -> None:
    expected = changed_by(SHUTIL[case], shutil, make_tree, outcome)
    assert changed_by(SHUTIL[case], larkspan.shutil, make_tree, outcome_of) == expected
    assert submissions


def parameters(function: Callable[..., Any]) -> list[tuple[str, Any, Any]]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize(
    ("ours", "builtin"),
    [
        (larkspan.os, os),
        (larkspan.os.path, os.path),
        (larkspan.shutil, shutil),
        (larkspan.tempfile, tempfile),
    ],
    ids=["os", "os.path", "shutil", "tempfile"],
)
def test_signatures_are_builtins(ours, builtin) -> None:
    names = [name for name in ours.__all__ if inspect.isfunction(getattr(ours, name))]
    assert names
    for name in names:
        assert parameters(getattr(ours, name)) == parameters(getattr(builtin, name)), name


# ---- scandir ---------------------------------------------------------------------------------


def entries(found: list[os.DirEntry[Any]]) -> list[tuple[Any, ...]]:
    return sorted(
        (e.name, e.path, e.is_dir(), e.is_file(), e.is_symlink(), e.inode()) for e in found
    )


SCANDIR: dict[str, Callable[[Tree], Any]] = {
    "root": lambda t: t / "",
    "bytes": lambda t: os.fsencode(t / "dir"),
    "descriptor": lambda t: t.fd,
    "current": lambda t: None,
    "file": lambda t: t / "file",
    "missing": lambda t: t / "missing",
}


@pytest.mark.parametrize("form", ["async-for", "async-with", "awaited-then-for"])
@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", SCANDIR)
def test_scandir_matches_builtin(
    make_tree, submissions, monkeypatch, case, placement, form
) -> None:
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    path = SCANDIR[case](tree)
    expected = outcome(lambda: entries(list(os.scandir(path))))
    place(monkeypatch, placement)

    async def scan() -> list[tuple[Any, ...]]:
        if form == "async-for":
            return entries([e async for e in larkspan.os.scandir(path)])
        if form == "async-with":
            async with larkspan.os.scandir(path) as found:
                return entries([e async for e in found])
        with await larkspan.os.scandir(path) as found:  # as aiofiles' scandir is used
            return entries(list(found))

    assert outcome_of(scan) == expected
    assert bool(submissions) == (placement == "worker")


def test_inline_calls_in_a_row_let_other_tasks_run(make_file, yield_always, submissions) -> None:
    path = make_file()

    async def stats() -> None:
        for _ in range(100):
            await larkspan.os.path.exists(path)

    assert asyncio.run(ticking(stats()))[1] >= 100
    assert not submissions


class Gate:
    """Holds each call handed to the pool until let through."""

    def __init__(self) -> None:
        self.passes, self.held = threading.Semaphore(0), 0

    def let_through(self) -> None:
        self.passes.release()

    async def until_held(self, count: int) -> None:
        while self.held < count:
            await asyncio.sleep(0)


@pytest.fixture
def gate(monkeypatch: pytest.MonkeyPatch) -> Gate:
    gate, pool = Gate(), _workers.pool()
    submit = pool.submit

    def gated(
        loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: _workers.Deliver
    ) -> None:
        gate.held += 1
        submit(loop, lambda: (gate.passes.acquire(timeout=TIMEOUT), call())[1], deliver)

    monkeypatch.setattr(pool, "submit", gated)
    place(monkeypatch, "worker")
    return gate


def test_scandir_cancelled_or_closed_on_a_worker_loses_no_entry_and_closes_after(
    tmp_path, gate
) -> None:
    names = {f"e{n}" for n in range(_calls.BATCH + 5)}
    for name in names:
        (tmp_path / name).touch()

    async def cancelled_twice_then_read() -> set[str]:
        found = larkspan.os.scandir(tmp_path)
        for step in (1, 2):  # cancelled while opening, then while reading the first batch
            cancelled = asyncio.create_task(anext(found))
            await gate.until_held(step)
            cancelled.cancel()
            with pytest.raises(asyncio.CancelledError):
                await cancelled
            gate.let_through()
        gate.let_through()  # for the last batch: every call is let through once
        return {entry.name async for entry in found}

    async def closed_while_reading() -> None:
        _completions.completions(
            asyncio.get_running_loop()
        )  # the loop's completion queue is open first
        before, found = (
            descriptors(),
            larkspan.os.scandir(tmp_path),
        )  # descriptors with the loop's own
        gate.let_through()
        await found
        drawing = asyncio.create_task(anext(found))
        await gate.until_held(2)
        found.close()  # while a worker reads the directory, which must stay open until it is done
        assert descriptors() == before + 1
        gate.let_through()
        with pytest.raises(StopAsyncIteration):
            await drawing  # what it read went with the closed iterator
        assert descriptors() == before

    assert asyncio.run(asyncio.wait_for(cancelled_twice_then_read(), TIMEOUT)) == names
    gate.held = 0
    asyncio.run(asyncio.wait_for(closed_while_reading(), TIMEOUT))


# ---- placement ---------------------------------------------------------------------------------


@pytest.fixture
def remote(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """tmp_path/"remote", listed in the mount table as a network file system."""
    table, mount = _placement.MountTable(), tmp_path / "remote"
    (mount / "sub").mkdir(parents=True)
    (mount / "file").touch()
    table._types[str(mount)] = "nfs4"
    # A mount made meanwhile elsewhere on the machine would have the table read again, without it.
    monkeypatch.setattr(table, "_read", lambda: table._types)
    monkeypatch.setattr(_placement, "_mounts", table)
    monkeypatch.chdir(tmp_path)
    return mount


# Arguments made from the mount and descriptors of a file in it, a pipe and its parent directory.
PLACES: dict[str, tuple[Callable[[Path, list[int]], tuple[Any, ...]], bool]] = {
    "mount-point": (lambda r, fds: (r,), True),
    "inside": (lambda r, fds: (r / "sub/x",), True),
    "bytes": (lambda r, fds: (os.fsencode(r / "file"),), True),
    "relative": (lambda r, fds: ("remote/sub",), True),
    "dotted": (lambda r, fds: (r.parent / "x/../remote",), True),
    "prefix": (lambda r, fds: (f"{r}2/x",), False),
    "parent": (lambda r, fds: (r.parent,), False),
    "second-of-two": (lambda r, fds: ("/", r / "file"), True),
    "descriptor": (lambda r, fds: (fds[0],), True),
    "pipe": (lambda r, fds: (fds[1],), False),
    "closed-descriptor": (lambda r, fds: (99999,), False),
    "beneath-dir-fd": (lambda r, fds: (_placement.beneath(fds[2], "remote/file"),), True),
    "absolute-beside-dir-fd": (lambda r, fds: (_placement.beneath(fds[2], "/x"),), False),
    "bad-type": (lambda r, fds: (1.5,), False),
    "nul": (lambda r, fds: ("a\0b",), False),
    "none": (lambda r, fds: (), False),
}


def test_a_mount_made_after_a_question_changes_the_answer(slow_fs, tmp_path: Path) -> None:
    table, inside = _placement.MountTable(), str(tmp_path / "mnt" / "file")
    (tmp_path / "mnt").mkdir()
    assert not table.type_of(inside).startswith("fuse")  # the folder's answer is kept
    slow_fs(0.0)  # mounted on tmp_path/"mnt"
    assert table.type_of(inside).startswith("fuse")


@pytest.mark.parametrize("case", PLACES)
def test_path_may_wait_by_the_mount_table(remote, case: str) -> None:
    file, (reader, writer) = os.open(remote / "file", os.O_RDONLY), os.pipe()
    parent = os.open(remote.parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        paths, expected = PLACES[case]
        assert _placement.path_may_wait(*paths(remote, [file, reader, parent])) is expected
    finally:
        for fd in (file, reader, writer, parent):
            os.close(fd)


def test_calls_on_a_waiting_file_system_go_to_a_worker(remote, submissions) -> None:
    async def main() -> tuple[Any, ...]:
        names = [e.name async for e in larkspan.os.scandir(remote / "sub")]
        return (
            await larkspan.os.path.isfile(remote / "file"),
            await larkspan.os.path.isdir(remote.parent),
            names,
        )

    assert asyncio.run(main()) == (True, True, [])
    assert len(submissions) == 3  # scandir's open and one batch, isfile; not isdir


def test_without_a_mount_table_every_path_may_wait(monkeypatch) -> None:
    monkeypatch.setattr(_placement, "_mounts", None)
    assert _placement.path_may_wait("/")
