"""zarr 3 through zarr.storage.FsspecStore over larkspan.fsspec writes exactly the files that
zarr.storage.LocalStore writes, and each reads what the other wrote."""

from pathlib import Path
from typing import Any

import numpy as np
import pytest
import zarr
import zarr.storage
from larkspan.fsspec import LarkspanFileSystem

SHAPE = (45, 38)  # edge chunks are partial in both dimensions

LAYOUTS = {
    "zstd chunks": {"chunks": (8, 7)},
    "raw chunks": {"chunks": (8, 7), "compressors": None},
    # Shards are read by byte ranges: the index at the end, then each chunk inside.
    "shards": {"chunks": (4, 4), "shards": (16, 12)},
    "one chunk": {"chunks": SHAPE},
}

DTYPES = ["int32", "float64", "uint8"]


def larkspan_store(path: Path, read_only: bool = False) -> zarr.storage.FsspecStore:
    # auto_mkdir: zarr writes chunks into folders it never makes, as with LocalFileSystem.
    fs = LarkspanFileSystem(asynchronous=True, auto_mkdir=True)
    return zarr.storage.FsspecStore(fs, path=str(path), read_only=read_only)


def local_store(path: Path, read_only: bool = False) -> zarr.storage.LocalStore:
    return zarr.storage.LocalStore(path, read_only=read_only)


STORES = {"larkspan": larkspan_store, "local": local_store}


def files(root: Path) -> dict[str, bytes]:
    return {
        str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()
    }


def sample(dtype: str) -> Any:
    values = np.arange(np.prod(SHAPE)).reshape(SHAPE) * 7 % 251
    return values.astype(dtype)


def write(store: Any, data: Any, layout: dict[str, Any]) -> None:
    array = zarr.create_array(store, shape=data.shape, dtype=data.dtype, fill_value=3, **layout)
    array[:] = data
    array[5:9, 30:] = 0  # a second write into chunks already there
    array[40:, :4] = 3  # chunks left holding only the fill value are removed


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_writes_the_same_files_as_local_store(
    tmp_path: Path, layout: dict[str, Any], dtype: str
) -> None:
    data = sample(dtype)
    for name, store in STORES.items():
        write(store(tmp_path / name), data, layout)
    assert files(tmp_path / "larkspan") == files(tmp_path / "local")
    assert len(files(tmp_path / "local")) > 1


@pytest.mark.parametrize(("writer", "reader"), [("local", "larkspan"), ("larkspan", "local")])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_reads_what_the_other_store_wrote(
    tmp_path: Path, layout: dict[str, Any], writer: str, reader: str
) -> None:
    data = sample("int32")
    write(STORES[writer](tmp_path), data, layout)
    expected = zarr.open_array(local_store(tmp_path, read_only=True))[:]
    array = zarr.open_array(STORES[reader](tmp_path, read_only=True))
    assert np.array_equal(array[:], expected)
    assert np.array_equal(array[3:20, 11:12], expected[3:20, 11:12])


def test_resize_removes_the_same_chunks(tmp_path: Path) -> None:
    for name, store in STORES.items():
        array = zarr.create_array(store(tmp_path / name), shape=SHAPE, dtype="int16", chunks=(8, 8))
        array[:] = 1
        array.resize((20, 9))
    assert files(tmp_path / "larkspan") == files(tmp_path / "local")


def test_missing_chunks_read_as_the_fill_value(tmp_path: Path) -> None:
    zarr.create_array(
        larkspan_store(tmp_path), shape=SHAPE, dtype="int32", chunks=(8, 8), fill_value=-1
    )
    assert (zarr.open_array(larkspan_store(tmp_path, read_only=True))[:] == -1).all()


def test_url_opens_the_store(tmp_path: Path) -> None:
    """zarr makes the store from a "larkspan://" URL through fsspec's registry."""
    data = sample("int32")
    write(local_store(tmp_path), data, LAYOUTS["zstd chunks"])
    array = zarr.open_array(f"larkspan://{tmp_path}", mode="r")
    assert np.array_equal(array[:], zarr.open_array(local_store(tmp_path, read_only=True))[:])


def test_a_group_lists_the_same_members(tmp_path: Path) -> None:
    listed = {}
    for name, store in STORES.items():
        group = zarr.open_group(store(tmp_path / name), mode="w")
        group.create_array("a", shape=(4,), dtype="int8")
        group.create_group("b").create_array("c", shape=(2, 2), dtype="int8")
        listed[name] = sorted(
            zarr.open_group(store(tmp_path / name, read_only=True), mode="r").members(
                max_depth=None
            )
        )
    assert [name for name, _ in listed["larkspan"]] == [name for name, _ in listed["local"]]
