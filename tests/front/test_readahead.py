"""ReadAhead follows builtin's BufferedReader: after any mix of seek(), read() and read1(), each
read1() that the model says asks n bytes of the file returns as many as builtin's does."""

import io
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from larkspan._readahead import ReadAhead
from test_text import EXAMPLES

SIZE = 3 * 4096 + 77
POSITIONS = st.integers(0, SIZE + 10)
CALLS = st.lists(
    st.one_of(
        st.tuples(st.just("seek"), POSITIONS),
        st.tuples(st.just("read"), st.integers(1, 2 * 4096 + 9)),
        st.tuples(st.just("read1"), st.sampled_from([1, 7, 100, 4095, 4096, 8192, 9000])),
    ),
    max_size=30,
)


def follow(
    path: Path, buffer_size: int, calls: list[tuple[str, int]]
) -> tuple[list[int], list[int]]:
    """The byte counts builtin's read() and read1() returned, and those the model expects."""
    theirs: list[int] = []
    ours: list[int] = []
    model = ReadAhead(buffer_size)
    position = 0
    with io.BufferedReader(io.FileIO(path), buffer_size) as file:
        for name, value in calls:
            if name == "seek":
                file.seek(value)
                model.seek(value)
                position = value
                continue
            available = max(SIZE - position, 0)
            if name == "read":
                theirs.append(len(file.read(value)))
                got = min(value, available)
                model.read(position, value, got)
            else:
                theirs.append(len(file.read1(value)))
                asked = model.chunk(value)
                got = min(asked, available)
                model.chunk_read(asked, got)
            ours.append(got)
            position += got
    return theirs, ours


@EXAMPLES
@given(buffer_size=st.sampled_from([2, 7, 64, 4096, 65536]), calls=CALLS)
def test_the_model_ends_chunks_where_builtin_does(
    tmp_path_factory: pytest.TempPathFactory, buffer_size: int, calls: list[tuple[str, int]]
) -> None:
    path = tmp_path_factory.mktemp("readahead") / "file"
    path.write_bytes(bytes(range(256)) * (SIZE // 256) + b"z" * (SIZE % 256))
    theirs, ours = follow(path, buffer_size, calls)
    assert ours == theirs


CASES = {
    "a block filled after a replay": (
        64,
        [("seek", 3), ("read", 1), ("read1", 8192), ("read1", 8192)],
    ),
    "whole blocks read straight": (64, [("seek", 10), ("read", 200), ("read1", 8192)]),
    "a seek inside the buffer keeps it": (
        4096,
        [("seek", 10), ("read", 5), ("seek", 100), ("read1", 8192)],
    ),
    "a seek outside drops it": (4096, [("seek", 10), ("read", 5), ("seek", 5000), ("read1", 8192)]),
    "a replay to the end of the file": (
        65536,
        [("seek", SIZE - 3), ("read", 3), ("seek", SIZE - 2), ("read1", 10)],
    ),
}


@pytest.mark.parametrize("buffer_size, calls", CASES.values(), ids=CASES.keys())
def test_the_model_in_the_cases_that_matter(
    tmp_path: Path, buffer_size: int, calls: list[tuple[str, int]]
) -> None:
    path = tmp_path / "file"
    path.write_bytes(b"q" * SIZE)
    theirs, ours = follow(path, buffer_size, calls)
    assert ours == theirs
