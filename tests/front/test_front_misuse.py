"""Wrong arguments and misuse of the front's binary handles, against builtin open() in the same mode
and buffering: every row makes one call on a larkspan handle and on a builtin file over twin files,
open or closed, and the two must agree on the result or on the exception's class and text, on the
position after it, and on the bytes on disk once both are closed.

Builtin's texts for a closed file vary by layer and operation ("read of closed file", "I/O operation
on closed file."); ours is always "I/O operation on closed file.", so there only the class must
agree. The conversions of the unbuffered files differ from the buffered ones' (no read1(), seek()'s
checks left to the system); larkspan converts as the buffered ones do, so the unbuffered rows are
the queries and calls whose answer depends on the buffering, and the calls their mode does not
allow.
"""

import asyncio
import inspect
import os  # noqa: F401 - the rows name os.SEEK_DATA and os.SEEK_HOLE
import sys
from pathlib import Path
from typing import Any

import larkspan
import pytest

CONTENT = b"abc\ndef\n"

ARGUMENTS = [
    "read('3')",
    "read(2**63)",
    "read(1.5)",
    "read(None)",
    "read(-1)",
    "read()",
    "readline('x')",
    "readline(2**63)",
    "readline(0)",
    "readline(None)",
    "readlines('x')",
    "readlines(2**63)",
    "readlines(1.5)",
    "readlines(None)",
    "readlines(2)",
    "read1(None)",
    "read1('3')",
    "read1(2**63)",
    "read1(-1)",
    "truncate('1')",
    "truncate(2**63)",
    "truncate(1.5)",
    "truncate(-1)",
    "truncate(None)",
    "seek('0')",
    "seek(2**63)",
    "seek(0, 5)",
    "seek(0, 2**31)",
    "seek(1.5)",
    "seek(0, 1.0)",
    "seek(0, os.SEEK_DATA)",
    "seek(0, os.SEEK_HOLE)",
    "seek(100, os.SEEK_DATA)",
    "seek(-1)",
    "seek('0', 5)",
    "write(None)",
    "write(123)",
    "write('abc')",
    "write('\\ud800')",
    "write(memoryview(b'abcd')[::2])",
    "write(bytearray(b'x'))",
    "writelines([1])",
    "writelines(['x'])",
    "writelines([memoryview(b'x')])",
    "writelines([b'a', 1])",
    "writelines([])",
    "writelines('ab')",
    "writelines(b'ab')",
    "writelines(1)",
    "readinto('abc')",
    "readinto(b'xx')",
    "readinto(memoryview(bytearray(4))[::2])",
    "readable()",
    "writable()",
    "seekable()",
    "isatty()",
]
BUFFERING_DEPENDS = [
    "readable()",
    "writable()",
    "seekable()",
    "isatty()",
    "fileno()",
    "readline(0)",
    "readall()",
]
# Calls a mode does not allow: unbuffered files refuse them as FileIO does, a closed file before the
# mode ("File not open for reading"), and a write's argument that is not bytes before either.
MISDIRECTED = [
    "read(1)",
    "read(None)",
    "readinto(bytearray(2))",
    "readline()",
    "readline(None)",
    "readlines()",
    "readlines(2)",
    "write(b'x')",
    "write(b'')",
    "write('x')",
    "write(1)",
    "writelines([b'x'])",
    "writelines(['x'])",
    "writelines([])",
    "writelines(1)",
    "truncate()",
    "truncate(0)",
    "truncate('1')",
]

ROWS = [
    *[
        pytest.param(mode, -1, state, call, id=f"{mode}-{state}-{call}")
        for mode in ("rb", "wb", "r+b", "ab")
        for state in ("open", "closed")
        for call in ARGUMENTS
    ],
    *[
        pytest.param(mode, 0, state, call, id=f"{mode}-unbuffered-{state}-{call}")
        for mode in ("rb", "wb", "r+b")
        for state in ("open", "closed")
        for call in BUFFERING_DEPENDS
        if state == "closed" or call != "fileno()"
    ],
    *[
        pytest.param(mode, 0, state, call, id=f"{mode}-unbuffered-{state}-{call}")
        for mode in ("rb", "wb", "ab")
        for state in ("open", "closed")
        for call in MISDIRECTED
    ],
    *[
        pytest.param(mode, -1, state, call, id=f"{mode}-{state}-{call}")
        for mode in ("rb", "r+b")
        for state in ("open", "closed")
        for call in ("peek('x')", "peek(1.5)")
    ],
]


# CPython 3.11's write-only buffered files refuse read() and read1() before they look at the size;
# 3.12 converts it first. larkspan answers as 3.12 and later do, on every version.
CHECKS_SIZE_FIRST_SINCE_3_12 = sys.version_info < (3, 12)


def closed_file_refusal(outcome: Any) -> bool:
    return (
        isinstance(outcome, tuple) and outcome[:1] == (ValueError,) and "closed file" in outcome[1]
    )


async def outcome_of(f: Any, call: str) -> Any:
    """What `f.<call>` returns (awaited where it is awaitable), or its exception's class and
    text."""
    try:
        result = eval("f." + call)
        return await result if inspect.isawaitable(result) else result
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize(("mode", "buffering", "state", "call"), ROWS)
def test_misuse_is_refused_as_builtin_refuses_it(
    tmp_path: Path, mode: str, buffering: int, state: str, call: str
) -> None:
    if (
        CHECKS_SIZE_FIRST_SINCE_3_12
        and mode in ("wb", "ab")
        and "(" in call
        and call.partition("(")[0] in ("read", "read1")
        and call not in ("read()", "read(-1)", "read1(-1)")
    ):
        pytest.skip(
            "CPython 3.11's write-only files refuse read() before converting its size, 3.12's after"
        )
    ours_path, theirs_path = tmp_path / "ours", tmp_path / "theirs"
    for path in (ours_path, theirs_path):
        path.write_bytes(CONTENT)

    async def run(f: Any) -> tuple[Any, Any]:
        if state == "closed":
            await outcome_of(f, "close()")
        got = await outcome_of(f, call)
        position = await outcome_of(f, "tell()") if state == "open" else None
        await outcome_of(f, "close()")
        return got, position

    async def main() -> tuple[tuple[Any, Any], tuple[Any, Any]]:
        ours = await run(await larkspan.open(ours_path, mode, buffering))
        theirs = await run(open(theirs_path, mode, buffering=buffering))
        return ours, theirs

    (ours, ours_position), (theirs, theirs_position) = asyncio.run(main())
    if closed_file_refusal(theirs):
        assert closed_file_refusal(ours), ours
    else:
        assert ours == theirs
    assert ours_position == theirs_position
    assert ours_path.read_bytes() == theirs_path.read_bytes()


def test_open_of_a_negative_descriptor_is_refused_as_builtin_refuses_it() -> None:
    with pytest.raises(ValueError) as theirs:
        open(-1, "rb")
    with pytest.raises(ValueError) as ours:
        asyncio.run(larkspan.open(-1, "rb").__aenter__())
    assert str(ours.value) == str(theirs.value) == "negative file descriptor"
