"""_larkspan_core for the tests. It is built for every supported CPython but loads only under 3.12,
so its tests skip, saying why, under the others (tests/front/test_versions.py checks the refusal).
"""

import importlib
import sys
from types import ModuleType

import pytest

BUILT_FOR = (3, 12)
LOADS = sys.version_info[:2] == BUILT_FOR
REASON = "_larkspan_core loads only under CPython 3.12; this is {}.{}".format(*sys.version_info[:2])
requires_core = pytest.mark.skipif(not LOADS, reason=REASON)


def core_or_skip() -> ModuleType:
    """The module; under another CPython, skips the calling test, or the module being collected."""
    if not LOADS:
        pytest.skip(REASON, allow_module_level=True)
    return importlib.import_module("_larkspan_core")
