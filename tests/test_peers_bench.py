"""The peers benchmark's machinery, with builtin open() as the oracle and larkspan as the one
library that is always installed: the workloads give equal results on small real files,
children that hang or crash are reported as such, mismatches never become rows, and the
chart is a well-formed SVG on a log scale."""

import asyncio
import hashlib
import os
import sys
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from dataclasses import replace
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import chart  # noqa: E402
import peers_bench as pb  # noqa: E402
import peers_report  # noqa: E402
from conftest import TIMEOUT  # noqa: E402
from peer_libraries import opener  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"
WORKLOAD = {w.name: w for w in pb.WORKLOADS}


@pytest.fixture
def place(tmp_path: Path) -> pb.Place:
    """The benchmark's file names over small files: the workloads read only what they need."""
    data = tmp_path / "data"
    data.mkdir()
    pb.write_payload(data / "cached-256m", pb.MIB + 3)
    pb.write_payload(data / "dropped-256m", 2 * pb.MIB, sync=True)
    pb.write_small_files(pb.Place(data).small_files(2000))
    return pb.Place(data, calls=300)


def run_workload(name: str, library: str, place: pb.Place) -> str:
    timer = pb.Timer(watch_loop=WORKLOAD[name].kind == pb.SCENARIO)
    return asyncio.run(pb.checked_run(WORKLOAD[name], opener(library), replace(place, library=library), timer))


# ---------------------------------------------------------------- workloads


@pytest.mark.parametrize("name", [
    "1. read() 256 MiB, cached",
    "2. read() 256 MiB, cache dropped",
    "6. 20 000 x write(100 B), cached",
    f"7. slow pipe: {pb.SLOW_LINES} x readline()",
    f"10. 2000 x open+read+close 4 KiB, {pb.TASKS} tasks",
    "write(100 B)",
    "readline()",
    "async for, per line",
    "read(4096)",
])
def test_larkspan_gives_what_builtin_gives(name: str, place: pb.Place) -> None:
    assert run_workload(name, "larkspan", place) == run_workload(name, "builtin", place)


@pytest.mark.parametrize(("name", "expected"), [
    ("readline()", lambda p: pb.digest((p.data / "cached-256m").read_bytes().splitlines(keepends=True)[
        pb.WARM_UP_CALLS : pb.WARM_UP_CALLS + p.calls])),
    ("write(100 B)", lambda p: hashlib.sha256(pb.CHUNK * (pb.WARM_UP_CALLS + p.calls)).hexdigest()),
    (f"10. 2000 x open+read+close 4 KiB, {pb.TASKS} tasks",
     lambda p: pb.digest([path.read_bytes() for path in p.small_files(2000)])),
], ids=["readline", "write", "many-files"])
def test_builtin_results_are_the_bytes_on_disk(name: str, expected: Callable[[pb.Place], str],
                                               place: pb.Place) -> None:
    assert run_workload(name, "builtin", place) == expected(place)


def test_data_is_lines_with_a_numbered_start_per_mib() -> None:
    blocks = list(pb.payload_blocks(2 * pb.MIB + 5))
    assert [len(b) for b in blocks] == [pb.MIB, pb.MIB, 5]
    assert blocks[0][: pb.LINE].endswith(b"\n") and blocks[0][pb.LINE - 1 :: pb.LINE].strip(b"\n") == b""
    assert blocks[0][:16] == b"000000000000000 " and blocks[1][:16] == b"000000000000001 "


@pytest.mark.parametrize(("value", "expected"), [
    ([b"ab", b"c"], [b"a", b"bc"]),  # boundaries count, not only the bytes
    ("line\n", b"line\n"),  # a str line is its UTF-8 bytes
], ids=["boundaries", "str-as-bytes"])
def test_digest_tells_boundaries_apart_but_not_str_from_bytes(value: object, expected: object) -> None:
    same = isinstance(value, str)
    assert (pb.digest(value) == pb.digest(expected)) is same


# ---------------------------------------------------------------- child processes


def test_a_fifo_read_runs_in_a_child_and_gives_the_line(place: pb.Place) -> None:
    outcome = pb.measure(WORKLOAD["5. FIFO, writer thread: readline()"], replace(place, library="builtin"), 1)
    assert (outcome.status, outcome.checks) == ("ok", [pb.digest(pb.CHUNK)])


