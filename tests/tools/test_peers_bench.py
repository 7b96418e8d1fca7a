"""The peers benchmark's machinery, with builtin open() as the oracle and larkspan as the one
library that is always installed: the workloads give equal results on small real files,
children that hang or crash are reported as such, mismatches never become rows, and the
chart is a well-formed SVG on a log scale."""

import asyncio
import hashlib
import itertools
import os
import shutil
import sys
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterator
from dataclasses import replace
from pathlib import Path

import chart  # with the other tools' modules, found on the path that conftest sets
import device_limit
import latencyfs
import peers_bench as pb
import peers_report
import pytest
from conftest import TIMEOUT
from peer_libraries import PEERS, opener, positional_reader, version

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
    pb.write_small_files(pb.Place(data).cold_files(pb.COLD_FILES), pb.COLD_FILE_SIZE)
    os.sync()  # dirty pages cannot be dropped
    return pb.Place(data, calls=300)


RANDOM_READS = [
    "15. cold random 4 KiB reads, seek+read",
    "16. cold random 4 KiB reads, shared pread",
]
COLD_FILES = f"17. {pb.COLD_FILES} x open+read+close 16 KiB, cold"
FUSE_DIRECT = [
    "18. one read() of 8 MiB, FUSE direct I/O",
    "19. one write() of 8 MiB, FUSE direct I/O",
]


def run_workload(name: str, library: str, place: pb.Place) -> str:
    timer = pb.Timer(watch_loop=WORKLOAD[name].kind == pb.SCENARIO)
    return asyncio.run(
        pb.checked_run(WORKLOAD[name], opener(library), replace(place, library=library), timer)
    )


# ---------------------------------------------------------------- workloads


@pytest.mark.parametrize(
    "name",
    [
        "1. read() 256 MiB, cached",
        "2. read() 256 MiB, cache dropped",
        "6. 20 000 x write(100 B), cached",
        f"7. slow pipe: {pb.SLOW_LINES} x readline()",
        f"10. 2000 x open+read+close 4 KiB, {pb.TASKS} tasks",
        *RANDOM_READS,
        COLD_FILES,
        "write(100 B)",
        "readline()",
        "async for, per line",
        "read(4096)",
    ],
)
def test_larkspan_gives_what_builtin_gives(name: str, place: pb.Place) -> None:
    assert run_workload(name, "larkspan", place) == run_workload(name, "builtin", place)


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        (
            "readline()",
            lambda p: pb.digest(
                (p.data / "cached-256m")
                .read_bytes()
                .splitlines(keepends=True)[pb.WARM_UP_CALLS : pb.WARM_UP_CALLS + p.calls]
            ),
        ),
        (
            "write(100 B)",
            lambda p: hashlib.sha256(pb.CHUNK * (pb.WARM_UP_CALLS + p.calls)).hexdigest(),
        ),
        (
            f"10. 2000 x open+read+close 4 KiB, {pb.TASKS} tasks",
            lambda p: pb.digest([path.read_bytes() for path in p.small_files(2000)]),
        ),
        (RANDOM_READS[0], lambda p: pb.digest(random_blocks(p))),
        (RANDOM_READS[1], lambda p: pb.digest(random_blocks(p))),
        (
            COLD_FILES,
            lambda p: pb.digest([path.read_bytes() for path in p.cold_files(pb.COLD_FILES)]),
        ),
    ],
    ids=["readline", "write", "many-files", "random-seek", "random-pread", "cold-files"],
)
def test_builtin_results_are_the_bytes_on_disk(
    name: str, expected: Callable[[pb.Place], str], place: pb.Place
) -> None:
    assert run_workload(name, "builtin", place) == expected(place)


def random_blocks(place: pb.Place) -> list[bytes]:
    """The blocks at the random reads' offsets, sliced out of the file as builtin reads it whole."""
    path = place.data / place.random_file
    data = path.read_bytes()
    return [data[offset : offset + pb.BLOCK] for offset in pb.random_offsets(path)]


