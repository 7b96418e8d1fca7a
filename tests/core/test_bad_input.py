"""Bad input at the Python boundary, property-based: every argument of every method, given wrong
types, negative, huge, NaN-like and subclassed values, in every state (new, open, closed) and in
reading, writing, updating and appending modes. A refused value raises the class its argument kind
promises and changes nothing; an accepted one behaves as its plain equivalent (the int it converts
to, the bytes it stands for) does on a twin object over a twin file. The kinds:
- optional counts (size, hint): RuntimeError, the failed-cast message, in any state;
- typed arguments (seek's offset and whence, writelines' lines, the constructor's strings):
  TypeError from argument matching, in any state;
- write's data: bytes, then str, then any buffer's bytes, then str(data); only a str without a
  UTF-8 form fails, with RuntimeError, and str(data) raising passes through;
- readinto's buffer: TypeError without the buffer protocol or when read-only, ValueError when not
  contiguous. HYPOTHESIS_PROFILE=long explores many more values.
"""

import array
import dataclasses
import enum
import itertools
import os
import pathlib
import sys
from collections.abc import Callable
from typing import Any

import pytest
from conftest import disk, examples, run_child
from core_module import core_or_skip
from hypothesis import assume, given
from hypothesis import strategies as st

AsyncFile = core_or_skip().AsyncFile

EXAMPLES = examples(quick=120, long=3000)
CONTENT = b"first line\nsecond\n"
STATES = st.sampled_from(["new", "open", "closed"])
MODES = st.sampled_from(["rb", "r", "r+b", "w", "ab"])
CAST = "Unable to cast Python instance of type {} to C++ type '"


class Refused(Exception):
    """The binding must refuse this value."""


# ---- values ------------------------------------------------------------------------------------

Int, Float = type("Int", (int,), {}), type("Float", (float,), {})
Text, Raw = type("Text", (str,), {}), type("Raw", (bytes,), {})


Level = enum.IntEnum("Level", {"LOW": 1, "HIGH": 2**40})


@dataclasses.dataclass(eq=False)
class Index:
    """An integer by __index__ alone, or one whose __index__ raises."""

    value: int | None

    def __index__(self) -> int:
        if self.value is None:
            raise ZeroDivisionError("no index")
        return self.value


@dataclasses.dataclass(eq=False)
class Printed:
    """Prints as `text`, or raises LookupError when it has none."""

    text: str | None

    def __str__(self) -> str:
        if self.text is None:
            raise LookupError("no text")
        return self.text


EDGES = [
    0,
    1,
    8192,
    8193,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    sys.maxsize - 33,
    sys.maxsize - 32,
]
SURROGATES = st.text(alphabet=st.characters(categories=["Cs"]), min_size=1, max_size=2)
NUMBERS = st.one_of(
    st.integers(-(2**70), 2**70),
    st.sampled_from(EDGES),
    st.builds(Int, st.sampled_from(EDGES)),
    st.floats(),
    st.builds(Float, st.floats()),
    st.booleans(),
    st.sampled_from(Level),
    st.decimals(),  # NaN, infinities
    st.fractions(),
    st.complex_numbers(),
    st.builds(Index, st.none() | st.sampled_from(EDGES)),
)
OTHERS = st.one_of(
    st.none(),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.builds(Text, st.text(max_size=3)),
    st.lists(st.integers(0, 3), max_size=2),
    st.builds(object),
)
ANY_VALUE = NUMBERS | OTHERS


def is_number(value: object) -> bool:
    number_methods = ("__index__", "__int__", "__float__")
    return isinstance(value, complex) or any(hasattr(type(value), m) for m in number_methods)


def as_integer(value: object, low: int, high: int) -> int | None:
    """The binding's integer conversion: never a float, else what int() makes of a number in
    [low, high); None when it refuses the value."""
    if isinstance(value, float) or not is_number(value):
        return None
    try:
        number = int(value)  # type: ignore[call-overload]
    except Exception:
        return None
    return number if low <= number < high else None


# ---- objects over twin files ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def directory(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    return tmp_path_factory.mktemp("bad-input")


NAMES = itertools.count()


def file_in(directory: pathlib.Path, state: str, mode: str) -> AsyncFile:
    path = directory / f"f{next(NAMES)}"
    path.write_bytes(CONTENT)
    f = AsyncFile(str(path), mode)
    if state != "new":
        f.open()
    if state == "closed":
        f.close()
    return f


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("returned", call())
    except Exception as error:
        return (type(error), str(error))


