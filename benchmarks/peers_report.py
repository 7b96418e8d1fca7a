"""The peers benchmark's rows, and how they are shown: the table bench.py prints below its
own and the chart it writes beside its JSON."""

import datetime
import os
import platform
from collections.abc import Callable
from dataclasses import dataclass

from chart import Bar, Group, Panel, duration_label, render
from peer_libraries import LIBRARIES, PEERS, version

SCENARIO, PER_CALL = "scenario", "per call"


@dataclass
class PeerRow:
    workload: str
    library: str
    kind: str
    status: str
    time_s: float | None = None  # median run of a scenario
    longest_gap_s: float | None = None  # longest loop gap in the median run of a scenario
    ns_per_call: float | None = None
    ratio: float | None = None  # this library's time / larkspan's: above 1, larkspan is faster
    detail: str = ""


def duration(seconds: float | None) -> str:
    if seconds is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def cell_time(row: PeerRow) -> str:
    if row.status != "ok":
        return row.status
    return duration(row.time_s) if row.kind == SCENARIO else f"{row.ns_per_call:,.0f} ns"


def print_table(rows: list[PeerRow], notes: list[str]) -> None:
    versions = ", ".join(f"{peer} {version(peer)}" for peer in PEERS if version(peer))
    print(f"\nlarkspan's asyncio front against {versions}; builtin: open() called straight in the coroutine")
    header = ("workload", "library", "time", "longest gap", "ns/call", "vs larkspan", "note")
    cells = [header]
    for n, r in enumerate(rows):
        first = n == 0 or rows[n - 1].workload != r.workload
        cells.append((r.workload if first else "", r.library,
                      duration(r.time_s) if r.status == "ok" else r.status, duration(r.longest_gap_s),
                      f"{r.ns_per_call:,.0f}" if r.ns_per_call is not None else "",
                      f"{r.ratio:.2f}" if r.ratio is not None else "", r.detail))
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    for n, row in enumerate(cells):
        print("  ".join(c.ljust(w) if i in (0, 1, 6) else c.rjust(w)
                        for i, (c, w) in enumerate(zip(row, widths))).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))
    print("vs larkspan: the library's time (or ns/call) / larkspan's; above 1, larkspan is faster")
    for note in notes:
        print(f"note: {note}")


def machine() -> str:
    """What the figures came from: cores this process may use, kernel and date."""
    return (f"{len(os.sched_getaffinity(0))} CPUs, {platform.system()} {platform.release()}, "
            f"{datetime.date.today().isoformat()}")


def chart_bar(row: PeerRow, seconds: float | None) -> Bar:
    if row.status == "hangs":
        return Bar(row.library, None, f"{row.library} hangs", open_ended=True)
    if seconds is None:
        return Bar(row.library, None, f"{row.library} {row.status}: {row.detail}")
    return Bar(row.library, seconds, duration_label(seconds))


def chart_svg(rows: list[PeerRow]) -> str:
    """The small operations' cost per call and the scenarios' longest loop gaps, per library, and
    the time of the scenarios of libraries beyond the peer file libraries (fsspec file systems,
    zarr stores), whose rows compare different things from the file libraries'."""
    named = [library for library in LIBRARIES if any(r.library == library for r in rows)]
    libraries = named + list(dict.fromkeys(r.library for r in rows if r.library not in LIBRARIES))

    def groups(kind: str, seconds: Callable[[PeerRow], float | None]) -> list[Group]:
        names = list(dict.fromkeys(r.workload for r in rows if r.kind == kind))
        return [Group(name, [chart_bar(r, seconds(r)) for r in rows if r.workload == name]) for name in names]

    per_call = groups(PER_CALL, lambda r: None if r.ns_per_call is None else r.ns_per_call / 1e9)
    gaps = groups(SCENARIO, lambda r: r.longest_gap_s)
    beyond = {r.workload for r in rows if r.library not in LIBRARIES}
    times = [group for group in groups(SCENARIO, lambda r: r.time_s) if group.label in beyond]
    return render(
        "larkspan's asyncio front against peer async file libraries",
        f"{machine()}; builtin: open() called straight in the coroutine; shorter is better",
        libraries,
        [Panel("Cost of one call on a cached file (log scale)", per_call),
         Panel("Longest wait of a task that sleeps 1 ms, during each scenario (log scale)", gaps),
         *([Panel("Time of each fsspec and zarr scenario (log scale)", times)] if times else [])],
    )
