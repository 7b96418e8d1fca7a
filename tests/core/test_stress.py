"""One object shared by several threads, and long runs that must keep memory and descriptors flat.

Every call holds the interpreter lock from start to end, so the threads' calls take turns whole:
the file must end as some serial order of the calls would leave it.

LARKSPAN_LONG_RUNS=1 runs a million cycles and operations instead of a hundred thousand.
"""

import gc
import os
import pathlib
import random
import sys
import threading
from collections.abc import Callable, Iterator

import pytest
from conftest import descriptors
from core_module import core_or_skip

AsyncFile = core_or_skip().AsyncFile

RECORD = 64  # every write is whole records: fixed-size lines that name their writer


def record(thread: int, call: int, index: int) -> bytes:
    return f"{thread}:{call}:{index}:".encode().ljust(RECORD - 1, b".") + b"\n"


def batch(thread: int, call: int, count: int) -> list[bytes]:
    return [record(thread, call, i) for i in range(count)]


def split_records(data: bytes) -> list[bytes]:
    assert len(data) % RECORD == 0, len(data)
    return [data[i : i + RECORD] for i in range(0, len(data), RECORD)]


class Worker:
    """Random calls on the shared object. It logs every batch a call accepted and every record
    it read; a call refused because another thread had closed the object accepted nothing."""

    def __init__(self, f: AsyncFile, thread: int, calls: int) -> None:
        self.f, self.thread, self.calls = f, thread, calls
        self.accepted: list[list[bytes]] = []
        self.seen: list[bytes] = []
        self.misaligned: list[int] = []

    def run(self) -> None:
        rng = random.Random(self.thread)
        for call in range(self.calls):
            try:
                self.step(rng, call)
            except RuntimeError as error:
                assert str(error) == "File not open"

    def step(self, rng: random.Random, call: int) -> None:
        f, choice = self.f, rng.randrange(12)
        if choice < 4:
            # one record, a buffered run, or a run past 131072 bytes that goes straight out
            records = batch(self.thread, call, rng.choice([1, 1, 30, 2100]))
            f.write(b"".join(records))
            self.accepted.append(records)
        elif choice == 4:
            records = batch(self.thread, call, rng.randrange(1, 6))
            f.writelines(records)
            self.accepted.append(records)
        elif choice == 5:
            if (position := f.tell()) % RECORD:
                self.misaligned.append(position)
        elif choice == 6:
            f.seek(rng.randrange(64) * RECORD)
            self.seen += split_records(f.read(rng.choice([RECORD, 5 * RECORD, 9000 * RECORD])))
        elif choice == 7:
            self.seen.append(f.readline().encode())
        elif choice == 8:
            f.flush()
        elif choice == 9:
            f.open()  # reopening hands the pending records out first
        elif choice == 10:
            f.close()
            f.open()
        else:
            f.seek(0, rng.choice([1, 2]))


@pytest.mark.threads
def test_threads_sharing_one_object_leave_a_serial_result(make_file: Callable[..., str]) -> None:
    f = AsyncFile(make_file(), "a+b").open()
    workers = [Worker(f, thread, 300) for thread in range(4)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=w.run) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    f.close()
    with open(f.name, "rb") as h:
        on_disk = split_records(h.read())
    accepted = [records for w in workers for records in w.accepted]
    assert sorted(on_disk) == sorted(r for records in accepted for r in records)
    where = {r: i for i, r in enumerate(on_disk)}
    for records in accepted:  # each call's records stand together, in order
        first = where[records[0]]
        assert [where[r] for r in records] == list(range(first, first + len(records)))
    for w in workers:  # and each thread's calls follow one another
        firsts = [where[records[0]] for records in w.accepted]
        assert firsts == sorted(firsts)
        assert set(w.seen) - {b""} <= set(on_disk)  # reads return whole records that were written
        assert w.misaligned == []


# ---- long runs ----------------------------------------------------------------------------------

COUNT = 1_000_000 if os.environ.get("LARKSPAN_LONG_RUNS") else 100_000
# The sanitizer's quarantine holds freed memory back on purpose, so its RSS says nothing here.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
RSS_SLACK_KIB = 2048


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


@pytest.fixture
def measured(capsys: pytest.CaptureFixture[str]) -> Iterator[Callable[[Callable[[], None]], None]]:
    """Runs a warm-up, then the long run, and checks memory and descriptors against the warm
    state."""
    figures: list[str] = []

    def measure(run: Callable[[], None]) -> None:
        gc.collect()
        before = (rss_kib(), descriptors())
        run()
        gc.collect()
        after = (rss_kib(), descriptors())
        figures.append(f"RSS {before[0]} -> {after[0]} KiB, descriptors {before[1]} -> {after[1]}")
        assert after[1] == before[1]
        if not SANITIZED:
            assert after[0] - before[0] < RSS_SLACK_KIB

    yield measure
    with capsys.disabled():
        print(f"\n{COUNT} steps: " + "; ".join(figures))


def cycle(path: str, n: int) -> None:
    for i in range(n):
        f = AsyncFile(path, "r+b").open()
        f.write(b"cycle %d\n" % i)
        f.seek(0)
        assert f.read(6) == b"cycle "
        if i % 4:
            f.close()  # the others end by destruction, which must close as well
        del f


def test_open_write_read_close_cycles(tmp_path: pathlib.Path, measured: Callable) -> None:
    path = tmp_path / "cycles"
    path.write_bytes(b"")
    cycle(str(path), 1000)
    measured(lambda: cycle(str(path), COUNT))
    assert path.read_bytes().startswith(b"cycle ")


def operations(f: AsyncFile, n: int) -> None:
    for i in range(n // 10):
        f.write(b"line %d\n" % i)
        f.tell()
        f.flush()
        f.seek(0, 1)
        f.readline()
        f.read(10)
        f.read1(10)
        f.seek(0)
        f.readline()
        f.truncate(4096)


def test_many_operations_on_one_object(tmp_path: pathlib.Path, measured: Callable) -> None:
    f = AsyncFile(str(tmp_path / "operations"), "w+b").open()
    operations(f, 10000)
    measured(lambda: operations(f, COUNT))
    f.close()