def assert_unchanged(f: AsyncFile, state: str, mode: str) -> None:
    """After a refusal: the same position and bytes, and the object still opens, reads and
    closes."""
    if state == "open":
        assert f.tell() == (len(CONTENT) if "a" in mode else 0)
        f.close()
    assert not f.seekable()
    assert disk(f.name) == (b"" if "w" in mode and state != "new" else CONTENT)
    with f.open():
        assert f.tell() == (len(CONTENT) if "a" in mode else 0)
    f.close()


def assert_same_as_twin(f: AsyncFile, twin: AsyncFile, got: tuple, expected: tuple) -> None:
    assert got == expected
    assert not f.seekable() or f.tell() == twin.tell()
    f.close()
    twin.close()
    assert disk(f.name) == disk(twin.name)


def refusal_or_twin(
    directory: pathlib.Path,
    state: str,
    mode: str,
    call: Callable[[AsyncFile], Any],
    plain: Callable[[AsyncFile], Any] | None,
    refusal: Callable[[tuple], bool],
) -> None:
    """Runs `call`; it must be refused when `plain` is None, else do what `plain` does on a twin."""
    f = file_in(directory, state, mode)
    got = outcome(lambda: call(f))
    if plain is None:
        assert refusal(got), got
        assert_unchanged(f, state, mode)
        return
    twin = file_in(directory, state, mode)
    assert_same_as_twin(f, twin, got, outcome(lambda: plain(twin)))


# ---- refusals come before pending writes go out, and write nothing themselves --------------------

COUNTS = {"-1": int, "1.5": float, "'3'": str, "2**64": int}
SEEK_MISMATCH = (
    "seek(): incompatible function arguments. The following argument types are supported:"
)
PENDING_REFUSALS = {
    **{
        f"{method}({count})": (RuntimeError, CAST.format(kind) + "unsigned long'")
        for method in ["read", "read1", "readline", "readlines", "truncate"]
        for count, kind in COUNTS.items()
    },
    **{
        f"seek({args})": (TypeError, SEEK_MISMATCH)
        for args in ["1.5", "'0'", "2**63", "-(2**63) - 1", "0, 2**31", "0, 1.0"]
    },
    "readinto(b'abcd')": (TypeError, "readinto requires a writable buffer"),
    "readinto(memoryview(bytearray(4))[::2])": (
        ValueError,
        "readinto requires a contiguous buffer",
    ),
    "readinto(4)": (TypeError, "readinto requires a buffer object"),
    "write('a\\ud800')": (RuntimeError, CAST.format(str) + "std::string'"),
    "write(Printed(None))": (LookupError, "no text"),
}


@pytest.mark.parametrize(
    ("call", "kind", "message"),
    [(c, *r) for c, r in PENDING_REFUSALS.items()],
    ids=list(PENDING_REFUSALS),
)
def test_refusal_leaves_pending_writes_pending(
    make_file: Callable[..., str], call: str, kind: type[Exception], message: str
) -> None:
    path = make_file(b"0123456789")
    with AsyncFile(path, "r+b").open() as f:
        f.write(b"AB")
        with pytest.raises(kind) as e:
            eval("f." + call)
        assert str(e.value).splitlines()[0] == message
        assert (disk(path), f.tell(), f.read(3)) == (b"0123456789", 2, b"234")
    assert disk(path) == b"AB23456789"


# ---- optional counts and seek's integers ---------------------------------------------------------


def cast_failure(value: object) -> Callable[[tuple], bool]:
    return lambda got: got[0] is RuntimeError and got[1].startswith(CAST.format(type(value)))


def incompatible(method: str) -> Callable[[tuple], bool]:
    return lambda got: got[0] is TypeError and got[1].startswith(f"{method}(): incompatible")


OMITTED = object()  # an argument left out


@EXAMPLES
@given(
    method=st.sampled_from(["read", "read1", "readline", "readlines", "truncate"]),
    value=ANY_VALUE,
    state=STATES,
    mode=MODES,
)
def test_optional_count(
    directory: pathlib.Path, method: str, value: object, state: str, mode: str
) -> None:
    count = as_integer(value, 0, 2**64)
    assume(
        not (method == "truncate" and count is not None and 2**20 < count < 2**63)
    )  # sparse giants
    plain = None if value is not None and count is None else lambda f: getattr(f, method)(count)
    refusal_or_twin(
        directory, state, mode, lambda f: getattr(f, method)(value), plain, cast_failure(value)
    )


