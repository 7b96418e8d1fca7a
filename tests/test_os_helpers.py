"""larkspan.os, larkspan.os.path and larkspan.shutil against builtin os, os.path and shutil as the
oracle: the same results, exceptions and changes on disk, run inline without the worker pool on a
local disk and through the pool where a path can wait; path_may_wait over a mount table; scandir
in batches that let other tasks run."""

import asyncio
import inspect
import os
import shutil
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import larkspan.os
import larkspan.os.path
import larkspan.shutil
from conftest import descriptors
from larkspan import _calls, _placement, _workers
from path_fixtures import TIMEOUT, Tree, make_tree, outcome, outcome_of, place, submissions, ticking, yield_always

__all__ = ["make_tree", "submissions", "yield_always"]  # fixtures

type Case = Callable[[Any, Tree], Any]  # called with builtin os or larkspan.os, and the tree

# Calls that change nothing on disk: builtin and larkspan run one after the other on one tree.
QUERIES: dict[str, Case] = {
    "stat-file": lambda m, t: m.stat(t / "file"),
    "stat-dir": lambda m, t: m.stat(t / "dir"),
    "stat-link-followed": lambda m, t: m.stat(t / "link"),
    "stat-link-not-followed": lambda m, t: m.stat(t / "link", follow_symlinks=False),
    "stat-dangling": lambda m, t: m.stat(t / "dangling"),
    "stat-missing": lambda m, t: m.stat(t / "missing"),
    "stat-enotdir": lambda m, t: m.stat(t / "file/x"),
    "stat-dir-fd": lambda m, t: m.stat("dir/inner", dir_fd=t.fd),
    "stat-bytes": lambda m, t: m.stat(os.fsencode(t / "file")),
    "stat-descriptor": lambda m, t: m.stat(t.fd),
    "stat-bad-type": lambda m, t: m.stat(1.5),
    "stat-nul": lambda m, t: m.stat("a\0b"),
    "lstat-dangling": lambda m, t: m.lstat(t / "dangling"),
    "lstat-missing-dir-fd": lambda m, t: m.lstat("missing", dir_fd=t.fd),
    "statvfs-dir": lambda m, t: m.statvfs(t / "dir"),
    "statvfs-missing": lambda m, t: m.statvfs(t / "missing"),
    "access-readable": lambda m, t: m.access(t / "file", os.R_OK),
    "access-executable": lambda m, t: m.access(t / "file", os.X_OK),
    "access-missing": lambda m, t: m.access(t / "missing", os.F_OK),
    "access-dangling": lambda m, t: m.access(t / "dangling", os.F_OK),
    "access-dangling-not-followed": lambda m, t: m.access(t / "dangling", os.F_OK, follow_symlinks=False),
    "readlink": lambda m, t: m.readlink(t / "link"),
    "readlink-dangling": lambda m, t: m.readlink(t / "dangling"),
    "readlink-bytes": lambda m, t: m.readlink(os.fsencode(t / "dirlink")),
    "readlink-file": lambda m, t: m.readlink(t / "file"),
    "readlink-missing": lambda m, t: m.readlink(t / "missing"),
    "listdir": lambda m, t: m.listdir(t / "dir"),
    "listdir-root": lambda m, t: m.listdir(t / ""),
    "listdir-bytes": lambda m, t: m.listdir(os.fsencode(t / "dir")),
    "listdir-descriptor": lambda m, t: m.listdir(t.fd),
    "listdir-current": lambda m, t: m.listdir(),
    "listdir-file": lambda m, t: m.listdir(t / "file"),
    "listdir-missing": lambda m, t: m.listdir(t / "missing"),
    "getcwd": lambda m, t: m.getcwd(),
    "exists-file": lambda m, t: m.path.exists(t / "file"),
    "exists-missing": lambda m, t: m.path.exists(t / "missing"),
    "exists-dangling": lambda m, t: m.path.exists(t / "dangling"),
    "exists-descriptor": lambda m, t: m.path.exists(t.fd),
    "exists-nul": lambda m, t: m.path.exists("a\0b"),
    "isfile-link": lambda m, t: m.path.isfile(t / "link"),
    "isfile-dir": lambda m, t: m.path.isfile(t / "dir"),
    "isdir-dirlink": lambda m, t: m.path.isdir(t / "dirlink"),
    "isdir-file": lambda m, t: m.path.isdir(t / "file"),
    "islink-dangling": lambda m, t: m.path.islink(t / "dangling"),
    "islink-file": lambda m, t: m.path.islink(t / "file"),
    "ismount-root": lambda m, t: m.path.ismount("/"),
    "ismount-dir": lambda m, t: m.path.ismount(t / "dir"),
    "getsize": lambda m, t: m.path.getsize(t / "file"),
    "getsize-missing": lambda m, t: m.path.getsize(t / "missing"),
    "getsize-dangling": lambda m, t: m.path.getsize(t / "dangling"),
    "getatime": lambda m, t: m.path.getatime(t / "file"),
    "getmtime": lambda m, t: m.path.getmtime(t / "dir"),
    "getctime-missing": lambda m, t: m.path.getctime(t / "missing"),
    "samefile-link": lambda m, t: m.path.samefile(t / "link", t / "file"),
    "samefile-other": lambda m, t: m.path.samefile(t / "dir", t / "file"),
    "samefile-missing": lambda m, t: m.path.samefile(t / "file", t / "missing"),
    "sameopenfile": lambda m, t: m.path.sameopenfile(t.fd, t.fd),
    "sameopenfile-closed": lambda m, t: m.path.sameopenfile(t.fd, 9999),
    "abspath-relative": lambda m, t: m.path.abspath("dir/../file"),
    "abspath-bytes": lambda m, t: m.path.abspath(b"./x"),
}  # fmt: skip

