"""larkspan.fsspec against fsspec's LocalFileSystem: the same call on two copies of one tree gives
the same result (names compared relative to each tree) or the same exception, class and message,
and leaves the same tree behind. Permission cases run with the effective user switched to nobody."""

import array
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeAlias

import pytest
from conftest import effective_user
from fsspec.implementations.local import LocalFileSystem
from larkspan.fsspec import LarkspanFileSystem

Call: TypeAlias = Callable[[Any, str], Any]  # (file system, root of its tree) -> result

NOBODY = 65534
DATA = b"0123456789"


def make_tree(root: Path) -> None:
    root.mkdir()
    (root / "data").write_bytes(DATA)
    (root / "empty").write_bytes(b"")
    (root / "dir" / "sub").mkdir(parents=True)
    (root / "dir" / "a").write_bytes(b"a")
    (root / "dir" / "sub" / "b").write_bytes(b"bb")
    (root / "emptydir").mkdir()
    (root / "link").symlink_to("data")
    (root / "broken").symlink_to("missing")
    (root / "locked").mkdir()
    (root / "locked" / "secret").write_bytes(b"s")
    (root / "readonly").mkdir()
    (root / "readonly" / "kept").write_bytes(b"k")
    os.chmod(root / "locked" / "secret", 0o000)
    os.chmod(root / "locked", 0o700)  # nobody may not look inside
    os.chmod(root / "readonly", 0o555)


def snapshot(root: Path) -> dict[str, object]:
    """Every name under `root` with what it is: bytes, a link's target, or a directory."""
    tree: dict[str, object] = {}
    for path in sorted(root.rglob("*")):
        name = str(path.relative_to(root))
        if path.is_symlink():
            tree[name] = ("link", os.readlink(path).replace(str(root), "ROOT"))
        elif path.is_dir():
            tree[name] = "dir"
        else:
            tree[name] = path.read_bytes()
    return tree


VARYING = ("ino", "created", "mtime")  # differ between two copies of a tree


def relative(value: Any, root: str) -> Any:
    """`value` with the tree's root written as ROOT, and the details that differ between two
    copies of a tree left out."""
    if isinstance(value, str):
        return value.replace(root, "ROOT")
    if isinstance(value, (list, tuple)):
        return type(value)(relative(item, root) for item in value)
    if isinstance(value, dict):
        return {relative(k, root): relative(v, root) for k, v in value.items() if k not in VARYING}
    return value


def outcome(call: Call, fs: Any, root: str) -> tuple[str, Any, Any]:
    try:
        result = call(fs, root)
    except Exception as error:  # the outcome under test
        return "raises", type(error), relative(str(error), root)
    return "returns", relative(result, root), None


def read_open(mode: str, *steps: Callable[[Any], Any]) -> Call:
    """Opens ROOT/data with fs.open in `mode`, applies `steps` to the file, returns their
    results."""

    def call(fs: Any, root: str) -> Any:
        with fs.open(f"{root}/data", mode) as f:
            return [step(f) for step in steps]

    return call


