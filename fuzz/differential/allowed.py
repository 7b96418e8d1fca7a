"""The only differences from builtin files the fuzzer lets pass: those the README lists, each
with the README's words beside it. A difference either translates the call builtin's side makes
(builtin has no such call, or refuses what larkspan defines), allows an outcome that differs at
one call, or ends the comparison of a sequence, because from that call on the two files are
meant to be in different states.

README_DIFFERENCES are the README's own; BUILTIN_FAULTS are where CPython 3.12's io is wrong and
larkspan is not (the README lists them too); most of those the oracle corrects (oracle.py).
"""

import io
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .cases import Call, Case, Outcome


@dataclass(frozen=True)
class Step:
    """One call of a case with what each side gave, and the calls before it."""

    case: Case
    opened: Outcome
    call: Call
    theirs: Outcome
    ours: Outcome
    before: tuple[Call, ...]

    @property
    def name(self) -> str:
        return str(self.call[0])

    def raised(self, side: Outcome, *classes: str) -> bool:
        return side[0] == "raised" and (not classes or side[1] in classes)

    def after(self, *names: str) -> bool:
        return any(flat_name in names for call in self.before for flat_name in call_names(call))


def call_names(call: Call) -> list[str]:
    return [str(call[1][0]), str(call[2][0])] if call[0] == "gather" else [str(call[0])]


def never(step: Step) -> bool:
    return False


@dataclass(frozen=True)
class Difference:
    """`allows(step)`: the outcomes of this call may differ. `ends(step)`: whatever the outcomes,
    the files' states differ after this call, so the sequence is compared no further."""

    words: str
    allows: Callable[[Step], bool] = never
    ends: Callable[[Step], bool] = never
    how: str = ""


# ---- the README's list ------------------------------------------------------------------------

