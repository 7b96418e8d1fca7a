"""What each supported CPython gets: larkspan everywhere, _larkspan_core under 3.12 only, one
version number."""

import importlib.metadata
import platform
import subprocess
import sys

import larkspan
import pytest
from conftest import TIMEOUT
from core_module import LOADS


@pytest.mark.skipif(LOADS, reason="the refusal shows only under a CPython other than 3.12")
def test_core_refuses_other_interpreters_at_import() -> None:
    with pytest.raises(ImportError) as e:
        import _larkspan_core  # noqa: F401
    assert type(e.value) is ImportError
    assert str(e.value) == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {sys.version}."
    )
    assert "_larkspan_core" not in sys.modules


def test_larkspan_never_imports_the_core() -> None:
    script = (
        "import sys, larkspan, larkspan.os, larkspan.tempfile; "
        "print('_larkspan_core' in sys.modules)"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert (result.returncode, result.stdout) == (0, "False\n"), result.stderr


def test_version_is_the_installed_distribution_version() -> None:
    assert larkspan.__version__ == importlib.metadata.version("larkspan")
    assert all(part.isdigit() for part in larkspan.__version__.split("."))


def test_engine_is_built_for_the_running_interpreter() -> None:
    suffix = f".cpython-{sys.version_info.major}{sys.version_info.minor}-"
    assert suffix in larkspan._engine.__file__
    assert platform.python_implementation() == "CPython"
