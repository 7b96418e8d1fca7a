"""Shared fixtures: real files in a temporary directory."""

from collections.abc import Callable

import pytest

from _larkspan_core import AsyncFile


@pytest.fixture
def make_file(tmp_path) -> Callable[..., str]:
    """Creates a file holding `content` and returns its path as a str."""
    counter = iter(range(1_000_000))

    def make(content: bytes = b"", name: str | None = None) -> str:
        path = tmp_path / (name or f"file{next(counter)}")
        path.write_bytes(content)
        return str(path)

    return make


@pytest.fixture
def opened(make_file) -> Callable[..., AsyncFile]:
    """Opens an AsyncFile over a new file holding `content`; closed after the test."""
    files: list[AsyncFile] = []

    def open_with(content: bytes = b"", mode: str = "rb") -> AsyncFile:
        f = AsyncFile(make_file(content), mode).open()
        files.append(f)
        return f

    yield open_with
    for f in files:
        try:
            f.close()
        except RuntimeError:
            pass  # a test that left bytes the stream refuses; destruction drops them
