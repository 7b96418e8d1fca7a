"""Differential fuzzing of larkspan's handles against builtin open()'s files.

    python -m differential [seconds] [--seed N] [--dir DIRECTORY] [--keep-going]
    python -m differential --replay CASE_SEED

Runs random sequences of calls on both sides for `seconds` (60 unless told) and compares every
outcome, under the differences in allowed.py only. A sequence is made from its case seed alone,
so `--replay` runs it again. On a divergence the case is shrunk to a short one, printed as a
Python program that shows both sides and as a Case literal for tests/tools/test_differential.py, and
the run exits with status 1 (with --keep-going, after the time is up, once per new signature).
"""

import argparse
import random
import sys
import time
from collections import Counter
from dataclasses import dataclass, field

from .cases import Case, make_case
from .comparing import Verdict
from .reproducer import case_literal, reproducer
from .session import Session
from .shrinking import Shrinker

SHRINK_SECONDS = 120.0


@dataclass
class Tally:
    sequences: int = 0
    calls: int = 0
    allowed: Counter[str] = field(default_factory=Counter)
    ended_by: Counter[str] = field(default_factory=Counter)
    found: dict[tuple[object, ...], Case] = field(default_factory=dict)

    def add(self, case: Case, verdict: Verdict) -> None:
        self.sequences += 1
        self.calls += len(case.calls)
        self.allowed.update(verdict.allowed)
        if verdict.ended_by is not None:
            self.ended_by[verdict.ended_by] += 1

    def report(self, seconds: float) -> str:
        minutes = seconds / 60
        lines = [
            f"{self.sequences} sequences, {self.calls} calls in {seconds:.0f} s: "
            f"{self.sequences / minutes:.0f} sequences and {self.calls / minutes:.0f} calls a "
            f"minute; "
            f"{len(self.found)} divergence(s)"
        ]
        lines += [f"  allowed {count:6} x {name}" for name, count in self.allowed.most_common()]
        lines += [f"  ended   {count:6} x {name}" for name, count in self.ended_by.most_common()]
        return "\n".join(lines)


def case_seed(master: int, index: int) -> int:
    return master * 1_000_000 + index


def fuzz(session: Session, seconds: float, master: int, keep_going: bool) -> Tally:
    tally = Tally()
    start = time.monotonic()
    index = 0
    while time.monotonic() - start < seconds:
        case = make_case(case_seed(master, index))
        index += 1
        verdict = session.verdict(case)
        tally.add(case, verdict)
        if verdict.diverged_at is not None:
            signature = verdict.signature(case)
            if signature not in tally.found:
                tally.found[signature] = case
                print(f"divergence in case {case.seed}: {signature}", flush=True)
            if not keep_going:
                break
    return tally


def explain(session: Session, case: Case) -> None:
    """Shrinks the diverging `case` and prints what it takes to see and keep the divergence."""
    print(
        f"\ncase {case.seed} ({len(case.calls)} calls, {len(case.content or b'')} bytes); "
        "shrinking...",
        flush=True,
    )
    shrinker = Shrinker(session, case, SHRINK_SECONDS)
    if not shrinker.target:
        print(
            "it does not diverge when run again (timing: a race, or pages cached or not); "
            "as it ran:"
        )
        print("# ---- reproducer " + "-" * 60 + "\n" + reproducer(case))
        print("# ---- the case " + "-" * 62 + "\n" + case_literal(case) + "\n")
        return
    small = shrinker.shrink()
    _, _, verdict = session.run(small)
    at = verdict.diverged_at
    where = (
        "open()"
        if at == -1
        else "the bytes on disk"
        if at is not None and at >= len(small.calls)
        else (f"call {at}: {small.calls[at] if at is not None else None}")
    )
    print(
        f"shrunk to {len(small.calls)} calls and {len(small.content or b'')} bytes "
        f"in {shrinker.runs} runs; "
        f"it diverges at {where}"
    )
    print(f"  builtin:  {verdict.theirs!r:.500}\n  larkspan: {verdict.ours!r:.500}")
    print(f"\nreplay: bash scripts/fuzz-differential --replay {case.seed}")
    print("\n# ---- reproducer " + "-" * 60 + "\n" + reproducer(small))
    print(
        "# ---- for the table in tests/tools/test_differential.py "
        + "-" * 28
        + "\n"
        + case_literal(small)
        + "\n"
    )


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("seconds", nargs="?", type=float, default=60.0)
    parser.add_argument(
        "--seed", type=int, help="the run's seed (random unless given); case seeds derive from it"
    )
    parser.add_argument(
        "--replay", type=int, metavar="CASE_SEED", help="run the case of this seed only"
    )
    parser.add_argument(
        "--dir", help="where the files are made (a disk evicts pages; tmpfs does not)"
    )
    parser.add_argument(
        "--keep-going", action="store_true", help="fuzz for the whole time, collecting divergences"
    )
    options = parser.parse_args()
    with Session(options.dir) as session:
        if options.replay is not None:
            case = make_case(options.replay)
            verdict = session.verdict(case)
            if verdict.diverged_at is None:
                print(f"case {case.seed}: no divergence ({len(case.calls)} calls)")
                return 0
            explain(session, case)
            return 1
        master = options.seed if options.seed is not None else random.randrange(1, 1_000_000)
        print(
            f"differential fuzzing for {options.seconds:.0f} s, seed {master} "
            f"(in {session.directory})",
            flush=True,
        )
        started = time.monotonic()
        tally = fuzz(session, options.seconds, master, options.keep_going)
        print(tally.report(time.monotonic() - started))
        for case in tally.found.values():
            explain(session, case)
        return 1 if tally.found else 0


if __name__ == "__main__":
    sys.exit(main())
