"""larkspan.Path against pathlib as the oracle: pure operations giving larkspan.Path objects, every
file system operation a coroutine with pathlib's results, exceptions and changes on disk, inline on
a local disk and through the worker pool where the path can wait; directory iteration in batches."""

import asyncio
import inspect
import os
import pathlib
from collections.abc import Callable
from typing import Any

import pytest

import larkspan
from larkspan import _calls
from larkspan._path import Path
from path_fixtures import Tree, make_tree, outcome, outcome_of, place, submissions, ticking, yield_always

__all__ = ["make_tree", "submissions", "yield_always"]  # fixtures

PURE: dict[str, Callable[[Any], Any]] = {
    "join": lambda p: p / "b" / "c.txt", "rjoin": lambda p: "/r" / p, "joinpath": lambda p: p.joinpath("x", "y"),
    "parent": lambda p: p.parent, "parents": lambda p: list(p.parents), "name": lambda p: p.name,
    "stem": lambda p: p.stem, "suffixes": lambda p: p.suffixes, "parts": lambda p: p.parts,
    "with-name": lambda p: p.with_name("n.md"), "with-suffix": lambda p: p.with_suffix(".gz"),
    "with-stem": lambda p: p.with_stem("s"), "relative-to": lambda p: p.relative_to("/a"),
    "relative-to-walk-up": lambda p: p.relative_to("/a/b/c", walk_up=True), "is-relative-to": lambda p: p.is_relative_to("/a"),
    "relative-to-other": lambda p: p.relative_to("/z"), "match": lambda p: p.match("*.tar.gz"),
    "is-absolute": lambda p: p.is_absolute(), "as-uri": lambda p: p.as_uri(), "str": str, "bytes": bytes,
    "fspath": os.fspath, "equal-pathlib": lambda p: p == pathlib.PurePosixPath("/a/arch.tar.gz"),
    "hash-pathlib": lambda p: hash(p) == hash(pathlib.PurePosixPath("/a/arch.tar.gz")),
    "sorts": lambda p: sorted([p / "b", p / "a"]), "with-segments": lambda p: p.with_segments("q", "r"),
}  # fmt: skip


def paths_as_text(value: Any) -> Any:
    """`value` with every path in it as ("path", its text, whether it is a larkspan.Path)."""
    if isinstance(value, pathlib.PurePath):
        return "path", str(value), isinstance(value, Path)
    if isinstance(value, (list, tuple)):
        return type(value)(paths_as_text(item) for item in value)
    return value


@pytest.mark.parametrize("case", PURE)
def test_pure_operations_are_pathlibs_and_give_larkspan_paths(case: str) -> None:
    expected = outcome(lambda: paths_as_text(PURE[case](pathlib.PurePosixPath("/a/arch.tar.gz"))))
    got = outcome(lambda: paths_as_text(PURE[case](Path("/a/arch.tar.gz"))))
    assert got == paths_as_text_as_ours(expected)


def paths_as_text_as_ours(value: Any) -> Any:
    """What larkspan gives for pathlib's `value`: the same, every path a larkspan.Path."""
    if isinstance(value, tuple) and len(value) == 3 and value[0] == "path":
        return "path", value[1], True
    if isinstance(value, (list, tuple)):
        return type(value)(paths_as_text_as_ours(item) for item in value)
    return value


def test_every_file_system_operation_is_a_coroutine() -> None:
    touching = {name for name in dir(pathlib.Path) if not name.startswith("_")} - set(dir(pathlib.PurePath))
    iterators = {"iterdir", "glob", "rglob", "walk"}
    assert touching - iterators - {"open"}
    for name in touching - iterators - {"open"}:
        assert inspect.iscoroutinefunction(getattr(Path, name)), name
    for name in iterators:
        assert inspect.isasyncgenfunction(getattr(Path, name)), name
    for name in touching | iterators:
        ours = [p.name for p in inspect.signature(getattr(Path, name)).parameters.values()]
        assert ours == [p.name for p in inspect.signature(getattr(pathlib.Path, name)).parameters.values()], name


type Case = Callable[[type, Tree], Any]  # called with pathlib.Path or larkspan.Path, and the tree

