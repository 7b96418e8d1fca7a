"""Mode parsing, open, close, reopening, context managers and destruction."""

import contextlib
import errno
import gc
import os
import pathlib
import subprocess
import sys
from collections.abc import Callable

import pytest

from _larkspan_core import AsyncFile

needs_dev_full = pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")


def disk(path: str | bytes) -> bytes:
    with open(path, "rb") as h:
        return h.read()


def open_descriptors() -> int:
    return len(os.listdir("/dev/fd"))


# Accepted modes, what a file holding b"old" then holds after writing "x" (when the mode writes),
# and whether reads give bytes. The letters b and + may stand anywhere and repeat.
MODE_GROUPS = [
    ("r", b"old", False), ("rb br bbr", b"old", True),
    ("r+ +r r++", b"xld", False), ("r+b rb+ +rb b+r", b"xld", True),
    ("w w+ +w", b"x", False), ("wb bw w+b wb+", b"x", True),
    ("a a+", b"oldx", False), ("ab ba a+b ab+", b"oldx", True),
]  # fmt: skip
ACCEPTED = [(m, after, binary) for modes, after, binary in MODE_GROUPS for m in modes.split()]
REJECTED = ["", "b", "+", "b+", "rt", "r+t", "x", "rw", "wr", "ra", "R", "rU", "rr", "r ", "W"]


@pytest.mark.parametrize(("mode", "after", "binary"), ACCEPTED, ids=[m for m, _, _ in ACCEPTED])
def test_accepted_mode(
    make_file: Callable[..., str], mode: str, after: bytes, binary: bool
) -> None:
    path = make_file(b"old")
    f = AsyncFile(path, mode)
    writable = "r" not in mode or "+" in mode
    assert (f.mode, f.writable()) == (mode, writable)
    assert disk(path) == b"old"  # construction opens and truncates nothing
    with f.open():
        if writable:
            assert f.write("x") == 1
        if "r" in mode or "+" in mode:
            f.seek(0)
            assert f.read() == (after if binary else after.decode())
    assert disk(path) == after
    assert f.writable() == writable


@pytest.mark.parametrize("mode", REJECTED, ids=repr)
def test_rejected_mode(mode: str) -> None:
    with pytest.raises(ValueError) as e:
        AsyncFile("x", mode)
    assert str(e.value) == "Invalid file mode: " + mode


def test_open_returns_the_object_and_reopens_after_close(make_file: Callable[..., str]) -> None:
    path = make_file(b"abc")
    f = AsyncFile(path, "rb")
    assert f.open() is f
    assert f.read() == b"abc"
    assert f.close() is None
    pathlib.Path(path).write_bytes(b"abcdef")
    assert f.open().read() == b"abcdef"  # the size is measured afresh
    f.close()


def test_open_while_open_hands_pending_bytes_to_disk_and_closes_the_old_stream(
    make_file: Callable[..., str],
) -> None:
    path = make_file(b"0123456789")
    f = AsyncFile(path, "r+b").open()
    before = open_descriptors()
    assert f.write(b"ab") == 2
    assert f.open() is f
    assert disk(path) == b"ab23456789"
    assert open_descriptors() == before
    assert (f.tell(), f.read()) == (0, b"ab23456789")
    f.close()


@needs_dev_full
def test_open_while_open_keeps_the_old_stream_when_its_flush_fails() -> None:
    f = AsyncFile("/dev/full", "wb").open()
    f.write(b"x" * 70000)
    with pytest.raises(RuntimeError) as e:
        f.open()
    assert str(e.value) == "Failed to flush write buffer"
    assert f.seekable() and f.tell() > 0


# name made inside the temporary directory, what stands there, mode, exception class, errno
OPEN_FAILURES = [
    ("missing", None, "r", ValueError, errno.ENOENT),
    ("missing", None, "r+b", ValueError, errno.ENOENT),
    ("gone/child", None, "w", ValueError, errno.ENOENT),
    ("dir", "dir", "w", RuntimeError, errno.EISDIR),
    ("Permission denied", "dir", "a", RuntimeError, errno.EISDIR),
    ("No such file", "dir", "r+", RuntimeError, errno.EISDIR),
    ("cannot open", "dir", "wb", RuntimeError, errno.EISDIR),
    ("plain/child", "file", "r", RuntimeError, errno.ENOTDIR),
]


