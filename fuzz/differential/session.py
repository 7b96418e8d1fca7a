"""Runs cases against both sides in a directory of its own, on one event loop."""

import asyncio
import os
import tempfile
from types import TracebackType
from typing import Self

from .cases import Case
from .comparing import Verdict, compare
from .running import Run, run_builtin, run_ours


class Session:
    """Runs cases in `directory` (a temporary one under it, removed at the end)."""

    def __init__(self, directory: str | None = None) -> None:
        self._directory = tempfile.TemporaryDirectory(
            prefix="larkspan-differential-", dir=directory
        )
        self._loop = asyncio.new_event_loop()
        self.directory = self._directory.name
        self.theirs = os.path.join(self._directory.name, "builtin")
        self.ours = os.path.join(self._directory.name, "larkspan")

    def run(self, case: Case) -> tuple[Run, Run, Verdict]:
        theirs = run_builtin(self.theirs, case)
        ours = run_ours(self.ours, case, self._loop)
        return theirs, ours, compare(case, theirs, ours)

    def verdict(self, case: Case) -> Verdict:
        return self.run(case)[2]

    def close(self) -> None:
        self._loop.close()
        self._directory.cleanup()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()