CASES: dict[str, Call] = {
    # reading, with every kind of range
    "cat_file": lambda fs, r: fs.cat_file(f"{r}/data"),
    "cat_file empty": lambda fs, r: fs.cat_file(f"{r}/empty"),
    "cat_file 2..5": lambda fs, r: fs.cat_file(f"{r}/data", start=2, end=5),
    "cat_file 3..": lambda fs, r: fs.cat_file(f"{r}/data", start=3),
    "cat_file ..4": lambda fs, r: fs.cat_file(f"{r}/data", end=4),
    "cat_file -3..": lambda fs, r: fs.cat_file(f"{r}/data", start=-3),
    "cat_file -4..-1": lambda fs, r: fs.cat_file(f"{r}/data", start=-4, end=-1),
    "cat_file ..-2": lambda fs, r: fs.cat_file(f"{r}/data", end=-2),
    "cat_file -100..": lambda fs, r: fs.cat_file(f"{r}/data", start=-100),
    "cat_file past the end": lambda fs, r: fs.cat_file(f"{r}/data", start=20),
    "cat_file range past the end": lambda fs, r: fs.cat_file(f"{r}/data", start=20, end=30),
    "cat_file end past the end": lambda fs, r: fs.cat_file(f"{r}/data", start=8, end=30),
    "cat_file end = start": lambda fs, r: fs.cat_file(f"{r}/data", start=4, end=4),
    "cat_file end one before start": lambda fs, r: fs.cat_file(f"{r}/data", start=5, end=4),
    "cat_file end before start": lambda fs, r: fs.cat_file(f"{r}/data", start=6, end=2),
    "cat_file ..-100": lambda fs, r: fs.cat_file(f"{r}/data", end=-100),
    "cat_file through a link": lambda fs, r: fs.cat_file(f"{r}/link"),
    "cat_file URL": lambda fs, r: fs.cat_file(f"{fs.protocol[0]}://{r}/data"),
    "cat_file missing": lambda fs, r: fs.cat_file(f"{r}/missing"),
    "cat_file broken link": lambda fs, r: fs.cat_file(f"{r}/broken"),
    "cat_file directory": lambda fs, r: fs.cat_file(f"{r}/dir"),
    "cat_file below a file": lambda fs, r: fs.cat_file(f"{r}/data/x"),
    "cat list": lambda fs, r: fs.cat([f"{r}/data", f"{r}/dir/a"]),
    "cat glob": lambda fs, r: fs.cat(f"{r}/dir/*"),
    "cat recursive": lambda fs, r: fs.cat(f"{r}/dir", recursive=True, on_error="omit"),
    "cat list with a missing one": lambda fs, r: fs.cat([f"{r}/data", f"{r}/missing"]),
    "cat missing, errors returned": lambda fs, r: repr(
        fs.cat([f"{r}/data", f"{r}/missing"], on_error="return")
    ),
    "cat_ranges": lambda fs, r: fs.cat_ranges([f"{r}/data", f"{r}/dir/a"], [1, 0], [3, 1]),
    "head": lambda fs, r: fs.head(f"{r}/data", 3),
    "tail": lambda fs, r: fs.tail(f"{r}/data", 3),
    "read_block": lambda fs, r: fs.read_block(f"{r}/data", 2, 4),
    "read_text": lambda fs, r: fs.read_text(f"{r}/data"),
    # what is there
    "info file": lambda fs, r: fs.info(f"{r}/data"),
    "info directory": lambda fs, r: fs.info(f"{r}/dir"),
    "info link": lambda fs, r: fs.info(f"{r}/link"),
    "info missing": lambda fs, r: fs.info(f"{r}/missing"),
    "info broken link": lambda fs, r: fs.info(f"{r}/broken"),
    "size": lambda fs, r: fs.size(f"{r}/data"),
    "sizes": lambda fs, r: fs.sizes([f"{r}/data", f"{r}/empty"]),
    "ls": lambda fs, r: sorted(fs.ls(r)),
    "ls detail": lambda fs, r: sorted(fs.ls(r, detail=True), key=lambda i: i["name"]),
    "ls file": lambda fs, r: fs.ls(f"{r}/data"),
    "ls file detail": lambda fs, r: fs.ls(f"{r}/data", detail=True),
    "ls empty directory": lambda fs, r: fs.ls(f"{r}/emptydir"),
    "ls missing": lambda fs, r: fs.ls(f"{r}/missing"),
    "find": lambda fs, r: fs.find(r),
    "find with directories": lambda fs, r: fs.find(r, withdirs=True),
    "find maxdepth 1": lambda fs, r: fs.find(r, maxdepth=1),
    "find detail": lambda fs, r: fs.find(f"{r}/dir", detail=True),
    "find file": lambda fs, r: fs.find(f"{r}/data"),
    "find missing": lambda fs, r: fs.find(f"{r}/missing"),
    "walk": lambda fs, r: list(fs.walk(f"{r}/dir")),
    "glob": lambda fs, r: fs.glob(f"{r}/d*"),
    "glob **": lambda fs, r: fs.glob(f"{r}/dir/**"),
    "du": lambda fs, r: fs.du(f"{r}/dir"),
    "expand_path recursive": lambda fs, r: fs.expand_path(f"{r}/dir", recursive=True),
    "expand_path missing": lambda fs, r: fs.expand_path(f"{r}/missing"),
    "exists": lambda fs, r: [
        fs.exists(f"{r}/{n}") for n in ("data", "dir", "link", "broken", "missing")
    ],
    "isfile": lambda fs, r: [
        fs.isfile(f"{r}/{n}") for n in ("data", "dir", "link", "broken", "missing")
    ],
    "isdir": lambda fs, r: [
        fs.isdir(f"{r}/{n}") for n in ("data", "dir", "link", "broken", "missing")
    ],
    "lexists": lambda fs, r: [fs.lexists(f"{r}/{n}") for n in ("data", "broken", "missing")],
    "islink": lambda fs, r: [fs.islink(f"{r}/{n}") for n in ("data", "link", "broken", "missing")],
    "modified": lambda fs, r: fs.modified(f"{r}/data") == fs.modified(f"{r}/data"),
    "modified missing": lambda fs, r: fs.modified(f"{r}/missing"),
    "checksum missing": lambda fs, r: fs.checksum(f"{r}/missing"),
    # writing
    "pipe_file": lambda fs, r: fs.pipe_file(f"{r}/new", b"fresh"),
    "pipe_file over a file": lambda fs, r: fs.pipe_file(f"{r}/data", b"over"),
    "pipe_file bytearray": lambda fs, r: fs.pipe_file(f"{r}/new", bytearray(b"array")),
    "pipe_file str": lambda fs, r: fs.pipe_file(f"{r}/new", "text"),
    "pipe_file str over a file": lambda fs, r: fs.pipe_file(f"{r}/data", "text"),
    "pipe_file memoryview": lambda fs, r: fs.pipe_file(f"{r}/new", memoryview(b"abcdef")[1:4]),
    "pipe_file words": lambda fs, r: fs.pipe_file(
        f"{r}/new", memoryview(array.array("H", [1, 2, 3]))
    ),
    "pipe_file create new": lambda fs, r: fs.pipe_file(f"{r}/new", b"x", mode="create"),
    "pipe_file int": lambda fs, r: fs.pipe_file(f"{r}/new", 7),
    "cat_file /dev/null": lambda fs, r: fs.cat_file("/dev/null"),
    "pipe_file into a missing directory": lambda fs, r: fs.pipe_file(f"{r}/nodir/new", b"x"),
    "pipe_file onto a directory": lambda fs, r: fs.pipe_file(f"{r}/dir", b"x"),
    "pipe_file below a file": lambda fs, r: fs.pipe_file(f"{r}/data/x", b"x"),
    # pipe, get and put give a result per file in async file systems, None in LocalFileSystem:
    # what they leave on disk is compared.
    "pipe dict": lambda fs, r: [fs.pipe({f"{r}/one": b"1", f"{r}/two": b"2"}), None][1],
    "write_text": lambda fs, r: fs.write_text(f"{r}/new", "text é"),
    "touch new": lambda fs, r: fs.touch(f"{r}/new"),
    "touch existing": lambda fs, r: fs.touch(f"{r}/data"),
    "touch existing, kept": lambda fs, r: fs.touch(f"{r}/data", truncate=False),
    "touch in a missing directory": lambda fs, r: fs.touch(f"{r}/nodir/new"),
    # changing the tree
    "rm_file": lambda fs, r: fs.rm_file(f"{r}/data"),
    "rm_file missing": lambda fs, r: fs.rm_file(f"{r}/missing"),
    "rm_file directory": lambda fs, r: fs.rm_file(f"{r}/dir"),
    "rm file": lambda fs, r: fs.rm(f"{r}/data"),
    "rm list": lambda fs, r: fs.rm([f"{r}/data", f"{r}/empty"]),
    "rm link": lambda fs, r: fs.rm(f"{r}/link"),
    "rm directory": lambda fs, r: fs.rm(f"{r}/dir"),
    "rm directory recursive": lambda fs, r: fs.rm(f"{r}/dir", recursive=True),
    "rm missing": lambda fs, r: fs.rm(f"{r}/missing"),
    "rm list stops at a missing one": lambda fs, r: fs.rm(
        [f"{r}/data", f"{r}/missing", f"{r}/empty"]
    ),
    "rm glob is a name": lambda fs, r: fs.rm(f"{r}/dir/*"),
    "mkdir": lambda fs, r: fs.mkdir(f"{r}/new/deeper"),
    "mkdir existing": lambda fs, r: fs.mkdir(f"{r}/dir"),
    "mkdir without parents": lambda fs, r: fs.mkdir(f"{r}/new/deeper", create_parents=False),
    "makedirs": lambda fs, r: fs.makedirs(f"{r}/new/deeper"),
    "makedirs existing": lambda fs, r: fs.makedirs(f"{r}/dir"),
    "makedirs existing, allowed": lambda fs, r: fs.makedirs(f"{r}/dir", exist_ok=True),
    "makedirs over a file": lambda fs, r: fs.makedirs(f"{r}/data", exist_ok=True),
    "rmdir": lambda fs, r: fs.rmdir(f"{r}/emptydir"),
    "rmdir not empty": lambda fs, r: fs.rmdir(f"{r}/dir"),
    "rmdir missing": lambda fs, r: fs.rmdir(f"{r}/missing"),
    "cp_file": lambda fs, r: fs.cp_file(f"{r}/data", f"{r}/copy"),
    "cp_file directory": lambda fs, r: fs.cp_file(f"{r}/dir", f"{r}/dircopy"),
    "cp_file missing": lambda fs, r: fs.cp_file(f"{r}/missing", f"{r}/copy"),
    "cp_file into a missing directory": lambda fs, r: fs.cp_file(f"{r}/data", f"{r}/nodir/copy"),
    "copy recursive": lambda fs, r: fs.copy(f"{r}/dir", f"{r}/dircopy", recursive=True),
    "copy missing": lambda fs, r: fs.copy(f"{r}/missing", f"{r}/copy"),
    "mv file": lambda fs, r: fs.mv(f"{r}/data", f"{r}/moved"),
    "mv directory": lambda fs, r: fs.mv(f"{r}/dir", f"{r}/moved"),
    "mv into a directory": lambda fs, r: fs.mv(f"{r}/data", f"{r}/emptydir"),
    "mv missing": lambda fs, r: fs.mv(f"{r}/missing", f"{r}/moved"),
    "mv into a missing directory": lambda fs, r: fs.mv(f"{r}/data", f"{r}/nodir/moved"),
    "get_file": lambda fs, r: fs.get_file(f"{r}/data", f"{r}/got"),
    "put_file": lambda fs, r: fs.put_file(f"{r}/data", f"{r}/put"),
    "get recursive": lambda fs, r: [fs.get(f"{r}/dir", f"{r}/got", recursive=True), None][1],
    "put recursive": lambda fs, r: [fs.put(f"{r}/dir", f"{r}/put", recursive=True), None][1],
    "symlink": lambda fs, r: fs.symlink(f"{r}/data", f"{r}/newlink"),
    "link": lambda fs, r: fs.link(f"{r}/data", f"{r}/hard"),
    "chmod": lambda fs, r: [fs.chmod(f"{r}/data", 0o600), fs.info(f"{r}/data")["mode"]],
    # open files
    "open rb read": read_open("rb", lambda f: f.read()),
    "open rb seek, read, tell": read_open(
        "rb", lambda f: f.seek(3), lambda f: f.read(4), lambda f: f.tell()
    ),
    "open rb read past the end": read_open(
        "rb", lambda f: f.seek(20), lambda f: f.read(), lambda f: f.read(5)
    ),
    "open rb seek from the end": read_open("rb", lambda f: f.seek(-2, 2), lambda f: f.read()),
    "open rb seek before the start": read_open("rb", lambda f: f.seek(-1)),
    "open rb read(-2)": read_open("rb", lambda f: f.read(-2)),
    "open rb size and mode": read_open(
        "rb", lambda f: f.size, lambda f: f.mode, lambda f: f.readable()
    ),
    "open rb write": read_open("rb", lambda f: f.write(b"x")),
    "open rb readinto": read_open(
        "rb", lambda f: (lambda b: (f.readinto(b), bytes(b)))(bytearray(4))
    ),
    "open rb readline, lines": read_open("rb", lambda f: f.readline(), lambda f: list(f)),
    "open r text": read_open("r", lambda f: f.read(), lambda f: f.tell()),
    "open r+b write then read": read_open("r+b", lambda f: f.write(b"ab"), lambda f: f.read(3)),
    "open ab": read_open(
        "ab", lambda f: f.tell(), lambda f: f.size, lambda f: f.write(b"++"), lambda f: f.tell()
    ),
    "open xb new": lambda fs, r: (lambda f: [f.size, f.write(b"new"), f.close()])(
        fs.open(f"{r}/new", "xb")
    ),
    "open wb": read_open(
        "wb", lambda f: f.write(b"new"), lambda f: f.tell(), lambda f: f.writable()
    ),
    "open wb size": read_open("wb", lambda f: hasattr(f, "size")),
    "open wb read": read_open("wb", lambda f: f.read()),
    "open wb write str": read_open("wb", lambda f: f.write("text")),
    "open w text": read_open("w", lambda f: f.write("é\n"), lambda f: f.tell()),
    "open xb existing": read_open("xb"),
    "open missing": lambda fs, r: fs.open(f"{r}/missing", "rb"),
    "open directory": lambda fs, r: fs.open(f"{r}/dir", "rb"),
    "open directory for writing": lambda fs, r: fs.open(f"{r}/dir", "wb"),
    "open in a missing directory": lambda fs, r: fs.open(f"{r}/nodir/new", "wb"),
    "open closed twice": lambda fs, r: (lambda f: (f.close(), f.close(), f.closed))(
        fs.open(f"{r}/data", "rb")
    ),
}

