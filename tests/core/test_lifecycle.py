"""Mode parsing, open, close, reopening, closed objects, context managers and destruction."""

import contextlib
import errno
import gc
import os
import pathlib
from collections.abc import Callable

import pytest
from conftest import descriptors, disk, letters, run_child
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile

# Accepted modes, what a file holding b"old" then holds after writing "x" (when the mode writes),
# and whether reads give bytes. The letters b and + may stand anywhere and repeat.
MODE_GROUPS = [
    ("r", b"old", False),
    ("rb br bbr", b"old", True),
    ("r+ +r r++", b"xld", False),
    ("r+b rb+ +rb b+r", b"xld", True),
    ("w w+ +w", b"x", False),
    ("wb bw w+b wb+", b"x", True),
    ("a a+", b"oldx", False),
    ("ab ba a+b ab+", b"oldx", True),
]
ACCEPTED = [(m, after, binary) for modes, after, binary in MODE_GROUPS for m in modes.split()]
REJECTED = ["", "b", "+", "b+", "rt", "r+t", "x", "rw", "wr", "ra", "R", "rU", "rr", "r ", "W"]


@pytest.mark.parametrize(("mode", "after", "binary"), ACCEPTED, ids=[m for m, _, _ in ACCEPTED])
def test_accepted_mode(
    make_file: Callable[..., str], mode: str, after: bytes, binary: bool
) -> None:
    path = make_file(b"old")
    f = AsyncFile(path, mode)
    writable = "r" not in mode or "+" in mode
    assert (f.mode, f.writable(), f.seekable()) == (mode, writable, False)
    assert disk(path) == b"old"  # construction opens and truncates nothing
    with f.open():
        assert (f.writable(), f.seekable(), f.isatty()) == (writable, True, False)
        if writable:
            assert f.write("x") == 1
        if "r" in mode or "+" in mode:
            f.seek(0)
            assert f.read() == (after if binary else after.decode())
    assert disk(path) == after
    assert (f.writable(), f.seekable()) == (writable, False)


@pytest.mark.parametrize("mode", REJECTED, ids=repr)
def test_rejected_mode(mode: str) -> None:
    with pytest.raises(ValueError) as e:
        AsyncFile("x", mode)
    assert str(e.value) == "Invalid file mode: " + mode


def test_open_returns_the_object_and_reopens_after_close(make_file: Callable[..., str]) -> None:
    path = make_file(b"abc")
    f = AsyncFile(path, "rb")
    assert (f.open() is f, f.read(), f.close()) == (True, b"abc", None)
    pathlib.Path(path).write_bytes(b"abcdef")
    assert f.open().read() == b"abcdef"  # the size is measured afresh
    f.close()


def test_open_while_open_hands_pending_bytes_to_disk_and_closes_the_old_stream(
    make_file: Callable[..., str],
) -> None:
    path = make_file(b"0123456789")
    f = AsyncFile(path, "r+b").open()
    before = descriptors()
    assert (f.write(b"ab"), f.open() is f, disk(path), descriptors()) == (
        2,
        True,
        b"ab23456789",
        before,
    )
    assert (f.tell(), f.read()) == (0, b"ab23456789")
    f.close()


# name made inside the temporary directory, what stands there, mode, exception class, errno; a
# directory named like another error's text must not change the class (it follows the errno, not the
# message)
OPEN_FAILURES = {
    "enoent-r": ("missing", None, "r", ValueError, errno.ENOENT),
    "enoent-r+b": ("missing", None, "r+b", ValueError, errno.ENOENT),
    "enoent-dir": ("gone/child", None, "w", ValueError, errno.ENOENT),
    "eisdir": ("dir", "dir", "w", RuntimeError, errno.EISDIR),
    "eisdir-named-permission": ("Permission denied", "dir", "a", RuntimeError, errno.EISDIR),
    "eisdir-named-no-such-file": ("No such file", "dir", "r+", RuntimeError, errno.EISDIR),
    "eisdir-named-cannot-open": ("cannot open", "dir", "wb", RuntimeError, errno.EISDIR),
    "enotdir": ("plain/child", "file", "r", RuntimeError, errno.ENOTDIR),
}


@pytest.mark.parametrize(
    ("name", "made", "mode", "kind", "error"), OPEN_FAILURES.values(), ids=OPEN_FAILURES
)
def test_failed_open_class_follows_the_system_error(
    tmp_path: pathlib.Path,
    name: str,
    made: str | None,
    mode: str,
    kind: type[Exception],
    error: int,
) -> None:
    if made == "dir":
        (tmp_path / name).mkdir()
    elif made == "file":
        (tmp_path / "plain").write_bytes(b"")
    path = str(tmp_path / name)
    f = AsyncFile(path, mode)
    with pytest.raises(kind) as e:
        f.open()
    assert (type(e.value), str(e.value)) == (
        kind,
        f"Failed to open file: {path} - {os.strerror(error)}",
    )
    assert (f.seekable(), f.close()) == (False, None)
    if made is None:  # usable once the path exists
        pathlib.Path(path).parent.mkdir(exist_ok=True)
        pathlib.Path(path).write_bytes(b"here")
        assert f.open().seekable()
        f.close()