@EXAMPLES
@given(offset=ANY_VALUE, whence=st.just(OMITTED) | ANY_VALUE, state=STATES, mode=MODES)
def test_seek_arguments(
    directory: pathlib.Path, offset: object, whence: object, state: str, mode: str
) -> None:
    args = (offset,) if whence is OMITTED else (offset, whence)
    plain_args = [as_integer(offset, -(2**63), 2**63)]
    if whence is not OMITTED:
        plain_args.append(as_integer(whence, -(2**31), 2**31))
    plain = None if None in plain_args else lambda f: f.seek(*plain_args)
    refusal_or_twin(directory, state, mode, lambda f: f.seek(*args), plain, incompatible("seek"))


# ---- writelines and write ------------------------------------------------------------------------

LINE_ITEMS = st.one_of(
    st.text(max_size=4),
    st.binary(max_size=4),
    st.builds(bytearray, st.binary(max_size=4)),
    st.builds(Text, st.text(max_size=3)),
    st.builds(Raw, st.binary(max_size=3)),
    SURROGATES,
    st.integers(),
    st.none(),
    st.builds(memoryview, st.binary(max_size=3)),
)
LINES = st.one_of(
    st.lists(LINE_ITEMS, max_size=4),
    st.lists(LINE_ITEMS, max_size=4).map(tuple),
    st.lists(st.binary(max_size=3), max_size=3).map(iter),
    st.sets(st.binary(max_size=2), max_size=2),
    st.dictionaries(st.binary(max_size=2), st.integers(), max_size=2),
    st.builds(range, st.integers(0, 2)),
    st.builds(bytearray, st.binary(max_size=2)),
    ANY_VALUE,
)


def lines_of(value: object) -> list[bytes]:
    """The items of a sequence that is neither str nor bytes, each str, bytes or bytearray."""
    indexable = any("__getitem__" in vars(k) for k in type(value).__mro__)  # as the sequence check
    if isinstance(value, str | bytes | dict) or not indexable:
        raise Refused
    lines = []
    for item in value:  # type: ignore[attr-defined]
        if isinstance(item, bytes | bytearray):
            lines.append(bytes(item))
        elif isinstance(item, str):
            try:
                lines.append(item.encode())
            except UnicodeEncodeError as error:
                raise Refused from error
        else:
            raise Refused
    return lines


@EXAMPLES
@given(lines=LINES, state=STATES, mode=MODES)
def test_writelines_argument(directory: pathlib.Path, lines: object, state: str, mode: str) -> None:
    try:
        items = lines_of(lines)
        plain: Callable[[AsyncFile], Any] | None = lambda f: f.writelines(items)
    except Refused:
        plain = None
    refusal_or_twin(
        directory, state, mode, lambda f: f.writelines(lines), plain, incompatible("writelines")
    )


WRITE_DATA = st.one_of(
    ANY_VALUE,
    SURROGATES,
    st.builds(Raw, st.binary(max_size=3)),
    st.builds(bytearray, st.binary(max_size=4)),
    st.builds(lambda b: memoryview(b)[::2], st.binary(max_size=6)),
    st.builds(lambda n: array.array("H", n), st.lists(st.integers(0, 65535), max_size=3)),
    st.builds(Printed, st.none() | st.text(max_size=3) | SURROGATES),
)


def text_bytes(text: str) -> bytes:
    try:
        return text.encode()
    except UnicodeEncodeError as error:
        raise Refused(CAST.format(type(text))) from error


def bytes_of(data: object) -> bytes:
    """What write() stores: bytes as they are, str as UTF-8, a buffer's bytes, else str(data)."""
    if isinstance(data, bytes):
        return bytes(data)
    if isinstance(data, str):
        return text_bytes(data)
    try:
        return memoryview(data).tobytes()  # type: ignore[arg-type]
    except TypeError:
        return text_bytes(str(data))


@EXAMPLES
@given(data=WRITE_DATA, state=STATES, mode=MODES)
def test_write_argument(directory: pathlib.Path, data: object, state: str, mode: str) -> None:
    f = file_in(directory, state, mode)
    got = outcome(lambda: f.write(data))
    try:
        expected = bytes_of(data)
    except Refused as error:
        assert got[0] is RuntimeError and got[1].startswith(str(error)), got
    except LookupError as error:  # str(data) raised: the same exception reaches the caller
        assert got == (LookupError, str(error))
    else:
        twin = file_in(directory, state, mode)
        assert_same_as_twin(f, twin, got, outcome(lambda: twin.write(expected)))
        return
    assert_unchanged(f, state, mode)


# ---- readinto ------------------------------------------------------------------------------------