# Permission cases, run as nobody, since root passes every permission check; with what
# LocalFileSystem gives there, so that a case that fails for another reason shows.
AS_NOBODY: dict[str, tuple[Call, object]] = {
    "cat_file unreadable": (lambda fs, r: fs.cat_file(f"{r}/locked/secret"), PermissionError),
    "ls unreadable directory": (lambda fs, r: fs.ls(f"{r}/locked"), PermissionError),
    "info in an unreadable directory": (
        lambda fs, r: fs.info(f"{r}/locked/secret"),
        PermissionError,
    ),
    "exists in an unreadable directory": (lambda fs, r: fs.exists(f"{r}/locked/secret"), False),
    "pipe_file in a read-only directory": (
        lambda fs, r: fs.pipe_file(f"{r}/readonly/new", b"x"),
        PermissionError,
    ),
    "rm in a read-only directory": (lambda fs, r: fs.rm(f"{r}/readonly/kept"), PermissionError),
    "mkdir in a read-only directory": (
        lambda fs, r: fs.mkdir(f"{r}/readonly/new"),
        PermissionError,
    ),
    "open unreadable": (lambda fs, r: fs.open(f"{r}/locked/secret", "rb"), PermissionError),
    "mv out of a read-only directory": (
        lambda fs, r: fs.mv(f"{r}/readonly/kept", f"{r}/moved"),
        PermissionError,
    ),
    "cat_file readable": (lambda fs, r: fs.cat_file(f"{r}/data"), DATA),
}