def test_random_offsets_are_distinct_blocks_the_same_in_every_run(place: pb.Place) -> None:
    path = place.data / place.random_file
    offsets = pb.random_offsets(path)
    assert (
        len(offsets) == len(set(offsets)) == path.stat().st_size // pb.BLOCK
    )  # a small file: every block
    assert all(offset % pb.BLOCK == 0 for offset in offsets) and offsets != sorted(offsets)
    assert pb.random_offsets(path) == offsets


@pytest.mark.parametrize("library", ["larkspan", "builtin", *PEERS])
def test_every_positional_reader_reads_at_offsets_on_one_handle(
    library: str, tmp_path: Path
) -> None:
    if library in PEERS and version(library) is None:
        pytest.skip(f"{library} is not installed")
    path = tmp_path / "data"
    pb.write_payload(path, 3 * pb.BLOCK + 5)
    data = path.read_bytes()

    async def read_at(offsets: list[int]) -> list[bytes]:
        async with positional_reader(library)(path) as pread:
            return list(await asyncio.gather(*(pread(pb.BLOCK, offset) for offset in offsets)))

    offsets = [
        2 * pb.BLOCK,
        0,
        3 * pb.BLOCK,
        4 * pb.BLOCK,
    ]  # the last two: the short tail, then the end
    assert asyncio.run(read_at(offsets)) == [data[o : o + pb.BLOCK] for o in offsets]


def test_data_is_lines_with_a_numbered_start_per_mib() -> None:
    blocks = list(pb.payload_blocks(2 * pb.MIB + 5))
    assert [len(b) for b in blocks] == [pb.MIB, pb.MIB, 5]
    assert (
        blocks[0][: pb.LINE].endswith(b"\n")
        and blocks[0][pb.LINE - 1 :: pb.LINE].strip(b"\n") == b""
    )
    assert blocks[0][:16] == b"000000000000000 " and blocks[1][:16] == b"000000000000001 "


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ([b"ab", b"c"], [b"a", b"bc"]),  # boundaries count, not only the bytes
        ("line\n", b"line\n"),  # a str line is its UTF-8 bytes
    ],
    ids=["boundaries", "str-as-bytes"],
)
def test_digest_tells_boundaries_apart_but_not_str_from_bytes(
    value: object, expected: object
) -> None:
    same = isinstance(value, str)
    assert (pb.digest(value) == pb.digest(expected)) is same


# ---------------------------------------------------------------- child processes


def test_a_fifo_read_runs_in_a_child_and_gives_the_line(place: pb.Place) -> None:
    outcome = pb.measure(
        WORKLOAD["5. FIFO, writer thread: readline()"], replace(place, library="builtin"), 1
    )
    assert (outcome.status, outcome.checks) == ("ok", [pb.digest(pb.CHUNK)])


def test_a_child_that_overruns_hangs_and_its_whole_session_is_killed(tmp_path: Path) -> None:
    pid_file = tmp_path / "grandchild"
    script = (
        "import subprocess, sys, time\n"
        "p = subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(600)'])\n"
        f"open({str(pid_file)!r}, 'w').write(str(p.pid))\n"
        "time.sleep(600)\n"
    )
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


@pytest.mark.parametrize(
    ("script", "message"),
    [
        ("raise ValueError('broken benchmark')", "ValueError: broken benchmark"),
        ("import sys; sys.exit(3)", "exit status 3"),
        ("pass", "exit status 0"),  # exited cleanly without a result
    ],
    ids=["exception", "exit-status", "no-result"],
)
def test_a_child_without_a_result_is_an_error(script: str, message: str) -> None:
    with pytest.raises(pb.ChildError, match=message):
        pb.run_child([sys.executable, "-c", script], timeout_s=TIMEOUT)


def test_an_os_error_from_the_library_is_a_result(tmp_path: Path) -> None:
    outcome = pb.run_in_child(
        WORKLOAD["1. read() 256 MiB, cached"], pb.Place(tmp_path, library="builtin"), 1
    )
    assert outcome["status"] == "fails" and "FileNotFoundError" in outcome["detail"]


