"""Awaitable file I/O over the larkspan engine.

A call runs inline on the event loop when it cannot wait on storage: on cached data it takes
microseconds, far less than handing it to a worker thread would. A call that can wait (bytes not
in the page cache, a pipe, a FIFO, a network or FUSE file system, a copy large enough for the
loop to notice) runs on a worker thread while the loop goes on. Results, arguments and exceptions
are the engine's own.
"""

from . import os, ospath, shutil, tempfile
from ._async_file import AsyncFile
from ._atomic import replace_atomically
from ._file import FileHandle
from ._limiter import Limiter
from ._open import OpenContext, open, open_file
from ._path import Path
from ._text import TextHandle
from ._version import __version__
from ._whole_file import read_bytes, read_text, write_bytes, write_text
from ._workers import DEFAULT_MAX_WORKERS, set_max_workers
from ._wrapped import (
    WrappedFile,
    stderr,
    stderr_bytes,
    stdin,
    stdin_bytes,
    stdout,
    stdout_bytes,
    wrap_file,
)

__all__ = [
    "DEFAULT_MAX_WORKERS",
    "AsyncFile",
    "FileHandle",
    "Limiter",
    "OpenContext",
    "Path",
    "TextHandle",
    "WrappedFile",
    "__version__",
    "open",
    "open_file",
    "os",
    "ospath",
    "read_bytes",
    "read_text",
    "replace_atomically",
    "set_max_workers",
    "shutil",
    "stderr",
    "stderr_bytes",
    "stdin",
    "stdin_bytes",
    "stdout",
    "stdout_bytes",
    "tempfile",
    "wrap_file",
    "write_bytes",
    "write_text",
]