# Where larkspan.fsspec differs on purpose: same exception class, another message.
MESSAGE_DIFFERS: dict[str, tuple[Call, str]] = {
    # LocalFileSystem checks for the file first and raises a bare FileExistsError; larkspan.fsspec
    # creates the file exclusively, so a file made in between is refused too, with the OS's message.
    "pipe_file create existing": (
        lambda fs, r: fs.pipe_file(f"{r}/data", b"x", mode="create"),
        "[Errno 17] File exists: 'ROOT/data'",
    ),
    # Builtin's buffered files name the call ("read of closed file"); larkspan's handles give the
    # message of builtin's unbuffered and text files for every call.
    "read closed": (
        lambda fs, r: (lambda f: (f.close(), f.read()))(fs.open(f"{r}/data", "rb")),
        "I/O operation on closed file.",
    ),
}


@pytest.fixture
def trees(open_tmp_path: Path) -> tuple[str, str]:
    """Two copies of the same tree, in a directory that nobody may enter too."""
    local, ours = open_tmp_path / "local", open_tmp_path / "larkspan"
    make_tree(local)
    make_tree(ours)
    return str(local), str(ours)


def both(call: Call, trees: tuple[str, str]) -> tuple[tuple[str, Any, Any], tuple[str, Any, Any]]:
    local, ours = trees
    return outcome(call, LocalFileSystem(), local), outcome(call, LarkspanFileSystem(), ours)


def assert_same(
    trees: tuple[str, str], expected: tuple[str, Any, Any], seen: tuple[str, Any, Any]
) -> None:
    assert seen == expected
    assert snapshot(Path(trees[1])) == snapshot(Path(trees[0]))


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_same_as_local_file_system(trees: tuple[str, str], call: Call) -> None:
    assert_same(trees, *both(call, trees))


@pytest.mark.parametrize(("call", "expected"), AS_NOBODY.values(), ids=AS_NOBODY.keys())
def test_same_as_local_file_system_without_permission(
    trees: tuple[str, str], call: Call, expected: object
) -> None:
    with effective_user(NOBODY):
        local, ours = both(call, trees)
    assert local[1] == expected
    assert_same(trees, local, ours)


@pytest.mark.parametrize(("call", "message"), MESSAGE_DIFFERS.values(), ids=MESSAGE_DIFFERS.keys())
def test_same_exception_class_as_local_file_system(
    trees: tuple[str, str], call: Call, message: str
) -> None:
    (_, local_class, _), seen = both(call, trees)
    assert seen == ("raises", local_class, message)
    assert snapshot(Path(trees[1])) == snapshot(Path(trees[0]))