# Answered from memory wherever the path lies.
ALWAYS_INLINE = {"getcwd", "abspath-relative", "abspath-bytes"}


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", QUERIES)
def test_queries_match_builtin(make_tree, submissions, monkeypatch, case: str, placement: str) -> None:
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    expected = outcome(lambda: QUERIES[case](os, tree))
    place(monkeypatch, placement)
    assert outcome_of(lambda: QUERIES[case](larkspan.os, tree)) == expected
    assert bool(submissions) == (placement == "worker" and case not in ALWAYS_INLINE)


# Calls that change the tree: each runs on a fresh tree, and the trees after must agree too.
CHANGES: dict[str, Case] = {
    "rename": lambda m, t: m.rename(t / "file", t / "moved"),
    "rename-missing": lambda m, t: m.rename(t / "missing", t / "moved"),
    "rename-file-over-dir": lambda m, t: m.rename(t / "file", t / "empty"),
    "rename-dir-over-file": lambda m, t: m.rename(t / "dir", t / "file"),
    "rename-dir-over-empty-dir": lambda m, t: m.rename(t / "dir", t / "empty"),
    "rename-dir-into-itself": lambda m, t: m.rename(t / "dir", t / "dir/sub"),
    "rename-dir-fd": lambda m, t: m.rename("file", "dir/moved", src_dir_fd=t.fd, dst_dir_fd=t.fd),
    "replace-link": lambda m, t: m.replace(t / "file", t / "link"),
    "replace-non-empty-dir": lambda m, t: m.replace(t / "empty", t / "dir"),
    "renames-into-new-dirs": lambda m, t: m.renames(t / "file", t / "a/b/c"),
    "renames-prunes-emptied-dirs": lambda m, t: m.renames(t / "dir/inner", t / "x/y"),
    "remove": lambda m, t: m.remove(t / "file"),
    "remove-dir": lambda m, t: m.remove(t / "dir"),
    "remove-missing": lambda m, t: m.remove(t / "missing"),
    "remove-dangling": lambda m, t: m.remove(t / "dangling"),
    "unlink-link-not-target": lambda m, t: m.unlink(t / "link"),
    "unlink-dir-fd": lambda m, t: m.unlink("dir/inner", dir_fd=t.fd),
    "mkdir": lambda m, t: m.mkdir(t / "new", 0o700),
    "mkdir-existing": lambda m, t: m.mkdir(t / "dir"),
    "mkdir-over-dangling": lambda m, t: m.mkdir(t / "dangling"),
    "mkdir-missing-parent": lambda m, t: m.mkdir(t / "missing/new"),
    "mkdir-under-file": lambda m, t: m.mkdir(t / "file/new"),
    "mkdir-dir-fd": lambda m, t: m.mkdir("dir/new", dir_fd=t.fd),
    "makedirs": lambda m, t: m.makedirs(t / "a/b/c", 0o750),
    "makedirs-existing": lambda m, t: m.makedirs(t / "dir"),
    "makedirs-existing-ok": lambda m, t: m.makedirs(t / "dir", exist_ok=True),
    "makedirs-over-file-ok": lambda m, t: m.makedirs(t / "file", exist_ok=True),
    "makedirs-through-file": lambda m, t: m.makedirs(t / "file/a/b"),
    "rmdir": lambda m, t: m.rmdir(t / "empty"),
    "rmdir-not-empty": lambda m, t: m.rmdir(t / "dir"),
    "rmdir-file": lambda m, t: m.rmdir(t / "file"),
    "rmdir-missing": lambda m, t: m.rmdir(t / "missing"),
    "rmdir-dirlink": lambda m, t: m.rmdir(t / "dirlink"),
    "removedirs-up-to-non-empty": lambda m, t: m.removedirs(t / "empty"),
    "removedirs-not-empty": lambda m, t: m.removedirs(t / "dir"),
    "link": lambda m, t: m.link(t / "file", t / "hard"),
    "link-to-link-not-followed": lambda m, t: m.link(t / "link", t / "hard", follow_symlinks=False),
    "link-missing": lambda m, t: m.link(t / "missing", t / "hard"),
    "link-existing": lambda m, t: m.link(t / "file", t / "dir"),
    "link-dir": lambda m, t: m.link(t / "dir", t / "hard"),
    "symlink": lambda m, t: m.symlink("anywhere", t / "new"),
    "symlink-existing": lambda m, t: m.symlink("file", t / "dangling"),
    "symlink-dir-fd": lambda m, t: m.symlink("../file", "dir/new", dir_fd=t.fd),
    "symlink-missing-parent": lambda m, t: m.symlink("file", t / "missing/new"),
}  # fmt: skip