# ---------------------------------------------------------------- checks and rows


def ok(*checks: str, times: tuple[float, ...] = (1e9,), gaps: tuple[int, ...] = (5,)) -> pb.Outcome:
    return pb.Outcome("ok", times_ns=list(times), gaps_ns=list(gaps), checks=list(checks))


@pytest.mark.parametrize(
    ("outcomes", "kept", "blamed", "wrong"),
    [
        (
            {"larkspan": ok("a"), "builtin": ok("a"), "anyio": ok("a")},
            ["larkspan", "builtin", "anyio"],
            [],
            [],
        ),
        (
            {"larkspan": ok("b"), "builtin": ok("a"), "anyio": ok("b")},
            ["builtin", "anyio"],
            ["larkspan"],
            ["anyio"],
        ),
        ({"larkspan": ok("a", "b"), "builtin": ok("a", "a")}, ["builtin"], ["larkspan"], []),
        (
            {"larkspan": pb.Outcome("hangs"), "builtin": ok("a"), "aiofile": pb.Outcome("fails")},
            ["larkspan", "builtin", "aiofile"],
            [],
            [],
        ),
        (
            {"larkspan": ok("a"), "builtin": pb.Outcome("hangs"), "anyio": ok("c")},
            ["larkspan", "builtin", "anyio"],
            [],
            ["anyio"],
        ),
    ],
    ids=[
        "all-equal",
        "builtin-is-the-oracle",
        "runs-disagree",
        "unfinished-not-compared",
        "no-builtin-result",
    ],
)
def test_a_wrong_result_is_our_error_or_the_peers_row(
    outcomes: dict[str, pb.Outcome], kept: list[str], blamed: list[str], wrong: list[str]
) -> None:
    errors: list[str] = []
    result = pb.matching("w", outcomes, errors)
    assert list(result) == kept
    assert [e.split(": Mismatch: ")[1].split()[0] for e in errors] == blamed
    assert [library for library, o in result.items() if o.status == "wrong"] == wrong


def test_rows_take_the_median_run_and_divide_by_larkspan() -> None:
    scenario = pb.Workload("s", WORKLOAD["1. read() 256 MiB, cached"].run)
    rows = pb.rows_for(
        scenario,
        {
            "larkspan": ok("a", "a", "a", times=(3e9, 1e9, 2e9), gaps=(30, 10, 20)),
            "anyio": ok("a", times=(6e9,)),
            "aiofile": pb.Outcome("hangs", "no result in 5 s"),
        },
    )
    assert [(r.library, r.time_s, r.longest_gap_s, r.ratio) for r in rows] == [
        ("larkspan", 2.0, 20e-9, 1.0),
        ("anyio", 6.0, 5e-9, 3.0),
        ("aiofile", None, None, None),
    ]


def test_without_a_larkspan_result_there_is_no_ratio() -> None:
    per_call = pb.Workload("p", WORKLOAD["write(100 B)"].run, kind=pb.PER_CALL)
    rows = pb.rows_for(
        per_call, {"larkspan": pb.Outcome("hangs"), "builtin": ok("a", times=(250.0,))}
    )
    assert [(r.ns_per_call, r.ratio) for r in rows] == [(None, None), (250.0, None)]


@pytest.mark.parametrize(
    ("path", "expected"),
    [
        ("/proc/self", "proc"),
        ("/dev/shm", "tmpfs"),
    ],
    ids=["proc", "shm"],
)
def test_file_system_type_is_the_longest_mount(path: str, expected: str) -> None:
    if not os.path.isdir(path):
        pytest.skip(f"needs {path}")
    assert pb.file_system_type(Path(path)) == expected


