"""The peers benchmark's rows, and how they are shown: the table bench.py prints below its
own and the chart it writes beside its JSON."""

import datetime
import os
import platform
from collections.abc import Callable
from dataclasses import dataclass

from chart import Bar, Group, Panel, duration_label, render
from device_limit import FIO_SHAPES
from peer_libraries import LIBRARIES, PEERS, version

DEVICE = tuple(shape.label for shape in FIO_SHAPES)  # rows of the device's rate, which have no loop

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
    per_s: float | None = None  # reads or files per second, where the scenario counts them
    time_charted: bool = False  # the chart draws the scenario's time, not only its gaps
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
    print(
        f"\nlarkspan's asyncio front against {versions}; "
        "builtin: open() called straight in the coroutine"
    )
    header = (
        "workload",
        "library",
        "time",
        "per s",
        "longest gap",
        "ns/call",
        "vs larkspan",
        "note",
    )
    cells = [header]
    for n, r in enumerate(rows):
        first = n == 0 or rows[n - 1].workload != r.workload
        cells.append(
            (
                r.workload if first else "",
                r.library,
                duration(r.time_s) if r.status == "ok" else r.status,
                f"{r.per_s:,.0f}" if r.per_s is not None else "",
                duration(r.longest_gap_s),
                f"{r.ns_per_call:,.0f}" if r.ns_per_call is not None else "",
                f"{r.ratio:.2f}" if r.ratio is not None else "",
                r.detail,
            )
        )
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    for n, row in enumerate(cells):
        print(
            "  ".join(
                c.ljust(w) if i in (0, 1, 7) else c.rjust(w)
                for i, (c, w) in enumerate(zip(row, widths))
            ).rstrip()
        )
        if n == 0:
            print("  ".join("-" * w for w in widths))
    print("vs larkspan: the library's time (or ns/call) / larkspan's; above 1, larkspan is faster")
    print("per s: reads or files per second; fio's time is the same reads at the rate it reached")
    for note in notes:
        print(f"note: {note}")


def machine() -> str:
    """What the figures came from: cores this process may use, kernel and date."""
    return (
        f"{len(os.sched_getaffinity(0))} CPUs, {platform.system()} {platform.release()}, "
        f"{datetime.date.today().isoformat()}"
    )


def chart_bar(row: PeerRow, seconds: float | None) -> Bar:
    if row.status == "hangs":
        return Bar(row.library, None, f"{row.library} hangs", open_ended=True)
    if seconds is None:
        return Bar(row.library, None, f"{row.library} {row.status}: {row.detail}")
    return Bar(row.library, seconds, duration_label(seconds))


def chart_svg(rows: list[PeerRow]) -> str:
    """The small operations' cost per call and the scenarios' longest loop gaps, per library; the
    time of the cold storage scenarios, with the device's own (fio) beside the libraries'; and the
    time of the scenarios of libraries beyond the peer file libraries (fsspec file systems, zarr
    stores), whose rows compare different things from the file libraries'."""
    named = [library for library in LIBRARIES if any(r.library == library for r in rows)]
    libraries = named + list(dict.fromkeys(r.library for r in rows if r.library not in LIBRARIES))

    def groups(
        kind: str, seconds: Callable[[PeerRow], float | None], with_device: bool = False
    ) -> list[Group]:
        shown = [r for r in rows if r.kind == kind and (with_device or r.library not in DEVICE)]
        names = list(dict.fromkeys(r.workload for r in shown))
        return [
            Group(name, [chart_bar(r, seconds(r)) for r in shown if r.workload == name])
            for name in names
        ]

    per_call = groups(PER_CALL, lambda r: None if r.ns_per_call is None else r.ns_per_call / 1e9)
    gaps = groups(SCENARIO, lambda r: r.longest_gap_s)
    charted = {r.workload for r in rows if r.time_charted}
    cold = [
        group
        for group in groups(SCENARIO, lambda r: r.time_s, with_device=True)
        if group.label in charted
    ]
    beyond = {r.workload for r in rows if r.library not in LIBRARIES + DEVICE}
    times = [group for group in groups(SCENARIO, lambda r: r.time_s) if group.label in beyond]
    return render(
        "larkspan's asyncio front against peer async file libraries",
        f"{machine()}; builtin: open() called straight in the coroutine; shorter is better",
        libraries,
        [
            Panel("Cost of one call on a cached file (log scale)", per_call),
            Panel(
                "Longest wait of a task that sleeps 1 ms, during each scenario (log scale)", gaps
            ),
            *(
                [
                    Panel(
                        "Time of the many-file and cold storage scenarios; "
                        "fio: the same reads at its rate (log scale)",
                        cold,
                    )
                ]
                if cold
                else []
            ),
            *([Panel("Time of each fsspec and zarr scenario (log scale)", times)] if times else []),
        ],
    )
