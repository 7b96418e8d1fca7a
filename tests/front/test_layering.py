"""The package's modules keep to their layers: none imports a private name defined in another
module or reads one as an attribute of a module it imported, and none that the package's own import
loads goes back up through the package (`import larkspan`) to reach what its __init__ exports."""

import ast
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import larkspan
import pytest

PACKAGE = Path(larkspan.__file__).parent
MODULES = sorted(PACKAGE.rglob("*.py"))
# What `import larkspan` loads; the rest (larkspan.fsspec) sits above the package and may use it.
BELOW = set(
    subprocess.run(
        [
            sys.executable,
            "-c",
            "import larkspan, sys; print(*(m for m in sys.modules if m.startswith('larkspan')))",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
)


def private(name: str) -> bool:
    return name.startswith("_") and not name.startswith("__")


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def absolute(node: ast.ImportFrom, importer: str, is_package: bool) -> str:
    """The module an import names, with a relative import resolved against its importer."""
    if not node.level:
        return node.module or ""
    base = importer.split(".")
    base = base[: len(base) - node.level + (1 if is_package else 0)]
    return ".".join([*base, node.module] if node.module else base)


def is_module(name: str) -> bool:
    parts = name.split(".")
    path = PACKAGE.parent.joinpath(*parts)
    return (
        path.with_suffix(".py").exists()
        or (path / "__init__.py").exists()
        or path.with_suffix(".pyi").exists()
    )


def reaches(path: Path) -> Iterator[str]:
    """Each way `path` reaches around a layer, said as a line."""
    importer = module_name(path)
    below = importer in BELOW
    tree = ast.parse(path.read_text(), str(path))
    modules: set[str] = set()  # local names bound to larkspan's modules
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if below and (alias.name == "larkspan" or alias.name.startswith("larkspan.")):
                    yield f"{importer} imports {alias.name} from within the package"
        elif isinstance(node, ast.ImportFrom):
            source = absolute(node, importer, path.name == "__init__.py")
            if not source.startswith("larkspan"):
                continue
            if below and source == "larkspan" and importer != "larkspan":
                names = [
                    alias.name for alias in node.names if not is_module(f"larkspan.{alias.name}")
                ]
                if names:
                    yield f"{importer} takes {names} from the package's __init__"
            for alias in node.names:
                if is_module(f"{source}.{alias.name}"):
                    modules.add(alias.asname or alias.name)
                elif private(alias.name) and source != importer:
                    yield f"{importer} imports {source}.{alias.name}"
    for node in ast.walk(tree):
        if (
            isinstance(node, ast.Attribute)
            and isinstance(node.value, ast.Name)
            and node.value.id in modules
            and private(node.attr)
        ):
            yield f"{importer} reads {node.value.id}.{node.attr}"


@pytest.mark.parametrize("path", MODULES, ids=lambda path: str(path.relative_to(PACKAGE)))
def test_a_module_uses_only_what_others_make_public(path: Path) -> None:
    assert list(reaches(path)) == []
