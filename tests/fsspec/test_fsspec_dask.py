"""A Dask cluster of two worker processes reads through "larkspan://" what it reads through the
local protocol: a folder of text files with dask.bag.read_text and a zarr array with
dask.array.from_zarr. A worker that dies in the middle of a read is replaced, and the read is
done again."""

import os
import sys
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest
import zarr

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("dask.distributed")
import dask.array  # noqa: E402
import dask.bag  # noqa: E402

pytestmark = pytest.mark.dask

FILES = 12
LINES = 500


@pytest.fixture(scope="module")
def client() -> Iterator[distributed.Client]:
    # Worker processes start slowly on a busy machine: allow them more than the default 30 s.
    with (
        dask.config.set({"distributed.comm.timeouts.connect": "90s"}),
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=2,
            processes=True,
            dashboard_address=None,
            silence_logs=40,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("dask")
    for i in range(FILES):
        lines = (f"file {i} line {n} {'é' * (n % 5)}\n" for n in range(LINES))
        (root / f"part{i:02d}.txt").write_text("".join(lines), encoding="utf-8")
    array = zarr.create_array(
        zarr.storage.LocalStore(root / "array.zarr"),
        shape=(300, 200),
        chunks=(64, 50),
        dtype="float64",
    )
    array[:] = np.arange(300 * 200).reshape(300, 200) / 7
    return root


def imported(module: str) -> bool:
    return module in sys.modules


def test_read_text_gives_what_the_local_protocol_gives(
    client: distributed.Client, folder: Path
) -> None:
    ours = dask.bag.read_text(f"larkspan://{folder}/*.txt", blocksize=4096).compute()
    local = dask.bag.read_text(f"file://{folder}/*.txt", blocksize=4096).compute()
    assert ours == local
    assert len(ours) == FILES * LINES
    # The workers read through larkspan: they imported it to unpickle the file system.
    assert any(client.run(imported, "larkspan.fsspec").values())


def test_from_zarr_gives_what_the_local_store_gives(
    client: distributed.Client, folder: Path
) -> None:
    ours = dask.array.from_zarr(f"larkspan://{folder}/array.zarr", storage_options={})
    local = dask.array.from_zarr(str(folder / "array.zarr"))
    assert ours.chunks == local.chunks
    assert np.array_equal(ours.compute(), local.compute())
    assert float(ours.sum().compute()) == float(local.sum().compute())


def die_once(marker: str, line: str) -> str:
    """Ends the worker process the first time any task calls it."""
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        return line
    os._exit(1)


def test_a_worker_that_dies_mid_read_is_replaced_and_the_read_done_again(
    client: distributed.Client, folder: Path, tmp_path: Path
) -> None:
    marker = str(tmp_path / "died")
    lines = dask.bag.read_text(f"larkspan://{folder}/*.txt").map(
        lambda line: die_once(marker, line)
    )
    assert lines.compute() == dask.bag.read_text(f"file://{folder}/*.txt").compute()
    assert os.path.exists(marker)