@pytest.mark.parametrize("name", ["2. read() 256 MiB, cache dropped", *RANDOM_READS, COLD_FILES])
def test_the_dropped_cache_scenarios_are_skipped_on_tmpfs(name: str) -> None:
    if not os.path.isdir("/dev/shm"):
        pytest.skip("needs /dev/shm")
    reason = pb.skip_reason(WORKLOAD[name], pb.Place(Path("/dev/shm")), None)
    assert reason is not None and "tmpfs" in reason
    assert (
        pb.skip_reason(WORKLOAD["4. read() 8 MiB, FUSE"], pb.Place(Path("/")), "no FUSE")
        == "no FUSE"
    )


# ---------------------------------------------------------------- table and chart


def sample_rows() -> list[peers_report.PeerRow]:
    return [
        peers_report.PeerRow(
            "5. FIFO", "larkspan", peers_report.SCENARIO, "hangs", detail="no result in 6 s"
        ),
        peers_report.PeerRow(
            "5. FIFO", "builtin", peers_report.SCENARIO, "ok", time_s=0.012, longest_gap_s=0.013
        ),
        peers_report.PeerRow(
            "5. FIFO", "aiofile", peers_report.SCENARIO, "fails", detail="OSError: <pipe> & co"
        ),
        peers_report.PeerRow(
            "write(100 B)", "larkspan", peers_report.PER_CALL, "ok", ns_per_call=200.0, ratio=1.0
        ),
        peers_report.PeerRow(
            "write(100 B)", "anyio", peers_report.PER_CALL, "ok", ns_per_call=52_000.0, ratio=260.0
        ),
    ]


def test_the_table_shows_hangs_failures_and_ratios(capsys: pytest.CaptureFixture[str]) -> None:
    peers_report.print_table(sample_rows(), ["FUSE rows skipped: absent"])
    out = capsys.readouterr().out
    for expected in (
        "hangs",
        "no result in 6 s",
        "OSError: <pipe> & co",
        "52,000",
        "260.00",
        "note: FUSE rows skipped: absent",
    ):
        assert expected in out


def test_the_chart_is_svg_with_every_group_and_status() -> None:
    root = ET.fromstring(peers_report.chart_svg(sample_rows()))
    texts = [t.text for t in root.iter(f"{SVG}text")]
    for expected in (
        "5. FIFO",
        "write(100 B)",
        "larkspan hangs",
        "aiofile fails: OSError: <pipe> & co",
        "200 ns",
        "52 µs",
        "13 ms",
    ):
        assert expected in texts
    # The hanging bar runs faded across the plot; the failing one has none.
    faded = [r for r in root.iter(f"{SVG}rect") if r.get("fill-opacity")]
    assert len(faded) == 1 and float(faded[0].get("width")) == pytest.approx(chart.PLOT_WIDTH)


@pytest.mark.parametrize(
    ("values", "decades"),
    [
        ([2e-7, 5e-5], (-7, -4)),
        ([1e-3, 1e-3], (-3, -2)),  # one value still spans a decade
        ([0.02, 7.0], (-2, 1)),
    ],
    ids=["ns-to-us", "single", "ms-to-s"],
)
def test_the_scale_spans_whole_decades_evenly(
    values: list[float], decades: tuple[int, int]
) -> None:
    scale = chart.LogScale(values)
    assert (scale.low, scale.high) == decades
    edges = [scale.x(v) for v in scale.decades()]
    assert edges[0] == chart.PLOT_LEFT and edges[-1] == chart.PLOT_LEFT + chart.PLOT_WIDTH
    steps = {round(b - a, 6) for a, b in itertools.pairwise(edges)}
    assert len(steps) == 1
    assert all(edges[0] <= scale.x(v) <= edges[-1] for v in values)


@pytest.mark.parametrize(
    ("seconds", "label"),
    [
        (2e-7, "200 ns"),
        (1e-6, "1 µs"),
        (4.25e-5, "42.5 µs"),
        (0.0123, "12.3 ms"),
        (1.0, "1 s"),
        (75.0, "75 s"),
    ],
)
def test_duration_labels(seconds: float, label: str) -> None:
    assert chart.duration_label(seconds) == label


# ---------------------------------------------------------------- FUSE with direct I/O


