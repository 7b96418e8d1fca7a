"""Runs cases against both sides in a directory of its own, on one event loop."""

import asyncio
import os
import tempfile
from collections import Counter
from dataclasses import replace
from types import TracebackType
from typing import Self

from .allowed import OUT_OF_ORDER
from .cases import Case
from .comparing import Verdict, compare
from .running import Run, run_builtin, run_ours


class Session:
    """Runs cases in `directory` (a temporary one under it, removed at the end)."""

    def __init__(self, directory: str | None = None) -> None:
        self._directory = tempfile.TemporaryDirectory(prefix="larkspan-differential-", dir=directory)
        self._loop = asyncio.new_event_loop()
        self.directory = self._directory.name
        self.theirs = os.path.join(self._directory.name, "builtin")
        self.ours = os.path.join(self._directory.name, "larkspan")

    def run(self, case: Case) -> tuple[Run, Run, Verdict]:
        theirs = run_builtin(self.theirs, case)
        ours = run_ours(self.ours, case, self._loop)
        verdict = compare(case, theirs, ours)
        at = verdict.diverged_at
        if at is not None and 0 <= at < len(case.calls) and case.calls[at][0] == "gather":
            if self._ran_in_the_other_order(case, at, ours):
                verdict = Verdict(allowed=verdict.allowed + Counter({OUT_OF_ORDER: 1}), ended_by=OUT_OF_ORDER)
        return theirs, ours, verdict

    def _ran_in_the_other_order(self, case: Case, at: int, ours: Run) -> bool:
        """Whether our gather() at `at` gave what builtin gives, under the allowed differences, for
        its two calls made the other way round."""
        mine = ours.outcomes[at]
        if mine[0] != "gather":
            return False
        _, first, second = case.calls[at]
        swapped = case.with_calls(case.calls[:at] + (("gather", second, first),))
        theirs = replace(run_builtin(self.theirs, swapped), disk=None)
        reordered = Run(ours.opened, ours.outcomes[:at] + (("gather", mine[2], mine[1]),), None)
        return compare(swapped, theirs, reordered).diverged_at is None

    def verdict(self, case: Case) -> Verdict:
        return self.run(case)[2]

    def close(self) -> None:
        self._loop.close()
        self._directory.cleanup()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