COROUTINES = Difference(
    "Every operation is a coroutine (`isatty()` too, as in aiofiles); `close()` finishes even when "
    "its task is cancelled.",
    how="structural: the fuzzer awaits what larkspan returns and cancels nothing",
)
READALL_AND_UNBUFFERED = Difference(
    "Binary handles have `readall()`, which builtin's buffered binary files lack, and `read1()` "
    "and `peek()` in every mode and buffering, where builtin's have them in some only; unbuffered "
    "ones (`buffering=0`) check every argument as the buffered ones do.",
    allows=lambda step: (
        (step.name in ("read1", "peek") and step.raised(step.theirs, "AttributeError"))
        or (step.case.buffering == 0 and converted_as_buffered(step))
    ),
    ends=lambda step: (
        step.name in ("read1", "peek")
        and step.raised(step.theirs, "AttributeError")
        and step.ours[0] == "ok"
    ),
    how=(
        "translated: builtin's buffered side calls read() for readall(), its unbuffered side "
        "read(n) for read1(n); allowed: read1() and peek() where builtin's file lacks them (a "
        "read1() that read ends the comparison), and an unbuffered file's argument refused with "
        "the same class in other words (seek()'s whence: ValueError where builtin's system says "
        "EINVAL)"
    ),
)
CLOSED_TEXT = Difference(
    "A closed handle refuses a call with the class builtin raises, `ValueError`, always saying "
    '"I/O operation on closed file."; builtin\'s text varies by call ("read of closed file", '
    '"seek of closed file", ...).',
    allows=lambda step: (
        step.after("close")
        and step.raised(step.theirs, "ValueError")
        and step.raised(step.ours, "ValueError")
    ),
    how="allowed: a ValueError on both sides once the file is closed, whatever its text",
)
READ_ERRORS = Difference(
    "A read that meets an I/O error (EIO, a FUSE daemon gone) after some bytes arrived returns "
    "those bytes, and the next read raises the error; builtin's `read()` drops them and raises at "
    "once. `read_bytes()` and `read_text()` raise.",
    how="not exercised: the fuzzer's files do not fail",
)
PEEK = Difference(
    "`peek()` returns up to 8 KiB (or `size`); builtin returns whatever its buffer holds.",
    allows=lambda step: step.name == "peek" and peeks_agree(step.theirs, step.ours),
    how=(
        "allowed when both start with the same bytes and only both are empty; for unbuffered "
        "files, which have no peek(), builtin's side reads the bytes at the position"
    ),
)
READ1_COUNT = Difference(
    "A buffered binary file's `read1(n)` returns what the engine holds ahead when it holds some, "
    "else up to `n` bytes from one read of the file; builtin's returns only what its own buffer "
    "holds when it holds any, so its count depends on that buffer's size and history.",
    allows=lambda step: buffered_read1(step) and one_begins_other(step),
    ends=lambda step: buffered_read1(step) and step.ours[0] == "ok" and step.theirs != step.ours,
    how=(
        "allowed: a buffered binary read1() whose result begins the other side's (or is begun by "
        "it); the files' positions then differ, so the comparison ends there"
    ),
)
NEGATIVE_SIZES = Difference(
    'Any negative size means "to the end", as for builtin\'s unbuffered files; the buffered ones '
    "refuse sizes below -1.",
    how="translated: builtin's buffered files read with -1 where they would refuse a size below -1",
)
APPEND_TELL = Difference(
    "In append mode, `tell()` counts bytes still pending from where the stream stands, though they "
    "land at the end.",
    allows=lambda step: (
        "a" in step.case.mode and step.name == "tell" and step.after("write", "writelines")
    ),
    ends=lambda step: (
        "a" in step.case.mode
        and not step.case.binary
        and step.name == "tell"
        and step.theirs != step.ours
    ),
    how=(
        "allowed: tell() in append mode once anything was written; a text file's cookie then "
        "points elsewhere, so its comparison ends there"
    ),
)
DETACH_AND_RECONFIGURE = Difference(
    "A text handle's `detach()` is synchronous, as builtin's and aiofiles' are, so text gathered "
    "for writing goes to the binary handle it returns ahead of any later call there, and reaches "
    "the file when that handle flushes or closes; `reconfigure()` is a coroutine, since it flushes "
    "first. `buffer` of a detached handle raises, where builtin's gives None.",
    how="not exercised: the fuzzer calls neither",
)
WRAPPED_FILES = Difference(
    "`wrap_file()` handles, and `larkspan.stdin` and the like, run every call on a worker, as "
    "anyio's and aiofiles' do; a call whose task is cancelled still runs to its end, and what it "
    "read is lost, as with theirs. `wrap_file()` refuses a closed file or an object with neither "
    "`read()` nor `write()` when called, where anyio fails at the first call.",
    how="not exercised: the fuzzer opens files with open() only",
)

README_DIFFERENCES = (
    COROUTINES,
    READALL_AND_UNBUFFERED,
    CLOSED_TEXT,
    READ_ERRORS,
    PEEK,
    READ1_COUNT,
    NEGATIVE_SIZES,
    APPEND_TELL,
    DETACH_AND_RECONFIGURE,
    WRAPPED_FILES,
)


def converted_as_buffered(step: Step) -> bool:
    """Both refused the call's argument, with the class of the same refusal (a mode's refusal must
    agree whole); a seek()'s whence builtin's unbuffered files leave to the system."""
    if not (step.raised(step.theirs) and step.raised(step.ours)):
        return False
    return step.name == "seek" or step.theirs[1] == step.ours[1] != "UnsupportedOperation"


def buffered_read1(step: Step) -> bool:
    return step.case.binary and step.case.buffering != 0 and step.name == "read1"


def one_begins_other(step: Step) -> bool:
    """Both read bytes, and the shorter result is where the longer one starts."""
    if step.theirs[0] != "ok" or step.ours[0] != "ok":
        return False
    shorter, longer = sorted((step.theirs[1], step.ours[1]), key=len)
    return bool(shorter) and longer.startswith(shorter)


def peeks_agree(theirs: Outcome, ours: Outcome) -> bool:
    if theirs[0] != "ok" or ours[0] != "ok":
        return False
    common = min(len(theirs[1]), len(ours[1]))
    return theirs[1][:common] == ours[1][:common] and bool(theirs[1]) == bool(ours[1])