BUFFERS = st.one_of(
    st.builds(bytearray, st.binary(max_size=40)),
    st.binary(max_size=8),
    st.builds(lambda b: memoryview(bytearray(b)), st.binary(max_size=40)),
    st.builds(lambda b: memoryview(bytearray(b))[::2], st.binary(min_size=3, max_size=20)),
    st.builds(lambda b: memoryview(bytearray(b))[::-1], st.binary(min_size=2, max_size=20)),
    st.builds(lambda b: memoryview(b), st.binary(max_size=8)),
    st.builds(lambda b: memoryview(bytearray(b)).toreadonly(), st.binary(max_size=8)),
    st.builds(
        lambda b: memoryview(bytearray(b * 2)).cast("B", (2, len(b))),
        st.binary(min_size=1, max_size=8),
    ),
    st.builds(lambda n: array.array("d", n), st.lists(st.floats(), max_size=3)),
    ANY_VALUE,
)


def wanted_by(buffer: object) -> int:
    """The bytes readinto fills, or the refusal the buffer earns."""
    try:
        view = memoryview(buffer)  # type: ignore[arg-type]
    except TypeError:
        raise Refused(TypeError, "readinto requires a buffer object") from None
    if view.readonly:
        raise Refused(TypeError, "readinto requires a writable buffer")
    if not view.c_contiguous:
        raise Refused(ValueError, "readinto requires a contiguous buffer")
    return view.nbytes


@EXAMPLES
@given(buffer=BUFFERS, state=STATES, mode=MODES)
def test_readinto_argument(directory: pathlib.Path, buffer: Any, state: str, mode: str) -> None:
    f = file_in(directory, state, mode)
    is_buffer = isinstance(buffer, bytes | bytearray | memoryview | array.array)
    before = memoryview(buffer).tobytes() if is_buffer else b""
    got = outcome(lambda: f.readinto(buffer))
    try:
        size = wanted_by(buffer)
    except Refused as refusal:
        assert got == refusal.args
        assert not is_buffer or memoryview(buffer).tobytes() == before
        assert_unchanged(f, state, mode)
        return
    twin, filled = file_in(directory, state, mode), bytearray(size)
    assert_same_as_twin(f, twin, got, outcome(lambda: twin.readinto(filled)))
    if got[0] == "returned":  # the front holds what was read, the rest is as it was
        assert memoryview(buffer).tobytes() == bytes(filled[: got[1]]) + before[got[1] :]


# ---- the constructor -----------------------------------------------------------------------------

MODE_TEXT = st.text(alphabet="rwab+xtU \0é", max_size=4)
STRINGS = st.one_of(
    MODE_TEXT,
    MODE_TEXT.map(str.encode),
    MODE_TEXT.map(lambda t: bytearray(t.encode())),
    st.builds(Text, MODE_TEXT),
    SURROGATES,
    st.builds(pathlib.Path, st.just("p")),
    NUMBERS,
    st.none(),
)


def string_of(value: object) -> bytes:
    if isinstance(value, str):
        try:
            return value.encode()
        except UnicodeEncodeError as error:
            raise Refused from error
    if isinstance(value, bytes | bytearray):
        return bytes(value)
    raise Refused


def accepts_mode(mode: bytes) -> bool:  # one r, w or a, with any b and + around it
    return mode.replace(b"b", b"").replace(b"+", b"") in (b"r", b"w", b"a")


@EXAMPLES
@given(name=STRINGS, mode=STRINGS, by_keyword=st.booleans())
def test_constructor_arguments(name: object, mode: object, by_keyword: bool) -> None:
    got = outcome(
        lambda: AsyncFile(filename=name, mode=mode) if by_keyword else AsyncFile(name, mode)
    )
    try:
        name_bytes, mode_bytes = string_of(name), string_of(mode)
    except Refused:
        assert got[0] is TypeError and got[1].startswith(
            "__init__(): incompatible constructor arguments"
        )
        return
    if not accepts_mode(mode_bytes):
        # An error message is a C string: it ends at a NUL in the mode.
        assert got == (ValueError, "Invalid file mode: " + mode_bytes.split(b"\0")[0].decode())
        return
    f = got[1]
    assert (f.name, f.mode) == (name_bytes.decode(), mode_bytes.decode())
    letters = mode_bytes.replace(b"b", b"").replace(b"+", b"")
    assert (f.seekable(), f.writable()) == (False, letters != b"r" or b"+" in mode_bytes)


def open_directory(directory: pathlib.Path) -> AsyncFile:
    path = bytes(directory) + b"/dir\xff"
    os.makedirs(path, exist_ok=True)
    return AsyncFile(path, "wb").open()