@pytest.fixture
def direct_place(place: pb.Place, tmp_path: Path) -> Iterator[pb.Place]:
    """`place` with latencyfs mounted over a backing directory with direct I/O, at 1 ms a
    request."""
    reason = latencyfs.unavailable_reason()
    if reason is not None:
        pytest.skip(reason)
    backing = tmp_path / "backing"
    backing.mkdir()
    for library in ("larkspan", "builtin"):
        pb.write_payload(backing / f"big-{library}-0", pb.FUSE_DIRECT_SIZE + 7)
    with latencyfs.mounted(backing, tmp_path / "direct", latency_ms=1.0, direct_io=True) as fs:
        yield replace(place, fuse_direct=Path(fs.mountpoint), fuse_backing=Path(fs.backing))


@pytest.mark.parametrize("name", FUSE_DIRECT, ids=["read", "write"])
def test_the_direct_io_rows_give_what_builtin_gives_and_what_the_disk_holds(
    name: str, direct_place: pb.Place
) -> None:
    backing = direct_place.fuse_direct_paths()[1]
    results = {
        library: run_workload(name, library, direct_place) for library in ("larkspan", "builtin")
    }
    expected = (
        pb.digest(b"".join(pb.payload_blocks(pb.FUSE_DIRECT_SIZE + 7)))
        if "read()" in name
        else hashlib.sha256(b"".join(pb.payload_blocks(pb.FUSE_DIRECT_SIZE))).hexdigest()
    )
    assert results == {"larkspan": expected, "builtin": expected}
    if "write()" in name:
        assert (backing / "out-direct-larkspan-0").stat().st_size == pb.FUSE_DIRECT_SIZE


def test_direct_io_rows_without_the_mount_are_a_fault_of_the_benchmark(place: pb.Place) -> None:
    with pytest.raises(
        RuntimeError, match="direct I/O FUSE workload ran without a mounted file system"
    ):
        run_workload(FUSE_DIRECT[0], "builtin", place)


# ---------------------------------------------------------------- the device's limit (fio)

# What fio 3.33 prints with --output-format=json (trimmed to the fields read, and others around
# them), written here by hand, preceded by a note of fio's own as it sometimes prints one.
FIO_OUTPUT = """fio: file hash not empty on exit
{
  "fio version" : "fio-3.33",
  "jobs" : [
    {
      "jobname" : "cold-random",
      "groupid" : 0,
      "error" : 0,
      "read" : {
        "io_bytes" : 33554432,
        "bw" : 426180,
        "iops" : 106545.333333,
        "runtime" : 80,
        "total_ios" : 8192,
        "short_ios" : 0
      },
      "write" : {"io_bytes" : 0, "iops" : 0.0, "runtime" : 0, "total_ios" : 0}
    }
  ]
}
"""


def test_the_fio_parser_takes_the_reads_over_the_group_time() -> None:
    assert device_limit.parse_read_rate(FIO_OUTPUT) == pytest.approx(8192 / 0.080)


@pytest.mark.parametrize(
    ("output", "message"),
    [
        ("fio: engine io_uring not loadable\n", "no JSON document in fio's output"),
        ('{"fio version": "fio-3.33", "jobs": []}', "fio's output lists no job"),
        (FIO_OUTPUT.replace('"error" : 0', '"error" : 22'), "fio's job failed with error 22"),
        (FIO_OUTPUT.replace('"total_ios" : 8192', '"total_ios" : 0'), "fio's job made no read"),
        (FIO_OUTPUT.replace('"runtime" : 80', '"runtime" : 0'), "fio's job made no read"),
    ],
    ids=["no-json", "no-job", "job-error", "no-reads", "no-time"],
)
def test_fio_output_without_a_rate_is_refused(output: str, message: str) -> None:
    with pytest.raises(ValueError) as error:
        device_limit.parse_read_rate(output)
    assert str(error.value) == message


