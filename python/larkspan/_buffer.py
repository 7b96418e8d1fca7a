"""Buffer, the type of what a read fills and a write takes, under every supported CPython:
collections.abc has it from 3.12 on, typing_extensions before."""

import sys

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__ = ["Buffer"]