def changed_by(case: Case, module: Any, make_tree: Callable[[], Tree], run: Callable[..., Any]) -> tuple:
    tree = make_tree()
    result = run(lambda: case(module, tree))
    return result, tree.snapshot()


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", CHANGES)
def test_changes_match_builtin(make_tree, submissions, monkeypatch, case: str, placement: str) -> None:
    expected = changed_by(CHANGES[case], os, make_tree, outcome)
    place(monkeypatch, placement)
    assert changed_by(CHANGES[case], larkspan.os, make_tree, outcome_of) == expected
    assert bool(submissions) == (placement == "worker")


def rmtree_failures(s: Any, t: Tree, handler_name: str) -> Any:
    """What rmtree hands its handler (onexc, or the older onerror) for a missing tree."""
    failures: list[tuple[str, str, str]] = []

    def handler(function: Callable[..., Any], path: str, error: Any) -> None:
        failures.append((function.__name__, path, repr(error[1] if isinstance(error, tuple) else error)))

    removal = s.rmtree(t / "missing", **{handler_name: handler})
    if not inspect.iscoroutine(removal):
        return failures

    async def after_removal() -> list[tuple[str, str, str]]:
        await removal
        return failures

    return after_removal()


# Always on a worker, wherever the paths lie.
SHUTIL: dict[str, Case] = {
    "copyfile": lambda s, t: s.copyfile(t / "file", t / "copy"),
    "copyfile-link-not-followed": lambda s, t: s.copyfile(t / "link", t / "copy", follow_symlinks=False),
    "copyfile-onto-dir": lambda s, t: s.copyfile(t / "file", t / "dir"),
    "copyfile-missing": lambda s, t: s.copyfile(t / "missing", t / "copy"),
    "copyfile-same": lambda s, t: s.copyfile(t / "file", t / "link"),
    "copyfile-dir": lambda s, t: s.copyfile(t / "dir", t / "copy"),
    "copy-into-dir": lambda s, t: s.copy(t / "file", t / "dir"),
    "copy2": lambda s, t: s.copy2(t / "file", t / "copy"),
    "copy2-dangling": lambda s, t: s.copy2(t / "dangling", t / "copy"),
    "copytree": lambda s, t: s.copytree(t / "dir", t / "copy"),
    "copytree-onto-existing": lambda s, t: s.copytree(t / "dir", t / "empty"),
    "copytree-dirs-exist-ok": lambda s, t: s.copytree(t / "dir", t / "empty", dirs_exist_ok=True),
    "copytree-symlinks-kept": lambda s, t: s.copytree(t / "", t / "../copy", symlinks=True),
    "copytree-ignore": lambda s, t: s.copytree(t / "", t / "../copy", ignore=shutil.ignore_patterns("*link", "d*")),
    "copytree-missing": lambda s, t: s.copytree(t / "missing", t / "copy"),
    "move-file": lambda s, t: s.move(t / "file", t / "moved"),
    "move-into-dir": lambda s, t: s.move(t / "file", t / "dir"),
    "move-dir": lambda s, t: s.move(t / "dir", t / "moved"),
    "move-missing": lambda s, t: s.move(t / "missing", t / "moved"),
    "rmtree": lambda s, t: s.rmtree(t / "dir"),
    "rmtree-missing": lambda s, t: s.rmtree(t / "missing"),
    "rmtree-missing-ignored": lambda s, t: s.rmtree(t / "missing", ignore_errors=True),
    "rmtree-file": lambda s, t: s.rmtree(t / "file"),
    "rmtree-dirlink": lambda s, t: s.rmtree(t / "dirlink"),
    "rmtree-dir-fd": lambda s, t: s.rmtree("dir", dir_fd=t.fd),
    "rmtree-onexc": lambda s, t: rmtree_failures(s, t, "onexc"),
    "rmtree-onerror": lambda s, t: rmtree_failures(s, t, "onerror"),
}  # fmt: skip