QUERIES: dict[str, Case] = {
    "stat": lambda P, t: P(t / "file").stat(),
    "stat-missing": lambda P, t: P(t / "missing").stat(),
    "stat-link-not-followed": lambda P, t: P(t / "link").stat(follow_symlinks=False),
    "lstat-dangling": lambda P, t: P(t / "dangling").lstat(),
    "exists": lambda P, t: P(t / "dir").exists(),
    "exists-dangling": lambda P, t: P(t / "dangling").exists(),
    "exists-dangling-not-followed": lambda P, t: P(t / "dangling").exists(follow_symlinks=False),
    "exists-nul": lambda P, t: P("a\0b").exists(),
    "is-dir-dirlink": lambda P, t: P(t / "dirlink").is_dir(),
    "is-dir-enotdir": lambda P, t: P(t / "file/x").is_dir(),
    "is-file-dir": lambda P, t: P(t / "dir").is_file(),
    "is-symlink-dangling": lambda P, t: P(t / "dangling").is_symlink(),
    "is-mount-root": lambda P, t: P("/").is_mount(),
    "is-mount-dir": lambda P, t: P(t / "dir").is_mount(),
    "is-junction": lambda P, t: P(t / "dir").is_junction(),
    "is-block-device": lambda P, t: P(t / "file").is_block_device(),
    "is-char-device": lambda P, t: P("/dev/null").is_char_device(),
    "is-fifo": lambda P, t: P(t / "file").is_fifo(),
    "is-socket-missing": lambda P, t: P(t / "missing").is_socket(),
    "samefile": lambda P, t: P(t / "link").samefile(t / "file"),
    "samefile-same-kind-of-path": lambda P, t: P(t / "link").samefile(P(t / "file")),
    "samefile-missing": lambda P, t: P(t / "file").samefile(t / "missing"),
    "readlink": lambda P, t: P(t / "dangling").readlink(),
    "readlink-file": lambda P, t: P(t / "file").readlink(),
    "resolve": lambda P, t: P(t / "dirlink/../link").resolve(),
    "resolve-strict-dangling": lambda P, t: P(t / "dangling").resolve(strict=True),
    "resolve-missing": lambda P, t: P(t / "missing/x").resolve(),
    "absolute": lambda P, t: P("dir/x").absolute(),
    "expanduser-home": lambda P, t: P("~/x").expanduser(),
    "expanduser-user": lambda P, t: P("~root/x").expanduser(),
    "expanduser-unknown-user": lambda P, t: P("~no-such-user-here/x").expanduser(),
    "expanduser-absolute": lambda P, t: P("/~x").expanduser(),
    "home": lambda P, t: P.home(),
    "cwd": lambda P, t: P.cwd(),
    "owner": lambda P, t: P(t / "file").owner(),
    "group-missing": lambda P, t: P(t / "missing").group(),
    "read-bytes": lambda P, t: P(t / "file").read_bytes(),
    "read-text": lambda P, t: P(t / "file").read_text(),
}  # fmt: skip

# Answered from memory, or through larkspan.open(), which places itself (inline, for a regular
# file on a local disk).
INLINE_ANYWHERE = {"absolute", "expanduser-home", "expanduser-absolute", "home", "cwd", "read-bytes", "read-text"}
# Looking users up may cross the network.
WORKER_ANYWHERE = {"owner", "group-missing", "expanduser-user", "expanduser-unknown-user"}


def handed_over(case: str, placement: str) -> bool:
    return case in WORKER_ANYWHERE or (placement == "worker" and case not in INLINE_ANYWHERE)


def ours(case: Case, t: Tree) -> Any:
    """larkspan's run of `case`, with paths checked to be larkspan.Path objects and then made
    pathlib's, so that the outcome compares with pathlib's own."""

    async def run() -> Any:
        result = paths_as_text(await case(Path, t))
        return paths_as_text_as_ours(result) == result and pathlib_paths(result)

    return outcome_of(run)


def pathlib_paths(value: Any) -> Any:
    if isinstance(value, tuple) and len(value) == 3 and value[0] == "path":
        return pathlib.Path(value[1])
    if isinstance(value, (list, tuple)):
        return type(value)(pathlib_paths(item) for item in value)
    return value


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", QUERIES)
def test_queries_match_pathlib(make_tree, submissions, monkeypatch, case: str, placement: str) -> None:
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    expected = outcome(lambda: QUERIES[case](pathlib.Path, tree))
    place(monkeypatch, placement)
    assert ours(QUERIES[case], tree) == expected
    assert bool(submissions) == handed_over(case, placement)