# Names and modes are bytes of any kind, also bytes that are not UTF-8. A failure quoting them
# must still raise its own class: ValueError for a rejected mode or a missing file, RuntimeError
# for a directory opened for writing.
@pytest.mark.parametrize(
    ("make", "kind"),
    [
        pytest.param(lambda d: AsyncFile(str(d / "x"), b"r\xff"), ValueError, id="rejected-mode"),
        pytest.param(
            lambda d: AsyncFile(bytes(d / "missing") + b"\xff", "rb").open(),
            ValueError,
            id="missing-file",
        ),
        pytest.param(open_directory, RuntimeError, id="directory"),
    ],
)
def test_non_utf8_bytes_in_names_and_modes(
    directory: pathlib.Path, make: Callable[[pathlib.Path], Any], kind: type[Exception]
) -> None:
    got = outcome(lambda: make(directory))
    assert got[0] is kind, got


def test_non_utf8_name_reaches_the_file_system(directory: pathlib.Path) -> None:
    raw = bytes(directory) + b"/\xff"
    f = AsyncFile(raw, "wb").open()
    assert f.write(b"z") == 1
    f.close()
    assert disk(raw) == b"z"
    with pytest.raises(UnicodeDecodeError):
        f.name


# ---- arity, keywords and unconstructed objects ---------------------------------------------------

# calls that match no signature: too many, missing, unknown or doubled arguments
ARITY = [
    *[
        f"{name}(1)"
        for name in [
            "open",
            "close",
            "readall",
            "tell",
            "flush",
            "isatty",
            "seekable",
            "writable",
            "__enter__",
            "__aenter__",
            "__iter__",
            "__aiter__",
            "__next__",
            "__anext__",
        ]
    ],
    "__exit__()",
    "__exit__(1, 2)",
    "__exit__(1, 2, 3, 4)",
    "__aexit__(1, 2)",
    "read(1, 2)",
    "read(sz=1)",
    "read(1, size=1)",
    "read1(1, 2)",
    "read1(count=1)",
    "readline(1, 2)",
    "readline(limit=1)",
    "readlines(1, 2)",
    "readlines(size=1)",
    "truncate(1, 2)",
    "truncate(length=1)",
    "readinto()",
    "readinto(bytearray(1), 1)",
    "readinto(buf=bytearray(1))",
    "write()",
    "write(b'', b'')",
    "write(text=b'')",
    "writelines()",
    "writelines([], [])",
    "writelines(data=[])",
    "seek()",
    "seek(0, 0, 0)",
    "seek(whence=0)",
    "seek(0, offset=0)",
    "seek(pos=0)",
]


@pytest.mark.parametrize("state", ["new", "open", "closed"])
@pytest.mark.parametrize("call", ARITY)
def test_calls_that_match_no_signature(directory: pathlib.Path, call: str, state: str) -> None:
    f = file_in(directory, state, "r+b")
    with pytest.raises(TypeError) as e:
        eval("f." + call)
    assert str(e.value).startswith(call.split("(")[0] + "(): incompatible function arguments")
    assert "1. (self: _larkspan_core.AsyncFile" in str(
        e.value
    )  # listed as pybind11 lists overloads
    assert_unchanged(f, state, "r+b")


# AsyncFile.__new__ without __init__ leaves the C++ object unconstructed. Every member must refuse
# such an object with TypeError rather than run on memory that holds no object; a crash would end
# the test run, so the calls run in a child, which names each before it makes it.
UNCONSTRUCTED = """
import sys
from _larkspan_core import AsyncFile
f = AsyncFile.__new__(AsyncFile)
for member in sys.argv[1:]:
    print(member, end=": ", flush=True)
    try:
        eval(member)
    except TypeError as error:
        print(type(error).__name__)
"""
MEMBERS = [
    "f.open()",
    "f.close()",
    "f.readall()",
    "f.read()",
    "f.read(1)",
    "f.read1()",
    "f.readline()",
    "f.readlines()",
    "f.readinto(bytearray(1))",
    "f.write(b'x')",
    "f.writelines([b'x'])",
    "f.seek(0)",
    "f.tell()",
    "f.flush()",
    "f.truncate()",
    "f.isatty()",
    "f.seekable()",
    "f.writable()",
    "f.__exit__(None, None, None)",
    "f.name",
    "next(f)",
    "f.__anext__()",
]


def test_unconstructed_object_is_refused() -> None:
    assert run_child(UNCONSTRUCTED, *MEMBERS).splitlines() == [f"{m}: TypeError" for m in MEMBERS]