@pytest.mark.parametrize("case", SHUTIL)
def test_shutil_matches_builtin_on_a_worker(make_tree, submissions, case: str) -> None:
    expected = changed_by(SHUTIL[case], shutil, make_tree, outcome)
    assert changed_by(SHUTIL[case], larkspan.shutil, make_tree, outcome_of) == expected
    assert submissions


def parameters(function: Callable[..., Any]) -> list[tuple[str, Any, Any]]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize(("ours", "builtin"), [
    (larkspan.os, os), (larkspan.os.path, os.path), (larkspan.shutil, shutil),
], ids=["os", "os.path", "shutil"])  # fmt: skip
def test_signatures_are_builtins(ours, builtin) -> None:
    names = [name for name in ours.__all__ if inspect.isfunction(getattr(ours, name))]
    assert names
    for name in names:
        assert parameters(getattr(ours, name)) == parameters(getattr(builtin, name)), name


# ---- scandir ---------------------------------------------------------------------------------


def entries(found: list[os.DirEntry[Any]]) -> list[tuple[Any, ...]]:
    return sorted((e.name, e.path, e.is_dir(), e.is_file(), e.is_symlink(), e.inode()) for e in found)


SCANDIR: dict[str, Callable[[Tree], Any]] = {
    "root": lambda t: t / "", "bytes": lambda t: os.fsencode(t / "dir"), "descriptor": lambda t: t.fd,
    "current": lambda t: None, "file": lambda t: t / "file", "missing": lambda t: t / "missing",
}  # fmt: skip


@pytest.mark.parametrize("form", ["async-for", "async-with", "awaited-then-for"])
@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", SCANDIR)
def test_scandir_matches_builtin(make_tree, submissions, monkeypatch, case, placement, form) -> None:
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


@pytest.mark.parametrize("placement", ["inline", "worker"])
def test_scandir_of_a_huge_directory_lets_other_tasks_run(tmp_path, monkeypatch, yield_always, placement) -> None:
    count = 5 * _calls.BATCH + 3
    for n in range(count):
        (tmp_path / f"e{n}").touch()
    place(monkeypatch, placement)

    async def scan() -> list[str]:
        return [entry.name async for entry in larkspan.os.scandir(tmp_path)]

    names, ticks = asyncio.run(ticking(scan()))
    assert sorted(names) == sorted(os.listdir(tmp_path))
    assert ticks >= count // _calls.BATCH


def test_inline_calls_in_a_row_let_other_tasks_run(make_file, yield_always, submissions) -> None:
    path = make_file()

    async def stats() -> None:
        for _ in range(100):
            await larkspan.os.stat(path)

    _, ticks = asyncio.run(ticking(stats()))
    assert ticks >= 100
    assert not submissions


class Gate:
    """Holds the calls handed to the pool until opened."""

    def __init__(self) -> None:
        self.open = threading.Event()
        self.held = 0

    async def until_held(self, count: int) -> None:
        while self.held < count:
            await asyncio.sleep(0)


@pytest.fixture
def gate(monkeypatch: pytest.MonkeyPatch) -> Gate:
    gate, pool = Gate(), _workers.pool()
    submit = pool.submit

    def gated(loop: asyncio.AbstractEventLoop, call: Callable[[], Any], deliver: _workers.Deliver) -> None:
        gate.held += 1
        submit(loop, lambda: (gate.open.wait(TIMEOUT), call())[1], deliver)

    monkeypatch.setattr(pool, "submit", gated)
    return gate


