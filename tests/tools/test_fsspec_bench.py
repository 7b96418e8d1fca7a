"""The fsspec and zarr rows of the peers benchmark: every library of a workload gives the same
result on a small array (the written stores hold the same bytes, zarr's MemoryStore included),
the cold read really reads from the device, and the chart shows the rows' times with a legend
that wraps."""

import asyncio
import os
import xml.etree.ElementTree as ET
from dataclasses import replace

import chart  # with the other benchmark modules, found on the path that conftest sets
import fsspec_bench as fb
import peers_bench as pb
import peers_report
import pytest

SVG = "{http://www.w3.org/2000/svg}"
CHUNKS = 4  # per side: 16 chunks


@pytest.fixture(scope="module")
def place(tmp_path_factory: pytest.TempPathFactory) -> fb.Place:
    data = tmp_path_factory.mktemp("fsspec-bench")
    fb.make_data(data, CHUNKS)
    return fb.Place(data, chunks=CHUNKS)


def result(workload: fb.Workload, place: fb.Place, library: str) -> tuple[str, int]:
    timer = pb.Timer(watch_loop=True)
    check = asyncio.run(workload.run(replace(place, library=library), timer))
    return check, timer.elapsed_ns


@pytest.mark.parametrize("workload", fb.WORKLOADS, ids=[w.name for w in fb.WORKLOADS])
def test_every_library_of_a_workload_gives_the_same_result(
    workload: fb.Workload, place: fb.Place
) -> None:
    checks = {library: result(workload, place, library)[0] for library in workload.libraries}
    assert len(set(checks.values())) == 1, checks


def test_the_array_has_the_chunks_asked_for(place: fb.Place) -> None:
    chunk_files = [p for p in (place.data / "array.zarr" / "c").rglob("*") if p.is_file()]
    assert len(chunk_files) == CHUNKS * CHUNKS
    assert {p.stat().st_size for p in chunk_files} == {fb.CHUNK_SIDE * fb.CHUNK_SIDE * 8}


def test_dropped_pages_leave_the_page_cache(place: fb.Place) -> None:
    chunk = next(p for p in (place.data / "array.zarr" / "c").rglob("*") if p.is_file())
    chunk.read_bytes()
    fb.drop_pages(place.data / "array.zarr")
    descriptor = os.open(chunk, os.O_RDONLY)
    try:
        with pytest.raises(BlockingIOError):
            os.preadv(descriptor, [bytearray(16)], 0, os.RWF_NOWAIT)
    finally:
        os.close(descriptor)


def test_the_chart_shows_the_times_of_rows_beyond_the_file_libraries() -> None:
    rows = [
        peers_report.PeerRow(
            "5. FIFO", library, peers_report.SCENARIO, "ok", time_s=0.01, longest_gap_s=0.001
        )
        for library in ("larkspan", "builtin", "aiofiles", "anyio", "aiofile")
    ]
    rows += [
        peers_report.PeerRow(
            "11. cat", library, peers_report.SCENARIO, "ok", time_s=t, longest_gap_s=t
        )
        for library, t in ((fb.LARKSPAN, 0.016), (fb.LOCAL_FS, 0.032), (fb.MOREFS, 0.12))
    ]
    rows += [
        peers_report.PeerRow(
            "13. zarr", library, peers_report.SCENARIO, "ok", time_s=0.4, longest_gap_s=0.1
        )
        for library in (fb.LARKSPAN, fb.LOCAL_STORE, fb.MEMORY_STORE)
    ]
    root = ET.fromstring(peers_report.chart_svg(rows))
    texts = [t.text for t in root.iter(f"{SVG}text")]
    assert "Time of each fsspec and zarr scenario (log scale)" in texts
    assert (
        texts.count("11. cat") == 2 and texts.count("5. FIFO") == 1
    )  # gaps for all, times for the new rows
    # Nine series: the legend takes two lines, and each colour once.
    legend = [
        t
        for t in root.iter(f"{SVG}text")
        if float(t.get("y")) < 120 and float(t.get("x")) >= chart.PLOT_LEFT
    ]
    assert len(legend) == 9 and len({t.get("y") for t in legend}) == 2
    assert all(float(t.get("x")) + 8 * len(t.text) <= chart.WIDTH for t in legend)
    swatches = {r.get("fill") for r in root.iter(f"{SVG}rect") if r.get("width") == "12"}
    assert len(swatches) == 9


def test_fsspec_rows_go_through_the_peers_rows_without_a_rate() -> None:
    outcome = pb.Outcome("ok", times_ns=[2e7], gaps_ns=[1_000_000], checks=["a"])
    rows = pb.rows_for(fb.WORKLOADS[0], {fb.LARKSPAN: outcome})  # type: ignore[arg-type]
    assert [(r.time_s, r.longest_gap_s, r.per_s, r.time_charted) for r in rows] == [
        (0.02, 0.001, None, False)
    ]


def test_every_series_of_a_full_chart_has_a_colour_of_its_own() -> None:
    libraries = [
        "larkspan",
        "builtin",
        "aiofiles",
        "anyio",
        "aiofile",
        "fio psync x64",
        "fio io_uring d64",
        fb.LOCAL_FS,
        fb.MOREFS,
        fb.LOCAL_STORE,
        fb.MEMORY_STORE,
    ]
    rows = [
        peers_report.PeerRow(
            "w",
            library,
            peers_report.SCENARIO,
            "ok",
            time_s=0.01,
            longest_gap_s=0.001,
            time_charted=True,
        )
        for library in libraries
    ]
    root = ET.fromstring(peers_report.chart_svg(rows))
    swatches = [r.get("fill") for r in root.iter(f"{SVG}rect") if r.get("width") == "12"]
    assert len(swatches) == len(set(swatches)) == len(libraries)
