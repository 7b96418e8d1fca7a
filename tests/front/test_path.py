"""larkspan.Path against pathlib as the oracle: pure operations giving larkspan.Path objects, every
file system operation a coroutine with pathlib's results, exceptions and changes on disk, inline on
a local disk and through the worker pool where the path can wait; listings in batches."""

import asyncio
import inspect
import os
import pathlib
import sys
from collections.abc import Callable
from typing import Any, TypeAlias

import larkspan
import larkspan.os
import pytest
from larkspan import _calls
from larkspan._path import Path
from path_fixtures import (
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


def same_kind(ours: Any, theirs: Any) -> bool:
    """Whether `ours` holds a larkspan.Path wherever `theirs` holds a pathlib path."""
    if isinstance(theirs, pathlib.PurePath):
        return isinstance(ours, Path)
    if isinstance(theirs, (list, tuple)) and isinstance(ours, (list, tuple)):
        return len(ours) == len(theirs) and all(map(same_kind, ours, theirs))
    return True


PURE: dict[str, Callable[[Any], Any]] = {
    "join": lambda p: p / "b" / "c.txt",
    "rjoin": lambda p: "/r" / p,
    "joinpath": lambda p: p.joinpath("x", "y"),
    "parents": lambda p: list(p.parents),
    "parts": lambda p: p.parts,
    "with-suffix": lambda p: p.with_suffix(".gz"),
    "with-stem": lambda p: p.with_stem("s"),
    "relative-to": lambda p: p.relative_to("/a/b/c", walk_up=True),
    "relative-to-other": lambda p: p.relative_to("/z"),
    "match": lambda p: p.match("*.tar.gz"),
    "as-uri": lambda p: p.as_uri(),
    "bytes": bytes,
    "hash": hash,
    "sorted": lambda p: sorted([p / "b", p / "a"]),
    "with-segments": lambda p: p.with_segments("q", "r"),
}


@pytest.mark.parametrize("case", PURE)
def test_pure_operations_are_pathlibs_and_give_larkspan_paths(case: str) -> None:
    skip_unless_pathlib_has(case)
    theirs, ours = (
        outcome(lambda: PURE[case](pathlib.PurePosixPath("/a/arch.tar.gz"))),
        outcome(lambda: PURE[case](Path("/a/arch.tar.gz"))),
    )
    assert (ours, same_kind(ours, theirs)) == (theirs, True)


# Cases of what pathlib has from 3.12 on: larkspan.Path offers what the running pathlib offers.
FROM_3_12 = {
    "with-segments",
    "relative-to",
    "exists-dangling-itself",
    "is-junction",
    "glob-case",
    "walk",
    "walk-bottom-up",
    "walk-following-links",
    "walk-missing",
}


def skip_unless_pathlib_has(case: str) -> None:
    if case in FROM_3_12 and sys.version_info < (3, 12):
        pytest.skip("pathlib has it from CPython 3.12 on")


def test_every_file_system_operation_is_a_coroutine_with_pathlibs_parameters() -> None:
    touching = {name for name in dir(pathlib.Path) if not name.startswith("_")} - set(
        dir(pathlib.PurePath)
    )
    iterators = {"iterdir", "glob", "rglob", "walk"}
    plain = {"open", "from_uri"}  # open() gives an OpenContext; from_uri (3.13) only parses
    for name in touching:
        kind = inspect.isasyncgenfunction if name in iterators else inspect.iscoroutinefunction
        assert name in plain or kind(getattr(Path, name)), name
        ours, theirs = (
            inspect.signature(getattr(cls, name)).parameters for cls in (Path, pathlib.Path)
        )
        # cwd() and home() also take anyio's limiter, as the constructor does.
        ours_taken = [
            (p.name, p.default) for p in ours.values() if (name, p.name) not in LIMITED_CONSTRUCTORS
        ]
        assert ours_taken == [(p.name, p.default) for p in theirs.values()], name


LIMITED_CONSTRUCTORS = {("cwd", "limiter"), ("home", "limiter")}


Case: TypeAlias = Callable[
    [type, Tree], Any
]  # called with pathlib.Path or larkspan.Path, and the tree

QUERIES: dict[str, Case] = {
    "stat": lambda P, t: P(t / "file").stat(),
    "stat-missing": lambda P, t: P(t / "missing").stat(),
    "stat-link-itself": lambda P, t: P(t / "link").stat(follow_symlinks=False),
    "lstat-dangling": lambda P, t: P(t / "dangling").lstat(),
    "exists-dangling": lambda P, t: P(t / "dangling").exists(),
    "exists-dangling-itself": lambda P, t: P(t / "dangling").exists(follow_symlinks=False),
    "exists-nul": lambda P, t: P("a\0b").exists(),
    "is-dir-dirlink": lambda P, t: P(t / "dirlink").is_dir(),
    "is-dir-enotdir": lambda P, t: P(t / "file/x").is_dir(),
    "is-file-dir": lambda P, t: P(t / "dir").is_file(),
    "is-symlink": lambda P, t: P(t / "dangling").is_symlink(),
    "is-mount": lambda P, t: P("/").is_mount(),
    "is-junction": lambda P, t: P(t / "dir").is_junction(),
    "is-fifo": lambda P, t: P(t / "fifo").is_fifo(),
    "is-char-device": lambda P, t: P("/dev/null").is_char_device(),
    "is-block-device": lambda P, t: P(t / "missing").is_block_device(),
    "is-socket": lambda P, t: P(t / "file").is_socket(),
    "samefile": lambda P, t: P(t / "link").samefile(P(t / "file")),
    "samefile-missing": lambda P, t: P(t / "file").samefile(t / "missing"),
    "readlink": lambda P, t: P(t / "dangling").readlink(),
    "readlink-file": lambda P, t: P(t / "file").readlink(),
    "resolve": lambda P, t: P(t / "dirlink/../link").resolve(),
    "resolve-strict-dangling": lambda P, t: P(t / "dangling").resolve(strict=True),
    "absolute": lambda P, t: P("dir/x").absolute(),
    "expanduser": lambda P, t: P("~/x").expanduser(),
    "expanduser-user": lambda P, t: P("~root/x").expanduser(),
    "expanduser-unknown-user": lambda P, t: P("~no-such-user-here/x").expanduser(),
    "home": lambda P, t: P.home(),
    "cwd": lambda P, t: P.cwd(),
    "owner": lambda P, t: P(t / "file").owner(),
    "group-missing": lambda P, t: P(t / "missing").group(),
    "read-bytes": lambda P, t: P(t / "file").read_bytes(),
    "read-text": lambda P, t: P(t / "file").read_text(),
}
# Answered from memory, or through larkspan.open(), which places itself (inline for a local file).
INLINE_ANYWHERE = {"absolute", "expanduser", "home", "cwd", "read-bytes", "read-text"}
WORKER_ANYWHERE = {
    "owner",
    "group-missing",
    "expanduser-user",
    "expanduser-unknown-user",
}  # user look-ups


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", QUERIES)
def test_queries_match_pathlib(
    make_tree, submissions, monkeypatch, case: str, placement: str
) -> None:
    skip_unless_pathlib_has(case)
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    theirs = outcome(lambda: QUERIES[case](pathlib.Path, tree))
    place(monkeypatch, placement)
    ours = outcome_of(lambda: QUERIES[case](Path, tree))
    assert (ours, same_kind(ours, theirs)) == (theirs, True)
    assert bool(submissions) == (
        case in WORKER_ANYWHERE or (placement == "worker" and case not in INLINE_ANYWHERE)
    )


CHANGES: dict[str, Case] = {
    "touch": lambda P, t: P(t / "new").touch(0o600),
    "touch-existing": lambda P, t: P(t / "file").touch(exist_ok=False),
    "touch-missing-parent": lambda P, t: P(t / "missing/new").touch(),
    "mkdir-parents": lambda P, t: P(t / "a/b").mkdir(0o700, parents=True),
    "mkdir-existing": lambda P, t: P(t / "dir").mkdir(),
    "mkdir-over-file-ok": lambda P, t: P(t / "file").mkdir(exist_ok=True),
    "chmod": lambda P, t: P(t / "link").chmod(0o640),
    "lchmod": lambda P, t: P(t / "link").lchmod(0o640),
    "chmod-missing": lambda P, t: P(t / "missing").chmod(0o640),
    "unlink": lambda P, t: P(t / "link").unlink(),
    "unlink-missing-ok": lambda P, t: P(t / "missing").unlink(missing_ok=True),
    "unlink-dir": lambda P, t: P(t / "dir").unlink(),
    "rmdir-not-empty": lambda P, t: P(t / "dir").rmdir(),
    "rename": lambda P, t: P("file").rename("dir/moved"),
    "rename-onto-dir": lambda P, t: P(t / "file").rename(t / "dir"),
    "replace": lambda P, t: P(t / "file").replace(t / "dangling"),
    "symlink-to": lambda P, t: P(t / "new").symlink_to("anywhere"),
    "symlink-to-existing": lambda P, t: P(t / "file").symlink_to("x"),
    "hardlink-to": lambda P, t: P(t / "new").hardlink_to(t / "file"),
    "hardlink-to-missing": lambda P, t: P(t / "new").hardlink_to(t / "missing"),
    "write-bytes": lambda P, t: P(t / "file").write_bytes(bytearray(b"new")),
    "write-bytes-str": lambda P, t: P(t / "file").write_bytes("text"),
    "write-text": lambda P, t: P(t / "new").write_text("line\n"),
    "write-text-bytes": lambda P, t: P(t / "file").write_text(b"bytes"),
}


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", CHANGES)
def test_changes_match_pathlib(
    make_tree, submissions, monkeypatch, case: str, placement: str
) -> None:
    outcomes = []
    for run, cls in ((outcome, pathlib.Path), (outcome_of, Path)):
        tree = make_tree()  # the same paths, made afresh
        monkeypatch.chdir(tree.root)
        outcomes.append((run(lambda: CHANGES[case](cls, tree)), tree.snapshot()))
        place(monkeypatch, placement)
    assert (outcomes[1], same_kind(outcomes[1], outcomes[0])) == (outcomes[0], True)
    assert bool(submissions) == (
        placement == "worker" and not case.startswith("write")
    )  # open places itself


LISTINGS: dict[str, Callable[[Any, Tree], Any]] = {
    "iterdir": lambda P, t: P(t / "").iterdir(),
    "iterdir-file": lambda P, t: P(t / "file").iterdir(),
    "iterdir-missing": lambda P, t: P(t / "missing").iterdir(),
    "iterdir-relative": lambda P, t: P(".").iterdir(),
    "glob": lambda P, t: P(t / "").glob("d*"),
    "glob-deep": lambda P, t: P(".").glob("**/*"),
    "glob-case": lambda P, t: P(t / "").glob("FILE", case_sensitive=False),
    "glob-empty": lambda P, t: P(".").glob(""),
    "rglob": lambda P, t: P(t / "").rglob("*"),
    "walk": lambda P, t: P(t / "").walk(),
    "walk-bottom-up": lambda P, t: P(".").walk(top_down=False),
    "walk-following-links": lambda P, t: P(t / "").walk(follow_symlinks=True),
    "walk-missing": lambda P, t: P(t / "missing").walk(),
}


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("case", LISTINGS)
def test_listings_match_pathlib(
    make_tree, submissions, monkeypatch, case: str, placement: str
) -> None:
    skip_unless_pathlib_has(case)
    tree = make_tree()
    monkeypatch.chdir(tree.root)
    theirs = outcome(lambda: sorted(LISTINGS[case](pathlib.Path, tree)))
    place(monkeypatch, placement)

    async def listing() -> list[Any]:
        return sorted([item async for item in LISTINGS[case](Path, tree)])

    ours = outcome_of(listing)
    assert (ours, same_kind(ours, theirs)) == (theirs, True)
    assert bool(submissions) == (placement == "worker")


def test_walk_skips_the_directories_the_caller_removes(make_tree) -> None:
    skip_unless_pathlib_has("walk")
    tree = make_tree()
    (tree.root / "dir" / "deeper").mkdir()

    def seen_and_pruned(
        dirs: list[str], step: tuple[Any, list[str], list[str]]
    ) -> tuple[str, list[str], list[str]]:
        if "dir" in dirs:
            dirs.remove("dir")
        return str(step[0]), sorted(step[1]), sorted(step[2])

    async def walk() -> list[Any]:
        return [seen_and_pruned(step[1], step) async for step in Path(tree.root).walk()]

    expected = [seen_and_pruned(step[1], step) for step in pathlib.Path(tree.root).walk()]
    assert asyncio.run(walk()) == expected
    assert "deeper" not in str(expected)


@pytest.mark.parametrize("placement", ["inline", "worker"])
@pytest.mark.parametrize("listing", ["scandir", "iterdir", "glob", "rglob"])
def test_listing_a_huge_directory_lets_other_tasks_run(
    tmp_path, monkeypatch, yield_always, listing, placement
) -> None:
    count = 4 * _calls.BATCH + 1
    for n in range(count):
        (tmp_path / f"e{n}").touch()
    place(monkeypatch, placement)

    async def names() -> list[str]:
        path = Path(tmp_path)
        found = {
            "scandir": larkspan.os.scandir(path),
            "iterdir": path.iterdir(),
            "glob": path.glob("*"),
            "rglob": path.rglob("e*"),
        }[listing]
        return sorted([os.path.basename(item) async for item in found])

    found, ticks = asyncio.run(ticking(names()))
    assert found == sorted(os.listdir(tmp_path))
    assert ticks >= count // _calls.BATCH  # a turn for the ticker at least once a batch


def test_open_is_larkspan_open(tmp_path) -> None:
    path = Path(tmp_path / "f")

    async def main() -> tuple[Any, ...]:
        async with path.open("w") as f:
            await f.write("written\n")
        async with await path.open("rb") as handle:  # anyio's shape
            data = await handle.read()
        return isinstance(handle, larkspan.FileHandle), handle.closed, data, await path.read_text()

    assert asyncio.run(main()) == (True, True, b"written\n", "written\n")