# Run as an unprivileged user: root passes every permission check.
UNPRIVILEGED_OPEN = """
import os, sys
from _larkspan_core import AsyncFile
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
for mode in sys.argv[2:]:
    try:
        AsyncFile(sys.argv[1], mode).open()
    except Exception as error:
        print(type(error).__name__, error, sep=": ")
"""


def test_permission_denied_is_value_error(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "locked"
    path.write_bytes(b"secret")
    path.chmod(0)
    printed = run_child(UNPRIVILEGED_OPEN, str(path), "r", "w", "a+b")
    message = f"ValueError: Failed to open file: {path} - {os.strerror(errno.EACCES)}"
    assert printed.splitlines() == [message] * 3
    assert path.read_bytes() == b"secret"


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_nul_in_name_opens_nothing(tmp_path: pathlib.Path, as_bytes: bool) -> None:
    name = str(tmp_path / "cut") + "\0tail"
    f = AsyncFile(name.encode() if as_bytes else name, "w")
    with pytest.raises(ValueError) as e:
        f.open()
    assert "embedded null byte" in str(e.value)
    assert (os.listdir(tmp_path), f.seekable(), f.close()) == ([], False, None)
    with pytest.raises(RuntimeError) as e:
        f.write(b"x")
    assert str(e.value) == "File not open"


# Every member that needs the stream refuses an object that is not open, before it looks at the
# mode.
NEEDS_STREAM: dict[str, Callable[[AsyncFile], object]] = {
    "read(0)": lambda f: f.read(0),
    "read(3)": lambda f: f.read(3),
    "read(8192)": lambda f: f.read(8192),
    "read(8193)": lambda f: f.read(8193),
    "read()": AsyncFile.read,
    "read(None)": lambda f: f.read(None),
    "readall": AsyncFile.readall,
    "read1()": AsyncFile.read1,
    "read1(3)": lambda f: f.read1(3),
    "readinto": lambda f: f.readinto(bytearray(8)),
    "readinto-empty": lambda f: f.readinto(bytearray()),
    "readline()": AsyncFile.readline,
    "readline(0)": lambda f: f.readline(0),
    "readline(5)": lambda f: f.readline(5),
    "readlines": AsyncFile.readlines,
    "next": next,
    "anext": AsyncFile.__anext__,
    "write": lambda f: f.write(b""),
    "writelines": lambda f: f.writelines([]),
    "seek": lambda f: f.seek(0),
    "tell": AsyncFile.tell,
    "flush": AsyncFile.flush,
    "truncate()": AsyncFile.truncate,
    "truncate(0)": lambda f: f.truncate(0),
    "isatty": AsyncFile.isatty,
}


@pytest.mark.parametrize("was_opened", [False, True], ids=["never-opened", "closed"])
@pytest.mark.parametrize("call", NEEDS_STREAM.values(), ids=NEEDS_STREAM.keys())
def test_closed_object_refuses(
    make_file: Callable[..., str], call: Callable[[AsyncFile], object], was_opened: bool
) -> None:
    f = AsyncFile(make_file(b"0123456789"), "rb")
    if was_opened:
        f.open().close()
    assert iter(f) is f and f.__aiter__() is f
    with pytest.raises(RuntimeError) as e:
        call(f)
    assert str(e.value) == "File not open"
    assert (f.seekable(), f.writable(), disk(f.name)) == (False, False, b"0123456789")


class BlockError(Exception):
    pass


@pytest.mark.parametrize("raises", [False, True], ids=["normal", "raising"])
def test_with_block_writes_pending_bytes(make_file: Callable[..., str], raises: bool) -> None:
    path = make_file()
    f = AsyncFile(path, "w").open()
    with pytest.raises(BlockError) if raises else contextlib.nullcontext(), f as entered:
        assert entered is f
        entered.write("pending")
        if raises:
            raise BlockError
    assert (disk(path), f.seekable(), f.close()) == (b"pending", False, None)
    assert f.open() is f  # still usable: "w" truncates again
    f.close()
    assert disk(path) == b""


def test_with_block_over_unopened_object_closes_nothing_and_async_members_are_plain(
    make_file: Callable[..., str],
) -> None:
    f = AsyncFile(make_file(b"abc"), "r+b")
    with f:
        pass
    assert (f.open().__aenter__() is f, f.write(b"X"), f.__aexit__(None, None, None)) == (
        True,
        1,
        None,
    )
    assert (f.seekable(), disk(f.name)) == (False, b"Xbc")


@pytest.mark.parametrize(
    "sizes", [[7], [131073, 10], [131072, 131072, 1000]], ids=["small", "direct", "overflow"]
)
def test_destruction_writes_everything_out(make_file: Callable[..., str], sizes: list[int]) -> None:
    gc.collect()  # files that earlier tests dropped close now, not while this one counts
    path, before = make_file(), descriptors()
    f = AsyncFile(path, "wb").open()
    for chunk in letters(sizes):
        f.write(chunk)
    del f
    gc.collect()
    assert (disk(path), descriptors()) == (b"".join(letters(sizes)), before)
