"""The module surface: what import gives, constructor forms, the stub and exception classes."""

import ast
import os
import pathlib
from collections.abc import Callable
from typing import Any

import pytest

import _larkspan_core
from _larkspan_core import AsyncFile

STUB = pathlib.Path(__file__).resolve().parents[1] / "python" / "_larkspan_core.pyi"
DOC = "High-performance async file I/O for Python (C++ backend)"
# Put on every bound class by pybind11 itself, not registered by the module.
BINDING_ATTRIBUTES = {"__doc__", "__module__", "_pybind11_conduit_v1_"}


def test_module_holds_only_the_class() -> None:
    assert _larkspan_core.__doc__ == DOC
    assert [name for name in vars(_larkspan_core) if not name.startswith("__")] == ["AsyncFile"]
    assert AsyncFile.__doc__ is None
    assert [c.__name__ for c in AsyncFile.__mro__] == ["AsyncFile", "pybind11_object", "object"]
    with pytest.raises(AttributeError):
        AsyncFile("x").closed = True  # type: ignore[attr-defined]


@pytest.mark.parametrize(
    ("args", "kwargs", "name", "mode"),
    [
        (("x",), {}, "x", "r"),
        (("x", "wb"), {}, "x", "wb"),
        ((b"x", b"rb+"), {}, "x", "rb+"),
        ((bytearray(b"x"), bytearray(b"a")), {}, "x", "a"),
        (("é",), {}, "é", "r"),
        ((), {"filename": "x"}, "x", "r"),
        ((), {"mode": "w+", "filename": b"x"}, "x", "w+"),
    ],
    ids=["default-mode", "str", "bytes", "bytearray", "utf8-name", "kw-name", "kw-both"],
)
def test_constructor_forms(args: tuple, kwargs: dict[str, Any], name: str, mode: str) -> None:
    f = AsyncFile(*args, **kwargs)
    assert (f.name, f.mode, f.seekable()) == (name, mode, False)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((pathlib.Path("x"),), {}), ((1,), {}), (("x", None), {}), ((), {}), (("x",), {"file": "y"})],
    ids=["pathlib", "int", "none-mode", "no-args", "unknown-keyword"],
)
def test_constructor_refuses_other_forms(args: tuple, kwargs: dict[str, Any]) -> None:
    with pytest.raises(TypeError):
        AsyncFile(*args, **kwargs)


def test_raw_name_bytes_reach_the_file_system(tmp_path: pathlib.Path) -> None:
    raw = os.fsencode(tmp_path) + b"/\xff"
    f = AsyncFile(raw, "wb").open()
    f.write(b"z")
    f.close()
    with open(raw, "rb") as h:
        assert h.read() == b"z"
    with pytest.raises(UnicodeDecodeError):
        f.name


def stub_members() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    assert ast.get_docstring(tree) == DOC
    (cls,) = [n for n in tree.body if not isinstance(n, ast.Import | ast.ImportFrom | ast.Expr)]
    assert isinstance(cls, ast.ClassDef) and cls.name == "AsyncFile"
    return {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, bool]]:
    params = node.args.posonlyargs + node.args.args
    first_default = len(params) - len(node.args.defaults)
    return [(p.arg, i >= first_default) for i, p in enumerate(params)][1:]


def runtime_parameters(member: Any) -> list[tuple[str, bool]]:
    """Parameter names and whether each has a default, from pybind11's signature line."""
    line = member.__doc__.splitlines()[0]
    inside = line[line.index("(") + 1 : line.rindex(") ->")]
    return [(p.split(":")[0], " = " in p) for p in inside.split(", ")[1:]]


def test_stub_declares_exactly_the_runtime_members() -> None:
    assert set(stub_members()) == {n for n in vars(AsyncFile) if n not in BINDING_ATTRIBUTES}


@pytest.mark.parametrize("name", sorted(stub_members()))
def test_stub_signature_matches_runtime(name: str) -> None:
    node = stub_members()[name]
    is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
    assert is_property == isinstance(vars(AsyncFile)[name], property)
    if not is_property:
        assert stub_parameters(node) == runtime_parameters(getattr(AsyncFile, name))