def test_a_child_that_overruns_hangs_and_its_whole_session_is_killed(tmp_path: Path) -> None:
    pid_file = tmp_path / "grandchild"
    script = ("import subprocess, sys, time\n"
              "p = subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(600)'])\n"
              f"open({str(pid_file)!r}, 'w').write(str(p.pid))\n"
              "time.sleep(600)\n")
    outcome = pb.run_child([sys.executable, "-c", script], timeout_s=5.0)
    assert outcome.status == "hangs" and "5 s" in outcome.detail
    grandchild = int(pid_file.read_text())
    for _ in range(100):  # the kill reaches it at once, but it is reaped a little later
        if dead(grandchild):
            break
        time.sleep(0.05)
    else:
        pytest.fail("the grandchild outlived the timeout")


def dead(pid: int) -> bool:
    """No such process, or a zombie waiting to be reaped."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@pytest.mark.parametrize(("script", "message"), [
    ("raise ValueError('broken benchmark')", "ValueError: broken benchmark"),
    ("import sys; sys.exit(3)", "exit status 3"),
    ("pass", "exit status 0"),  # exited cleanly without a result
], ids=["exception", "exit-status", "no-result"])
def test_a_child_without_a_result_is_an_error(script: str, message: str) -> None:
    with pytest.raises(pb.ChildError, match=message):
        pb.run_child([sys.executable, "-c", script], timeout_s=TIMEOUT)


def test_an_os_error_from_the_library_is_a_result(tmp_path: Path) -> None:
    outcome = pb.run_in_child(WORKLOAD["1. read() 256 MiB, cached"], pb.Place(tmp_path, library="builtin"), 1)
    assert outcome["status"] == "fails" and "FileNotFoundError" in outcome["detail"]


# ---------------------------------------------------------------- checks and rows


def ok(*checks: str, times: tuple[float, ...] = (1e9,), gaps: tuple[int, ...] = (5,)) -> pb.Outcome:
    return pb.Outcome("ok", times_ns=list(times), gaps_ns=list(gaps), checks=list(checks))


@pytest.mark.parametrize(("outcomes", "kept", "blamed", "wrong"), [
    ({"larkspan": ok("a"), "builtin": ok("a"), "anyio": ok("a")}, ["larkspan", "builtin", "anyio"], [], []),
    ({"larkspan": ok("b"), "builtin": ok("a"), "anyio": ok("b")}, ["builtin", "anyio"], ["larkspan"], ["anyio"]),
    ({"larkspan": ok("a", "b"), "builtin": ok("a", "a")}, ["builtin"], ["larkspan"], []),
    ({"larkspan": pb.Outcome("hangs"), "builtin": ok("a"), "aiofile": pb.Outcome("fails")},
     ["larkspan", "builtin", "aiofile"], [], []),
    ({"larkspan": ok("a"), "builtin": pb.Outcome("hangs"), "anyio": ok("c")}, ["larkspan", "builtin", "anyio"], [],
     ["anyio"]),
], ids=["all-equal", "builtin-is-the-oracle", "runs-disagree", "unfinished-not-compared", "no-builtin-result"])
def test_a_wrong_result_is_our_error_or_the_peers_row(outcomes: dict[str, pb.Outcome], kept: list[str],
                                                      blamed: list[str], wrong: list[str]) -> None:
    errors: list[str] = []
    result = pb.matching("w", outcomes, errors)
    assert list(result) == kept
    assert [e.split(": Mismatch: ")[1].split()[0] for e in errors] == blamed
    assert [library for library, o in result.items() if o.status == "wrong"] == wrong


def test_rows_take_the_median_run_and_divide_by_larkspan() -> None:
    scenario = pb.Workload("s", WORKLOAD["1. read() 256 MiB, cached"].run)
    rows = pb.rows_for(scenario, {
        "larkspan": ok("a", "a", "a", times=(3e9, 1e9, 2e9), gaps=(30, 10, 20)),
        "anyio": ok("a", times=(6e9,)),
        "aiofile": pb.Outcome("hangs", "no result in 5 s"),
    })
    assert [(r.library, r.time_s, r.longest_gap_s, r.ratio) for r in rows] == [
        ("larkspan", 2.0, 20e-9, 1.0), ("anyio", 6.0, 5e-9, 3.0), ("aiofile", None, None, None)]


def test_without_a_larkspan_result_there_is_no_ratio() -> None:
    per_call = pb.Workload("p", WORKLOAD["write(100 B)"].run, kind=pb.PER_CALL)
    rows = pb.rows_for(per_call, {"larkspan": pb.Outcome("hangs"), "builtin": ok("a", times=(250.0,))})
    assert [(r.ns_per_call, r.ratio) for r in rows] == [(None, None), (250.0, None)]


@pytest.mark.parametrize(("path", "expected"), [
    ("/proc/self", "proc"),
    ("/dev/shm", "tmpfs"),
], ids=["proc", "shm"])
def test_file_system_type_is_the_longest_mount(path: str, expected: str) -> None:
    if not os.path.isdir(path):
        pytest.skip(f"needs {path}")
    assert pb.file_system_type(Path(path)) == expected


def test_the_dropped_cache_scenario_is_skipped_on_tmpfs() -> None:
    if not os.path.isdir("/dev/shm"):
        pytest.skip("needs /dev/shm")
    reason = pb.skip_reason(WORKLOAD["2. read() 256 MiB, cache dropped"], pb.Place(Path("/dev/shm")), None)
    assert reason is not None and "tmpfs" in reason
    assert pb.skip_reason(WORKLOAD["4. read() 8 MiB, FUSE"], pb.Place(Path("/")), "no FUSE") == "no FUSE"


# ---------------------------------------------------------------- table and chart


def sample_rows() -> list[peers_report.PeerRow]:
    return [
        peers_report.PeerRow("5. FIFO", "larkspan", peers_report.SCENARIO, "hangs", detail="no result in 6 s"),
        peers_report.PeerRow("5. FIFO", "builtin", peers_report.SCENARIO, "ok", time_s=0.012, longest_gap_s=0.013),
        peers_report.PeerRow("5. FIFO", "aiofile", peers_report.SCENARIO, "fails", detail="OSError: <pipe> & co"),
        peers_report.PeerRow("write(100 B)", "larkspan", peers_report.PER_CALL, "ok", ns_per_call=200.0, ratio=1.0),
        peers_report.PeerRow("write(100 B)", "anyio", peers_report.PER_CALL, "ok", ns_per_call=52_000.0, ratio=260.0),
    ]


def test_the_table_shows_hangs_failures_and_ratios(capsys: pytest.CaptureFixture[str]) -> None:
    peers_report.print_table(sample_rows(), ["FUSE rows skipped: absent"])
    out = capsys.readouterr().out
    for expected in ("hangs", "no result in 6 s", "OSError: <pipe> & co", "52,000", "260.00",
                     "note: FUSE rows skipped: absent"):
        assert expected in out


def test_the_chart_is_svg_with_every_group_and_status() -> None:
    root = ET.fromstring(peers_report.chart_svg(sample_rows()))
    texts = [t.text for t in root.iter(f"{SVG}text")]
    for expected in ("5. FIFO", "write(100 B)", "larkspan hangs", "aiofile fails: OSError: <pipe> & co",
                     "200 ns", "52 µs", "13 ms"):
        assert expected in texts
    # The hanging bar runs faded across the plot; the failing one has none.
    faded = [r for r in root.iter(f"{SVG}rect") if r.get("fill-opacity")]
    assert len(faded) == 1 and float(faded[0].get("width")) == pytest.approx(chart.PLOT_WIDTH)


@pytest.mark.parametrize(("values", "decades"), [
    ([2e-7, 5e-5], (-7, -4)),
    ([1e-3, 1e-3], (-3, -2)),  # one value still spans a decade
    ([0.02, 7.0], (-2, 1)),
], ids=["ns-to-us", "single", "ms-to-s"])
def test_the_scale_spans_whole_decades_evenly(values: list[float], decades: tuple[int, int]) -> None:
    scale = chart.LogScale(values)
    assert (scale.low, scale.high) == decades
    edges = [scale.x(v) for v in scale.decades()]
    assert edges[0] == chart.PLOT_LEFT and edges[-1] == chart.PLOT_LEFT + chart.PLOT_WIDTH
    steps = {round(b - a, 6) for a, b in zip(edges, edges[1:])}
    assert len(steps) == 1
    assert all(edges[0] <= scale.x(v) <= edges[-1] for v in values)


@pytest.mark.parametrize(("seconds", "label"), [
    (2e-7, "200 ns"), (1e-6, "1 µs"), (4.25e-5, "42.5 µs"), (0.0123, "12.3 ms"), (1.0, "1 s"), (75.0, "75 s"),
])
def test_duration_labels(seconds: float, label: str) -> None:
    assert chart.duration_label(seconds) == label