def translate_for_builtin(file: Any, call: Call) -> Call:
    """The call builtin's side makes for `call` (see READALL_AND_UNBUFFERED, PEEK and
    NEGATIVE_SIZES)."""
    name = call[0]
    if isinstance(file, io.TextIOBase):
        return call
    unbuffered = isinstance(file, io.RawIOBase)
    if name == "readall" and not unbuffered:
        return ("read",)
    if name == "peek" and unbuffered:
        return ("peek_unbuffered", call[1])
    if name == "read1" and unbuffered and isinstance(call[1], int) and call[1] >= 0:
        return ("read", call[1])  # FileIO.read(n) is one read of the file
    if name == "read" and not unbuffered and isinstance(call[1], int) and call[1] < -1:
        return ("read", -1)
    return call


# ---- where builtin's io is wrong (also in the README's list) -------------------------------------

READ1_UNDER_WRITES = Difference(
    "With writes pending, `read1()` of a binary file open for update reads after them, and so do "
    'the reads of a text file in a `"+"` mode; builtin\'s `BufferedRandom.read1()` (CPython 3.12) '
    "returns the bytes at the writes' place and puts the writes after them.",
    how="corrected in the oracle (oracle.SoundBufferedRandom.read1)",
)
STALE_APPEND_READS = Difference(
    'In `"a+b"`, a read after a write returns what the file holds; builtin\'s (CPython 3.12) can '
    "return the written bytes at the position, though they went to the end.",
    how="corrected in the oracle (oracle.SoundBufferedRandom.write)",
)
LOST_BYTE_ORDER_MARK = Difference(
    "A `utf-16` or `utf-8-sig` write that fails to encode leaves the byte-order mark to the next "
    "write; builtin's text files (CPython 3.12) lose it.",
    ends=lambda step: (
        step.case.encoding in ("utf-16", "utf-8-sig")
        and step.name in ("write", "writelines")
        and step.raised(step.theirs, "UnicodeEncodeError")
    ),
    how=(
        "ends the comparison after a write that failed to encode: the oracle cannot mend builtin's "
        "encoder state"
    ),
)
TELL_AFTER_NEXT_AND_FLUSH = Difference(
    "A text file's `tell()` after `next()` and `flush()` gives the position of the next line; "
    "builtin's (CPython 3.12) gives a wrong one.",
    how="corrected in the oracle (oracle.SoundTextIOWrapper)",
)
FAILED_SEEK = Difference(
    "After a `seek()` that the system fails while writes are pending, the position is where the "
    "writes left it; builtin's buffered files (CPython 3.12) can report another one (even a "
    "negative one) from then on.",
    how="corrected in the oracle (oracle.SoundBufferedRandom.seek)",
)
SEEKABLE_AFTER_FAILED_SEEK = Difference(
    "An unbuffered file's `seekable()` stays True after a `seek()` to a negative position; "
    "builtin's (CPython 3.12) answers False from then on when that seek came first.",
    how="corrected in the oracle (open_builtin asks seekable() at once)",
)
OPENS_BEFORE_REFUSING = Difference(
    "`open()` refuses `buffering=0` in a text mode before it opens the file; builtin's opens it "
    "first (creating or cutting it, or failing to).",
    allows=lambda step: (
        (step.name == "open" and step.ours[0] == ("raised", "ValueError", UNBUFFERED_TEXT))
        or (step.name == "bytes on disk" and step.opened[0][0] == "raised")
    ),
    how="allowed: open()'s error, and the bytes on disk after an open() that both sides refused",
)
UNBUFFERED_TEXT = "can't have unbuffered text I/O"

BUILTIN_FAULTS = (
    READ1_UNDER_WRITES,
    STALE_APPEND_READS,
    LOST_BYTE_ORDER_MARK,
    TELL_AFTER_NEXT_AND_FLUSH,
    FAILED_SEEK,
    SEEKABLE_AFTER_FAILED_SEEK,
    OPENS_BEFORE_REFUSING,
)

EVERY_DIFFERENCE: dict[str, Difference] = {
    **{f"README: {d.words[:60]}": d for d in README_DIFFERENCES},
    **{f"builtin fault: {d.words[:60]}": d for d in BUILTIN_FAULTS},
}
