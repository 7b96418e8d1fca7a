"""Every public name of the package says what it is: the documentation site's reference is made
from these docstrings."""

import importlib
import inspect
from typing import Any

import pytest

MODULES = [
    "larkspan",
    "larkspan.os",
    "larkspan.os.path",
    "larkspan.shutil",
    "larkspan.tempfile",
    "larkspan.ospath",
]


def own_members(cls: type) -> dict[str, Any]:
    """The public methods and properties that `cls` defines itself (pathlib's stay pathlib's)."""
    members = {}
    for name, value in vars(cls).items():
        if name.startswith("_"):
            continue
        if isinstance(value, (classmethod, staticmethod)):
            value = value.__func__
        if callable(value) or isinstance(value, property):
            members[name] = value
    return members


def public_names() -> list[tuple[str, Any]]:
    found = []
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        found.append((module_name, module))
        for name in getattr(module, "__all__", []):
            value = getattr(module, name)
            if inspect.ismodule(value):
                continue
            if inspect.isfunction(value) or inspect.isclass(value):
                found.append((f"{module_name}.{name}", value))
            if inspect.isclass(value) and value.__module__.startswith("larkspan"):
                found += [
                    (f"{module_name}.{name}.{member}", v)
                    for member, v in own_members(value).items()
                ]
    return found


@pytest.mark.parametrize(
    ("name", "value"), public_names(), ids=[name for name, _ in public_names()]
)
def test_public_name_has_a_docstring(name: str, value: Any) -> None:
    assert (value.__doc__ or "").strip(), name