@pytest.mark.parametrize(
    ("name", "made", "mode", "kind", "error"),
    OPEN_FAILURES,
    ids=["enoent-r", "enoent-r+b", "enoent-dir", "eisdir", "eisdir-named-permission",
         "eisdir-named-no-such-file", "eisdir-named-cannot-open", "enotdir"],
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
    assert type(e.value) is kind
    assert str(e.value) == f"Failed to open file: {path} - {os.strerror(error)}"
    assert not f.seekable()
    assert f.close() is None
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
    result = subprocess.run(
        [sys.executable, "-c", UNPRIVILEGED_OPEN, str(path), "r", "w", "a+b"],
        capture_output=True, text=True, timeout=60, check=True,
    )
    message = f"ValueError: Failed to open file: {path} - {os.strerror(errno.EACCES)}"
    assert result.stdout.splitlines() == [message] * 3
    assert path.read_bytes() == b"secret"


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_nul_in_name_opens_nothing(tmp_path: pathlib.Path, as_bytes: bool) -> None:
    name = str(tmp_path / "cut") + "\0tail"
    f = AsyncFile(name.encode() if as_bytes else name, "w")
    with pytest.raises(ValueError) as e:
        f.open()
    assert "embedded null byte" in str(e.value)
    assert os.listdir(tmp_path) == []
    assert not f.seekable()
    assert f.close() is None
    with pytest.raises(RuntimeError) as e:
        f.write(b"x")
    assert str(e.value) == "File not open"


class BlockError(Exception):
    pass


@pytest.mark.parametrize("raises", [False, True], ids=["normal", "raising"])
def test_with_block_writes_pending_bytes(make_file: Callable[..., str], raises: bool) -> None:
    path = make_file()
    f = AsyncFile(path, "w").open()
    with pytest.raises(BlockError) if raises else contextlib.nullcontext():
        with f as entered:
            assert entered is f
            entered.write("pending")
            if raises:
                raise BlockError
    assert disk(path) == b"pending"
    assert not f.seekable()
    assert f.close() is None
    assert f.open() is f  # still usable: "w" truncates again
    f.close()
    assert disk(path) == b""


def test_with_block_over_unopened_object_closes_nothing(make_file: Callable[..., str]) -> None:
    f = AsyncFile(make_file(b"abc"), "rb")
    with f:
        with pytest.raises(RuntimeError) as e:
            f.read()
        assert str(e.value) == "File not open"
    assert f.open().read() == b"abc"
    f.close()


def test_async_members_return_plain_values(make_file: Callable[..., str]) -> None:
    path = make_file()
    f = AsyncFile(path, "wb").open()
    assert f.__aenter__() is f
    f.write(b"async")
    assert f.__aexit__(None, None, None) is None
    assert disk(path) == b"async"


@pytest.mark.parametrize(
    "sizes", [[7], [131073, 10], [131072, 131072, 1000]], ids=["small", "direct", "overflow"]
)
def test_destruction_writes_everything_out(make_file: Callable[..., str], sizes: list[int]) -> None:
    path = make_file()
    before = open_descriptors()
    f = AsyncFile(path, "wb").open()
    chunks = [bytes([65 + i]) * n for i, n in enumerate(sizes)]
    for chunk in chunks:
        f.write(chunk)
    del f
    gc.collect()
    assert disk(path) == b"".join(chunks)
    assert open_descriptors() == before


@needs_dev_full
def test_destruction_swallows_a_failed_flush(
    monkeypatch: pytest.MonkeyPatch, capfd: pytest.CaptureFixture[str]
) -> None:
    unraisable: list[object] = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    before = open_descriptors()
    f = AsyncFile("/dev/full", "wb").open()
    f.write(b"x" * 131072)
    f.write(b"x" * 131072)
    del f
    gc.collect()
    assert unraisable == []
    assert capfd.readouterr() == ("", "")
    assert open_descriptors() == before
