"""The differential fuzzer: larkspan's handles against builtin open()'s files (run it as
`python -m differential`, or `bash scripts/fuzz-differential`).

cases.py makes a sequence from a seed; running.py runs it on both sides; comparing.py compares
them under the differences in allowed.py; oracle.py is builtin's files with CPython 3.12's faults
corrected; shrinking.py and reproducer.py turn a divergence into a short program; session.py holds
the directory and the event loop.

Why a seeded generator and a shrinker of its own, not Hypothesis' stateful testing:
- A sequence comes from one integer, so `--replay SEED` runs it again anywhere, with no example
  database and no reproduction blob tied to a Hypothesis version; CI prints the seeds it ran.
- A run is bounded by time (a minute in CI), not by a count of examples, and spends it on files:
  about ten thousand sequences a minute on this machine.
- A shrunk case must diverge the same way (the same call, the same kind of outcome on each side)
  and must not slide into an allowed difference, and content shrinks by moves of the domain: cut a
  chunk out, or blank it so that the boundaries after it stay where they were.
- A divergence is shown as a plain program over open() and larkspan.open(), not as the steps of a
  state machine.
What Hypothesis does better, a shrinker that knows more tricks, matters little here: cases are a
few dozen calls, and the shrinker takes them to a handful in seconds.
"""
