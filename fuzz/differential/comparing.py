"""Compares the two runs of a case step by step, under the allowed differences: open(), each call,
then the bytes on disk after close."""

from collections import Counter
from dataclasses import dataclass, field

from .allowed import EVERY_DIFFERENCE, Step
from .cases import Call, Case, Outcome
from .running import Run

OPEN = -1  # where a divergence in open() is reported
OPENING: Call = ("open",)
ON_DISK: Call = ("bytes on disk",)  # the last step, after close


@dataclass
class Verdict:
    """Where the runs first diverge (None: nowhere; OPEN; a call's index; len(calls): on disk),
    what each side gave there, the allowed differences met, and the one that ended the comparison
    early, if any."""

    diverged_at: int | None = None
    theirs: Outcome = ()
    ours: Outcome = ()
    allowed: Counter[str] = field(default_factory=Counter)
    ended_by: str | None = None

    def signature(self, case: Case) -> tuple[object, ...]:
        """What a shrunk case must keep diverging on: the step's name and each side's kind of
        outcome."""
        if self.diverged_at is None:
            return ()
        if self.diverged_at == OPEN:
            return ("open", kind(self.theirs[0]), kind(self.ours[0]))
        if self.diverged_at >= len(case.calls):
            return ("disk",)
        return (case.calls[self.diverged_at][0], kind(self.theirs), kind(self.ours))


def kind(outcome: Outcome) -> object:
    if outcome[:1] == ("raised",):
        return outcome[:2]
    if outcome[:1] == ("gather",):
        return ("gather", kind(outcome[1]), kind(outcome[2]))
    return "value"


def compare(case: Case, theirs: Run, ours: Run) -> Verdict:
    verdict = Verdict()
    opened_well = theirs.opened[0] == ("ok", None)
    calls = case.calls if opened_well else ()  # none ran when open() failed
    steps = [(OPEN, Step(case, theirs.opened, OPENING, theirs.opened, ours.opened, ()))]
    if ours.opened[0] == theirs.opened[0]:
        steps += [
            (index, Step(case, theirs.opened, call, their, our, calls[:index]))
            for index, (call, their, our) in enumerate(
                zip(calls, theirs.outcomes, ours.outcomes, strict=True)
            )
        ]
        on_disk = Step(case, theirs.opened, ON_DISK, ("ok", theirs.disk), ("ok", ours.disk), calls)
        steps.append((len(case.calls), on_disk))
    for index, step in steps:
        if step.theirs != step.ours:
            allowing = allowed_by(step)
            if allowing is None:
                verdict.diverged_at, verdict.theirs, verdict.ours = index, step.theirs, step.ours
                return verdict
            verdict.allowed[allowing] += 1
        ending = next(
            (name for part in parts(step) for name, d in EVERY_DIFFERENCE.items() if d.ends(part)),
            None,
        )
        if ending is not None:
            verdict.ended_by = ending
            return verdict
    return verdict


def parts(step: Step) -> list[Step]:
    """The step, and for a gather() each of its two calls as a step of its own (the second after
    the first)."""
    if step.call[0] != "gather" or step.theirs[0] != "gather" or step.ours[0] != "gather":
        return [step]
    first = Step(step.case, step.opened, step.call[1], step.theirs[1], step.ours[1], step.before)
    second = Step(
        step.case,
        step.opened,
        step.call[2],
        step.theirs[2],
        step.ours[2],
        step.before + (step.call[1],),
    )
    return [step, first, second]


def allowed_by(step: Step) -> str | None:
    """The difference that allows the step's outcomes; for a gather(), one that allows each of its
    calls whose outcomes differ, up to one after which the files' states may differ."""
    found = next((name for name, d in EVERY_DIFFERENCE.items() if d.allows(step)), None)
    if found is not None or len(parts(step)) == 1:
        return found
    for part in parts(step)[1:]:
        if part.theirs != part.ours:
            found = allowed_by(part)
            if found is None:
                return None
            if any(d.ends(part) for d in EVERY_DIFFERENCE.values()):
                break
    return found
