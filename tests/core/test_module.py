"""The module surface: what import gives, constructor forms, the stub, and keywords of the fast
members."""

import ast
import pathlib
from collections.abc import Callable
from typing import Any

import pytest
from conftest import ROOT
from core_module import core_or_skip

_larkspan_core = core_or_skip()
AsyncFile = _larkspan_core.AsyncFile

STUB = ROOT / "python" / "_larkspan_core-stubs" / "__init__.pyi"
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


CONSTRUCTIONS = {
    "default-mode": (("x",), {}, "x", "r"),
    "str": (("x", "wb"), {}, "x", "wb"),
    "bytes": ((b"x", b"rb+"), {}, "x", "rb+"),
    "bytearray": ((bytearray(b"x"), bytearray(b"a")), {}, "x", "a"),
    "utf8-name": (("é",), {}, "é", "r"),
    "kw-name": ((), {"filename": "x"}, "x", "r"),
    "kw-both": ((), {"mode": "w+", "filename": b"x"}, "x", "w+"),
}


@pytest.mark.parametrize(
    ("args", "kwargs", "name", "mode"), CONSTRUCTIONS.values(), ids=CONSTRUCTIONS
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
    with pytest.raises(TypeError) as e:
        AsyncFile(*args, **kwargs)
    assert str(e.value).startswith("__init__(): incompatible constructor arguments")


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