CHANGES: dict[str, Case] = {
    "touch": lambda P, t: P(t / "new").touch(0o600),
    "touch-existing": lambda P, t: P(t / "file").touch(exist_ok=False),
    "touch-missing-parent": lambda P, t: P(t / "missing/new").touch(),
    "mkdir": lambda P, t: P(t / "new").mkdir(0o700),
    "mkdir-parents": lambda P, t: P(t / "a/b/c").mkdir(parents=True),
    "mkdir-existing": lambda P, t: P(t / "dir").mkdir(),
    "mkdir-existing-ok": lambda P, t: P(t / "dir").mkdir(exist_ok=True),
    "mkdir-over-file-ok": lambda P, t: P(t / "file").mkdir(exist_ok=True),
    "mkdir-missing-parent": lambda P, t: P(t / "missing/new").mkdir(),
    "chmod": lambda P, t: P(t / "file").chmod(0o640),
    "chmod-link-not-followed": lambda P, t: P(t / "link").chmod(0o640, follow_symlinks=False),
    "lchmod": lambda P, t: P(t / "link").lchmod(0o640),
    "chmod-missing": lambda P, t: P(t / "missing").chmod(0o640),
    "unlink": lambda P, t: P(t / "link").unlink(),
    "unlink-missing": lambda P, t: P(t / "missing").unlink(),
    "unlink-missing-ok": lambda P, t: P(t / "missing").unlink(missing_ok=True),
    "unlink-dir": lambda P, t: P(t / "dir").unlink(),
    "rmdir": lambda P, t: P(t / "empty").rmdir(),
    "rmdir-not-empty": lambda P, t: P(t / "dir").rmdir(),
    "rename": lambda P, t: P(t / "file").rename(t / "moved"),
    "rename-relative": lambda P, t: P("file").rename("dir/moved"),
    "rename-onto-dir": lambda P, t: P(t / "file").rename(t / "dir"),
    "replace": lambda P, t: P(t / "file").replace(t / "dangling"),
    "replace-missing": lambda P, t: P(t / "missing").replace(t / "file"),
    "symlink-to": lambda P, t: P(t / "new").symlink_to("anywhere"),
    "symlink-to-existing": lambda P, t: P(t / "file").symlink_to("anywhere"),
    "hardlink-to": lambda P, t: P(t / "new").hardlink_to(t / "file"),
    "hardlink-to-missing": lambda P, t: P(t / "new").hardlink_to(t / "missing"),
    "write-bytes": lambda P, t: P(t / "file").write_bytes(bytearray(b"new")),
    "write-bytes-str": lambda P, t: P(t / "file").write_bytes("text"),
    "write-text": lambda P, t: P(t / "new").write_text("line\n"),
    "write-text-bytes": lambda P, t: P(t / "file").write_text(b"bytes"),
}  # fmt: skip

# Through larkspan.open(), which places itself (inline, for a regular file on a local disk).
OPENING = {"write-bytes", "write-bytes-str", "write-text", "write-text-bytes"}


def changed_by(run: Callable[[], Any], tree: Tree) -> tuple[Any, Any]:
    return run(), tree.snapshot()


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", CHANGES)
def test_changes_match_pathlib(make_tree, submissions, monkeypatch, case: str, placement: str) -> None:
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    expected = changed_by(lambda: outcome(lambda: CHANGES[case](pathlib.Path, tree)), tree)
    tree = make_tree()
    monkeypatch.chdir(tree.root)  # the same path, made anew
    place(monkeypatch, placement)
    assert changed_by(lambda: ours(CHANGES[case], tree), tree) == expected
    assert bool(submissions) == (placement == "worker" and case not in OPENING)


# ---- directories ---------------------------------------------------------------------------