@pytest.mark.parametrize(
    ("shape", "per_job", "engine"),
    [
        (device_limit.FIO_SHAPES[0], "--number_ios=128", "--ioengine=psync"),
        (device_limit.FIO_SHAPES[1], "--number_ios=8192", "--ioengine=io_uring"),
    ],
    ids=["psync", "io_uring"],
)
def test_fio_shares_the_reads_among_its_jobs_over_the_whole_file(
    shape: device_limit.FioShape, per_job: str, engine: str, tmp_path: Path
) -> None:
    path = tmp_path / "data"
    pb.write_payload(path, pb.MIB + 3)
    command = device_limit.fio_command("fio", path, shape, 8192)
    assert {
        per_job,
        engine,
        f"--size={pb.MIB + 3}",
        f"--filename={path}",
        "--rw=randread",
        "--bs=4096",
        "--invalidate=1",
    } <= set(command)


def test_without_fio_its_rows_say_so(
    place: pb.Place, monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> None:
    monkeypatch.setenv("PATH", str(tmp_path))
    outcomes = pb.device_outcomes(place, 512)
    assert {label: (o.status, o.detail) for label, o in outcomes.items()} == {
        shape.label: ("missing", "fio is not installed (Debian: apt-get install fio)")
        for shape in device_limit.FIO_SHAPES
    }


def test_fio_reads_the_cold_file_at_a_rate(place: pb.Place) -> None:
    if shutil.which("fio") is None:
        pytest.skip("fio is not installed")
    result = device_limit.measure_fio(
        place.data / place.random_file, device_limit.FIO_SHAPES[0], 512
    )
    assert result.status == "ok" and result.reads_per_s is not None and result.reads_per_s > 0


def test_a_failing_fio_is_a_row_with_its_message(tmp_path: Path) -> None:
    if shutil.which("fio") is None:
        pytest.skip("fio is not installed")
    empty = tmp_path / "empty"
    empty.write_bytes(b"")  # fio refuses a size of 0
    result = device_limit.measure_fio(empty, device_limit.FIO_SHAPES[0], 512)
    assert result.status == "fails" and result.detail


def test_counted_rows_have_a_rate_and_device_rows_no_gap() -> None:
    rows = pb.rows_for(
        WORKLOAD[RANDOM_READS[1]],
        {
            "larkspan": ok("a", times=(0.5e9,), gaps=(2_000_000,)),
            "fio psync x64": pb.Outcome("ok", times_ns=[0.1e9]),
            "fio io_uring d64": pb.Outcome("missing", "fio is not installed"),
        },
    )
    assert [(r.library, r.per_s, r.longest_gap_s, r.ratio, r.time_charted) for r in rows] == [
        ("larkspan", pb.RANDOM_READS / 0.5, 0.002, 1.0, True),
        ("fio psync x64", pytest.approx(pb.RANDOM_READS / 0.1), None, pytest.approx(0.2), True),
        ("fio io_uring d64", None, None, None, True),
    ]


def test_the_chart_draws_the_device_in_the_time_panel_only() -> None:
    name = RANDOM_READS[0]
    rows = [
        peers_report.PeerRow(
            name,
            "larkspan",
            peers_report.SCENARIO,
            "ok",
            time_s=0.5,
            longest_gap_s=0.004,
            time_charted=True,
        ),
        peers_report.PeerRow(
            name, "fio psync x64", peers_report.SCENARIO, "ok", time_s=0.07, time_charted=True
        ),
        peers_report.PeerRow(
            name,
            "fio io_uring d64",
            peers_report.SCENARIO,
            "missing",
            detail="fio is not installed",
            time_charted=True,
        ),
    ]
    texts = [t.text for t in ET.fromstring(peers_report.chart_svg(rows)).iter(f"{SVG}text")]
    assert texts.count(name) == 2  # the gaps panel and the time panel
    assert {"4 ms", "500 ms", "70 ms", "fio io_uring d64 missing: fio is not installed"} <= set(
        texts
    )
    assert texts.index("70 ms") > texts.index(
        "4 ms"
    )  # fio has a bar among the times, not among the gaps