def closed(path: str) -> AsyncFile:
    f = AsyncFile(path, "wb").open()
    f.close()
    return f


@pytest.mark.parametrize(
    ("call", "kind", "message"),
    [
        (lambda p: AsyncFile(p, "q"), ValueError, "Invalid file mode: q"),
        (lambda p: AsyncFile(p, b"rt"), ValueError, "Invalid file mode: rt"),
        (lambda p: AsyncFile(p).write(b"x"), RuntimeError, "File not open"),
        (lambda p: AsyncFile(p).writelines([]), RuntimeError, "File not open"),
        (lambda p: AsyncFile(p).tell(), RuntimeError, "File not open"),
        (lambda p: closed(p).write(b""), RuntimeError, "File not open"),
        (lambda p: closed(p).writelines([]), RuntimeError, "File not open"),
    ],
    ids=["mode", "bytes-mode", "write", "writelines", "tell", "closed-write", "closed-writelines"],
)
def test_engine_errors_become_python_exceptions(
    make_file: Callable[..., str], call: Callable[[str], Any], kind: type[Exception], message: str
) -> None:
    with pytest.raises(kind) as e:
        call(make_file(b"abc"))
    assert str(e.value) == message


@pytest.mark.parametrize(("size", "type_name"), [(-1, "int"), (2**64, "int"), (1.5, "float")])
def test_uncastable_count_is_runtime_error(
    opened: Callable[..., AsyncFile], size: object, type_name: str
) -> None:
    f = opened(b"abc")
    with pytest.raises(RuntimeError) as e:
        f.read(size)
    cast = f"Unable to cast Python instance of type <class '{type_name}'> to C++ type '"
    assert str(e.value).startswith(cast)
    assert f.read() == b"abc"


# Hot members bypass pybind11's dispatch; their arguments must still bind as it binds them.
CALLS = [
    ("read", (), {"size": 3}, b"abc"),
    ("read1", (), {"size": 2}, b"ab"),
    ("readline", (), {"size": 2}, "ab"),
    ("seek", (), {"offset": 2, "whence": 0}, 2),
    ("seek", (1,), {"whence": 0}, 1),
    ("readinto", (), {"buffer": bytearray(2)}, 2),
    ("tell", (), {}, 0),
]


@pytest.mark.parametrize(("method", "args", "kwargs", "result"), CALLS, ids=[c[0] for c in CALLS])
def test_fast_members_take_keywords(
    opened: Callable[..., AsyncFile], method: str, args: tuple, kwargs: dict[str, Any], result: Any
) -> None:
    assert getattr(opened(b"abcdef"), method)(*args, **kwargs) == result


BAD_CALLS = [
    ("read", (1, 2), {}),
    ("read", (), {"count": 1}),
    ("read", (1,), {"size": 1}),
    ("write", (), {}),
    ("readinto", (), {}),
    ("tell", (0,), {}),
    ("seek", (), {"whence": 0}),
    ("seek", ("0",), {}),
]


@pytest.mark.parametrize(("method", "args", "kwargs"), BAD_CALLS)
def test_fast_members_refuse_what_does_not_bind(
    opened: Callable[..., AsyncFile], method: str, args: tuple, kwargs: dict[str, Any]
) -> None:
    f = opened(b"abc", "r+b")
    with pytest.raises(TypeError) as e:
        getattr(f, method)(*args, **kwargs)
    assert str(e.value).startswith(f"{method}(): incompatible function arguments.")
    assert "1. (self: _larkspan_core.AsyncFile" in str(e.value)
    assert f.tell() == 0 and f.read() == b"abc"


def test_instance_without_constructor_is_refused() -> None:
    f = AsyncFile.__new__(AsyncFile)
    for call in (f.read, f.tell, f.readline, lambda: f.write(b"x"), lambda: next(f)):
        with pytest.raises(TypeError):
            call()