LISTINGS: dict[str, Callable[[Any, Tree], Any]] = {
    "iterdir": lambda p, t: p(t / "").iterdir(),
    "iterdir-file": lambda p, t: p(t / "file").iterdir(),
    "iterdir-missing": lambda p, t: p(t / "missing").iterdir(),
    "iterdir-relative": lambda p, t: p(".").iterdir(),
    "glob": lambda p, t: p(t / "").glob("*"),
    "glob-prefix": lambda p, t: p(t / "").glob("d*"),
    "glob-deep": lambda p, t: p(t / "").glob("**/*"),
    "glob-inner": lambda p, t: p(t / "").glob("*/inner"),
    "glob-case": lambda p, t: p(t / "").glob("FILE", case_sensitive=False),
    "glob-empty": lambda p, t: p(t / "").glob(""),
    "glob-absolute": lambda p, t: p(t / "").glob("/x"),
    "rglob": lambda p, t: p(t / "").rglob("*"),
    "rglob-name": lambda p, t: p(".").rglob("inner"),
    "walk": lambda p, t: p(t / "").walk(),
    "walk-bottom-up": lambda p, t: p(t / "").walk(top_down=False),
    "walk-following-links": lambda p, t: p(t / "").walk(follow_symlinks=True),
    "walk-missing": lambda p, t: p(t / "missing").walk(),
}  # fmt: skip


def listed(items: list[Any]) -> list[Any]:
    return sorted(paths_as_text(item) for item in items)


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", LISTINGS)
def test_listings_match_pathlib(make_tree, submissions, monkeypatch, case: str, placement: str) -> None:
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    expected = outcome(lambda: paths_as_text_as_ours(listed(list(LISTINGS[case](pathlib.Path, tree)))))
    place(monkeypatch, placement)

    async def listing() -> list[Any]:
        return listed([item async for item in LISTINGS[case](Path, tree)])

    assert outcome_of(listing) == expected
    assert bool(submissions) == (placement == "worker")


def test_walk_skips_what_the_caller_removes(make_tree) -> None:
    tree = make_tree()
    (tree.root / "dir" / "deeper").mkdir()

    def prune(top: Any, dirs: list[str]) -> None:
        if "dir" in dirs:
            dirs.remove("dir")

    expected = []
    for top, dirs, files in pathlib.Path(tree.root).walk():
        expected.append((str(top), sorted(dirs), sorted(files)))
        prune(top, dirs)

    async def walk() -> list[Any]:
        seen = []
        async for top, dirs, files in Path(tree.root).walk():
            seen.append((str(top), sorted(dirs), sorted(files)))
            prune(top, dirs)
        return seen

    assert asyncio.run(walk()) == expected
    assert all("deeper" not in dirs for _, dirs, _ in expected)


def test_walk_hands_errors_to_on_error(make_tree) -> None:
    tree, errors = make_tree(), []

    async def walk() -> list[Any]:
        return [step async for step in Path(tree / "missing").walk(on_error=errors.append)]

    assert asyncio.run(walk()) == []
    assert [(type(e), e.filename) for e in errors] == [(FileNotFoundError, tree / "missing")]


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("method", ["iterdir", "glob", "rglob"])
def test_listing_a_huge_directory_lets_other_tasks_run(tmp_path, monkeypatch, yield_always, method, placement) -> None:
    count = 4 * _calls.BATCH + 1
    for n in range(count):
        (tmp_path / f"e{n}").touch()
    place(monkeypatch, placement)

    async def listing() -> list[Any]:
        found = getattr(Path(tmp_path), method)(*([] if method == "iterdir" else ["*"]))
        return [path async for path in found]

    found, ticks = asyncio.run(ticking(listing()))
    assert sorted(found) == sorted(pathlib.Path(tmp_path).iterdir())
    assert ticks >= count // _calls.BATCH


# ---- content -------------------------------------------------------------------------------


def test_open_is_larkspan_open(tmp_path) -> None:
    path = Path(tmp_path / "f")

    async def main() -> tuple[Any, ...]:
        async with path.open("w") as f:
            await f.write("written\n")
        handle = await path.open("rb")
        assert isinstance(handle, larkspan.FileHandle)
        async with handle:
            data = await handle.read()
        return data, handle.closed, await path.read_text(), await (await Path.cwd()).exists()

    assert asyncio.run(main()) == (b"written\n", True, "written\n", True)
    assert pathlib.Path(tmp_path / "f").read_bytes() == b"written\n"