def test_scandir_cancelled_mid_batch_loses_no_entry(tmp_path, monkeypatch, gate) -> None:
    names = {f"e{n}" for n in range(_calls.BATCH + 5)}
    for name in names:
        (tmp_path / name).touch()
    place(monkeypatch, "worker")
    before = descriptors()

    async def main() -> set[str]:
        found = larkspan.os.scandir(tmp_path)
        first = asyncio.create_task(anext(found))
        await gate.until_held(1)  # the directory is being opened on a worker
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        second = asyncio.create_task(anext(found))
        gate.open.set()
        await gate.until_held(2)  # the first batch is being read
        second.cancel()
        with pytest.raises(asyncio.CancelledError):
            await second
        return {entry.name async for entry in found}

    assert asyncio.run(asyncio.wait_for(main(), TIMEOUT)) == names
    assert descriptors() == before


def test_scandir_closed_mid_batch_closes_after_the_batch(tmp_path, monkeypatch, gate) -> None:
    for n in range(10):
        (tmp_path / f"e{n}").touch()
    place(monkeypatch, "worker")

    async def main() -> None:
        before = descriptors()  # with the loop's own
        found = larkspan.os.scandir(tmp_path)
        gate.open.set()
        await found
        gate.open.clear()
        drawing = asyncio.create_task(anext(found))
        await gate.until_held(2)
        found.close()  # while the batch is read on a worker: closing must wait for it
        assert descriptors() == before + 1
        gate.open.set()
        with pytest.raises(StopAsyncIteration):
            await drawing  # what it read went with the closed iterator
        assert descriptors() == before

    asyncio.run(asyncio.wait_for(main(), TIMEOUT))


# ---- placement ---------------------------------------------------------------------------------


@pytest.fixture
def remote(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """tmp_path/"remote", listed in the mount table as a network file system."""
    table = _placement.MountTable()
    mount = tmp_path / "remote"
    (mount / "sub").mkdir(parents=True)
    (mount / "file").touch()
    table._types[str(mount)] = "nfs4"
    monkeypatch.setattr(_placement, "_mounts", table)
    monkeypatch.chdir(tmp_path)
    return mount


PLACES: dict[str, tuple[Callable[[Path, list[int]], tuple[Any, ...]], bool]] = {
    "mount-point": (lambda r, fds: (r,), True),
    "inside": (lambda r, fds: (r / "sub/x",), True),
    "bytes": (lambda r, fds: (os.fsencode(r / "file"),), True),
    "relative": (lambda r, fds: ("remote/sub",), True),
    "dotted-into": (lambda r, fds: (r.parent / "other/../remote/file",), True),
    "beside-with-prefix": (lambda r, fds: (str(r) + "2/x",), False),
    "parent": (lambda r, fds: (r.parent,), False),
    "second-of-two": (lambda r, fds: ("/", r / "file"), True),
    "neither-of-two": (lambda r, fds: ("/", r.parent / "x"), False),
    "descriptor-inside": (lambda r, fds: (fds[0],), True),
    "descriptor-of-pipe": (lambda r, fds: (fds[1],), False),
    "closed-descriptor": (lambda r, fds: (99999,), False),
    "beneath-dir-fd": (lambda r, fds: (_placement.beneath(fds[2], "remote/file"),), True),
    "beneath-dir-fd-absolute": (lambda r, fds: (_placement.beneath(fds[2], "/x"),), False),
    "bad-type": (lambda r, fds: (1.5,), False),
    "nul": (lambda r, fds: ("a\0b",), False),
    "none": (lambda r, fds: (), False),
}  # fmt: skip


@pytest.mark.parametrize("case", PLACES)
def test_path_may_wait_by_the_mount_table(remote, case: str) -> None:
    file = os.open(remote / "file", os.O_RDONLY)
    reader, writer = os.pipe()
    parent = os.open(remote.parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        paths, expected = PLACES[case]
        assert _placement.path_may_wait(*paths(remote, [file, reader, parent])) is expected
    finally:
        for fd in (file, reader, writer, parent):
            os.close(fd)


def test_calls_on_a_waiting_file_system_go_to_a_worker(remote, submissions) -> None:
    async def main() -> tuple[Any, ...]:
        return (
            await larkspan.os.path.isfile(remote / "file"), await larkspan.os.listdir(remote),
            await larkspan.os.path.isdir(remote.parent), [e.name async for e in larkspan.os.scandir(remote / "sub")],
        )  # fmt: skip

    assert asyncio.run(main()) == (True, os.listdir(remote), True, [])
    assert len(submissions) == 4  # isfile, listdir, and scandir's open and one batch


def test_without_a_mount_table_every_path_may_wait(monkeypatch) -> None:
    monkeypatch.setattr(_placement, "_mounts", None)
    assert _placement.path_may_wait("/")
