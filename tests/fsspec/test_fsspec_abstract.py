"""fsspec's own suites for implementers (fsspec.tests.abstract: copy, get, put, open, pipe, mv), run
against larkspan.fsspec. Where a case cannot pass, it is marked with the reason."""

import os
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import fsspec
import fsspec.tests.abstract as abstract
import py
import pytest
from conftest import effective_user
from fsspec.tests.abstract import mv
from larkspan.fsspec import LarkspanFileSystem

NOBODY = 65534


class LarkspanFixtures(abstract.AbstractFixtures):  # type: ignore[misc]
    @pytest.fixture
    def fs(self) -> LarkspanFileSystem:
        # auto_mkdir: the suites copy into folders they never make, as they do with
        # LocalFileSystem(auto_mkdir=True), their own file system on the local side.
        return LarkspanFileSystem(auto_mkdir=True)

    @pytest.fixture
    def fs_path(self, tmp_path: Path) -> str:
        return str(tmp_path)


class TestCopy(abstract.AbstractCopyTests, LarkspanFixtures):  # type: ignore[misc]
    pass


class TestGet(abstract.AbstractGetTests, LarkspanFixtures):  # type: ignore[misc]
    pass


class TestPut(abstract.AbstractPutTests, LarkspanFixtures):  # type: ignore[misc]
    pass


class TestOpen(abstract.AbstractOpenTests, LarkspanFixtures):  # type: ignore[misc]
    pass


class TestPipe(abstract.AbstractPipeTests, LarkspanFixtures):  # type: ignore[misc]
    pass


# fsspec's move cases are module functions that ask fsspec.filesystem("file") for their file
# system; here that call gives larkspan's.
@pytest.fixture
def file_protocol_is_larkspan(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    real = fsspec.filesystem

    def filesystem(protocol: str, **options: Any) -> Any:
        return LarkspanFileSystem(**options) if protocol == "file" else real(protocol, **options)

    monkeypatch.setattr(fsspec, "filesystem", filesystem)
    yield


@pytest.mark.usefixtures("file_protocol_is_larkspan")
def test_move_raises_error_with_tmpdir(tmpdir: Any) -> None:
    mv.test_move_raises_error_with_tmpdir(tmpdir)


@pytest.mark.usefixtures("file_protocol_is_larkspan")
@pytest.mark.parametrize("recursive", [True, False], ids=["recursive", "flat"])
def test_move_raises_error_with_tmpdir_permission(recursive: bool, open_tmp_path: Path) -> None:
    # Root writes into a directory of mode 0o555, so the case runs as nobody, in a folder of its
    # own.
    os.chmod(open_tmp_path, 0o777)
    with effective_user(NOBODY):
        mv.test_move_raises_error_with_tmpdir_permission(recursive, py.path.local(open_tmp_path))
