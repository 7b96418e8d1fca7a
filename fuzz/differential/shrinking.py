"""Shrinks a diverging case to a short one that diverges the same way: the same step name and the
same kind of outcome on each side (a value, or an exception of the same class).

Each pass tries smaller variants and keeps the first that still diverges so: fewer calls (halves,
quarters, ... single calls), a gather() replaced by its calls, smaller arguments, less content
(chunks cut out, or made plain "x" bytes where cutting moves a boundary), plainer open() options.
It stops when a whole round keeps nothing, or when its time is up.
"""

import time
from collections.abc import Callable, Iterator
from dataclasses import replace
from typing import Any

from .cases import Call, Case
from .session import Session


class Shrinker:
    def __init__(self, session: Session, case: Case, seconds: float) -> None:
        self._session = session
        self._deadline = time.monotonic() + seconds
        self.target = session.verdict(case).signature(case)
        self.best = case
        self.runs = 0

    def still_diverges(self, case: Case) -> bool:
        self.runs += 1
        verdict = self._session.verdict(case)
        return verdict.diverged_at is not None and verdict.signature(case) == self.target

    def out_of_time(self) -> bool:
        return time.monotonic() > self._deadline

    def shrink(self) -> Case:
        if not self.target:
            return self.best
        self._cut_after_divergence()
        progress = True
        while progress and not self.out_of_time():
            progress = False
            for variants in (
                self._fewer_calls,
                self._ungathered,
                self._smaller_arguments,
                self._less_content,
                self._plainer_content,
                self._plainer_options,
            ):
                progress |= self._keep_first(variants)
        return self.best

    def _keep_first(self, variants: Callable[[Case], Iterator[Case]]) -> bool:
        """Keeps every variant that still diverges, trying the next ones against it."""
        kept = False
        restart = True
        while restart and not self.out_of_time():
            restart = False
            for variant in variants(self.best):
                if self.out_of_time():
                    break
                if variant != self.best and self.still_diverges(variant):
                    self.best = variant
                    kept = restart = True
                    break
        return kept

    def _cut_after_divergence(self) -> None:
        at = self._session.verdict(self.best).diverged_at
        if at is not None and 0 <= at < len(self.best.calls):
            shorter = self.best.with_calls(self.best.calls[: at + 1])
            if self.still_diverges(shorter):
                self.best = shorter

    @staticmethod
    def _fewer_calls(case: Case) -> Iterator[Case]:
        calls = case.calls
        size = len(calls) // 2
        while size >= 1:
            for start in range(0, len(calls), size):
                yield case.with_calls(calls[:start] + calls[start + size :])
            size //= 2

    @staticmethod
    def _ungathered(case: Case) -> Iterator[Case]:
        for index, call in enumerate(case.calls):
            if call[0] == "gather":
                for replacement in ((call[1], call[2]), (call[1],), (call[2],)):
                    yield case.with_calls(
                        case.calls[:index] + replacement + case.calls[index + 1 :]
                    )

    @staticmethod
    def _smaller_arguments(case: Case) -> Iterator[Case]:
        for index, call in enumerate(case.calls):
            for smaller in smaller_calls(call):
                yield case.with_calls(case.calls[:index] + (smaller,) + case.calls[index + 1 :])

    @staticmethod
    def _less_content(case: Case) -> Iterator[Case]:
        content = case.content
        if not content:
            return
        size = len(content) // 2
        while size >= 1:
            for start in range(0, len(content), size):
                yield replace(case, content=content[:start] + content[start + size :])
            size //= 2

    @staticmethod
    def _plainer_content(case: Case) -> Iterator[Case]:
        content = case.content
        if not content:
            return
        size = len(content) // 2
        while size >= 4:
            for start in range(0, len(content), size):
                piece = content[start : start + size]
                if piece != b"x" * len(piece):
                    yield replace(
                        case, content=content[:start] + b"x" * len(piece) + content[start + size :]
                    )
            size //= 2

    @staticmethod
    def _plainer_options(case: Case) -> Iterator[Case]:
        yield replace(case, buffering=-1)
        if not case.binary:
            yield replace(case, errors=None)
            yield replace(case, newline=None)
            yield replace(case, encoding="utf-8")


def smaller_calls(call: Call) -> Iterator[Call]:
    name, *arguments = call
    if name == "gather":
        for index in (1, 2):
            for smaller in smaller_calls(call[index]):
                yield call[:index] + (smaller,) + call[index + 1 :]
        return
    for index, argument in enumerate(arguments):
        for value in smaller_values(argument):
            yield (name, *arguments[:index], value, *arguments[index + 1 :])


def smaller_values(value: Any) -> Iterator[Any]:
    if isinstance(value, bool) or value is None:
        return
    if isinstance(value, int):
        for smaller in (0, 1, value // 2, value - 1):
            if abs(smaller) < abs(value):
                yield smaller
    elif isinstance(value, (str, bytes)):
        if len(value) > 1:
            yield value[: len(value) // 2]
            yield value[len(value) // 2 :]
            yield value[1:]
            yield value[:-1]
        if value:
            yield value[:0]
    elif isinstance(value, list):
        for index in range(len(value)):
            yield value[:index] + value[index + 1 :]
            for smaller in smaller_values(value[index]):
                yield value[:index] + [smaller] + value[index + 1 :]
