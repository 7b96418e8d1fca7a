"""The completion path: calls carried out by the engine's own threads, without the interpreter lock,
and delivered through a loop's completion queue. Each call started there gives what the same call
made blocking gives; a call cancelled before it starts never runs; outcomes that arrive together are
delivered by one drain; lowering the thread limit ends threads; a closed loop's late outcomes are
released, descriptors and all; a forked child gets threads of its own; and the process exits with
its own status whatever the engine's threads are doing."""

import asyncio
import errno
import gc
import os
import select
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import larkspan
import pytest
from conftest import TIMEOUT, disk, run_child
from larkspan import _completions, _workers
from larkspan._engine import Completions, File, max_threads, set_max_threads, threads

pytestmark = pytest.mark.threads

LINES = b"".join(b"line %05d\n" % i for i in range(3000))


def outcome_of(call: Callable[[], Any]) -> Any:
    try:
        return True, call()
    except Exception as error:
        return False, (type(error), str(error))


def comparable(outcome: tuple[bool, Any]) -> tuple[bool, Any]:
    ok, value = outcome
    return (ok, value) if ok else (ok, (type(value), str(value)))


async def started(file: File, method: str, *args: Any) -> tuple[bool, Any]:
    """`method(*args)` started on the engine's threads, and its outcome as delivered on this
    loop."""
    loop = asyncio.get_running_loop()
    delivered: asyncio.Future[tuple[bool, Any]] = loop.create_future()
    try:
        file.start(_completions.completions(loop), delivered.set_result, method, *args)
    except Exception as refused:  # at once, as the blocking call refuses it
        return False, (type(refused), str(refused))
    return comparable(await asyncio.wait_for(delivered, TIMEOUT))


@pytest.fixture
def restore_threads() -> Iterator[None]:
    limit = max_threads()
    yield
    set_max_threads(limit)


# ---- each call, against the same call made blocking ----------------------------------------------

STARTS_AT_THE_POSITION = {
    "read",
    "read1",
    "readinto",
    "readline",
    "readlines",
}  # these also give where they started

CALLS = {
    "read": ("rb", [], "read", (100,)),
    "read-to-the-end": ("rb", [("readline", (None,))], "read", (None,)),
    "read-past-the-end": ("rb", [("seek", (0, 2))], "read", (10,)),
    "read1": ("rb", [], "read1", (7,)),
    "readinto": ("rb", [("read", (3,))], "readinto", (bytearray(50),)),
    "readline": ("rb", [("read", (5,))], "readline", (None,)),
    "readline-limited": ("rb", [], "readline", (4,)),
    "readline-at-the-end": ("rb", [("seek", (0, 2))], "readline", (None,)),
    "readlines-after-a-line": ("rb", [("readline", (None,))], "readlines", (None,)),
    "write-then-read": ("r+b", [("write", (b"WRITTEN",))], "read", (20,)),
    "write": ("r+b", [("seek", (5, 0))], "write", (b"abc",)),
    "writelines": ("r+b", [], "writelines", ([b"a", b"bc"],)),
    "seek": ("rb", [("readline", (None,))], "seek", (-3, 1)),
    "flush": ("r+b", [("write", (b"x",))], "flush", ()),
    "truncate": ("r+b", [("read", (10,))], "truncate", (None,)),
    "isatty": ("rb", [], "isatty", ()),
    "sync": ("r+b", [("write", (b"x",))], "sync", (True,)),
    "close": ("r+b", [("write", (b"pending",))], "close", ()),
    "pread": ("rb", [("read", (1,))], "pread", (30, 7)),
    "pwrite": ("r+b", [("write", (b"pending",))], "pwrite", (b"xyz", 2)),
    "read-closed": ("rb", [("close", ())], "read", (10,)),
    "write-read-only": ("rb", [], "write", (b"x",)),
    "pread-write-only": ("wb", [], "pread", (1, 0)),
}


@pytest.mark.parametrize(("mode", "setup", "method", "args"), CALLS.values(), ids=CALLS.keys())
def test_a_call_on_the_engine_threads_gives_what_the_blocking_call_gives(
    make_file: Callable[..., str],
    mode: str,
    setup: list[tuple[str, tuple[Any, ...]]],
    method: str,
    args: tuple[Any, ...],
) -> None:
    ours, theirs = File(make_file(LINES), mode), File(make_file(LINES), mode)
    for f in (ours, theirs):
        f.open()
        for step, step_args in setup:
            getattr(f, step)(*step_args, False)
    copy = [bytearray(a) if isinstance(a, bytearray) else a for a in args]
    start = outcome_of(lambda: theirs.read_position())
    expected = outcome_of(lambda: getattr(theirs, method)(*copy, False))
    if method in STARTS_AT_THE_POSITION and expected[0]:
        expected = (True, (start[1], expected[1]))
    got = asyncio.run(started(ours, method, *args))
    if method == "readinto" and got[0]:
        assert args[0] == copy[0]  # the bytes landed in the caller's buffer
    for f in (ours, theirs):
        f.close(False)
    assert got == expected
    assert disk(ours.name) == disk(theirs.name)


def test_open_on_the_engine_threads_reports_as_builtin_open(tmp_path: Path) -> None:
    (tmp_path / "data").write_bytes(b"data")

    async def opened(path: Path, flags: int) -> Any:
        f = File(os.fsencode(path), "rb")
        loop = asyncio.get_running_loop()
        delivered: asyncio.Future[tuple[bool, Any]] = loop.create_future()
        f.start_open(
            _completions.completions(loop),
            delivered.set_result,
            os.fsencode(path),
            flags,
            -1,
            False,
            str(path),
        )
        ok, value = await delivered
        if ok:
            data = f.read(None, False)
            f.close(False)
            return ok, data
        return ok, (type(value), str(value), value.filename)

    def builtin(path: Path) -> Any:
        try:
            with open(path, "rb") as h:
                return True, h.read()
        except OSError as error:
            return False, (type(error), str(error), error.filename)

    for path in (tmp_path / "data", tmp_path / "missing", tmp_path):
        assert asyncio.run(opened(path, os.O_RDONLY)) == builtin(path)
    assert open_beneath(tmp_path) == []


def links() -> list[str]:
    """Where each descriptor of this process leads."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            found.append(os.readlink(f"/proc/self/fd/{name}"))
        except FileNotFoundError:
            pass  # the listing's own
    return found


def open_beneath(directory: Path) -> list[str]:
    return [link for link in links() if link.startswith(str(directory))]


def queues_match_eventfds() -> bool:
    """Every completion queue still referred to has its one eventfd, and no other is open."""
    gc.collect()
    return links().count("anon_inode:[eventfd]") == len(_completions._queues) + len(
        _completions._orphans
    )


# ---- cancelled before it starts ------------------------------------------------------------------


class Blocker:
    """Holds engine threads: each open of a FIFO that nobody writes to waits until release()."""

    def __init__(self, tmp_path: Path) -> None:
        self.fifo = tmp_path / "blocker"
        os.mkfifo(self.fifo)
        self.files: list[File] = []
        self.writer = -1

    def hold(self, completions: Completions, deliver: Callable[[Any], None]) -> None:
        f = File(os.fsencode(self.fifo), "rb")
        self.files.append(f)
        f.start_open(
            completions, deliver, os.fsencode(self.fifo), os.O_RDONLY, -1, False, self.fifo
        )

    def release(self) -> None:
        """Every open waiting for a writer goes on, and any that starts later: a writer is open
        until finish(). Fails the test if no open is waiting by TIMEOUT."""

        def opened() -> bool:
            try:
                self.writer = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as error:
                assert error.errno == errno.ENXIO  # no reader yet
                return False
            return True

        until(opened)

    def finish(self) -> None:
        os.close(self.writer)
        for f in self.files:
            f.close(False)


def only_threads(count: int) -> None:
    """Lowers the engine's threads to `count`, and waits until no more are left."""
    set_max_threads(count)
    until(lambda: threads() <= count)


def until(condition: Callable[[], bool]) -> None:
    """Waits for `condition`, failing after TIMEOUT."""
    event = threading.Event()
    for _ in range(TIMEOUT * 200):
        if condition():
            return
        event.wait(0.005)
    pytest.fail("condition never held")


def test_a_call_cancelled_before_it_starts_never_runs(
    tmp_path: Path, make_file: Callable[..., str], restore_threads: None
) -> None:
    only_threads(1)
    blocker = Blocker(tmp_path)
    path = make_file(b"original")
    completions = Completions()
    delivered: list[Any] = []
    blocker.hold(completions, delivered.append)
    f = File(path, "r+b")
    f.open()
    ticket = f.start(completions, delivered.append, "pwrite", b"OVERWRITTEN", 0)
    assert ticket.cancel() is True
    assert ticket.cancel() is False  # it is already
    blocker.release()
    until(lambda: _drained(completions, delivered, 2))
    assert delivered[0][0] is True
    assert delivered[1][0] is False and isinstance(delivered[1][1], asyncio.CancelledError)
    assert disk(path) == b"original"
    assert ticket.cancel() is False  # delivered
    f.close(False)
    blocker.finish()


def _drained(completions: Completions, delivered: list[Any], count: int) -> bool:
    completions.drain()
    return len(delivered) == count


def test_outcomes_that_arrive_together_come_in_one_drain(
    tmp_path: Path, make_file: Callable[..., str], restore_threads: None
) -> None:
    only_threads(1)
    blocker = Blocker(tmp_path)
    completions = Completions()
    delivered: list[Any] = []
    blocker.hold(completions, delivered.append)
    path = make_file(b"." * 100)
    f = File(path, "r+b")
    f.open()
    for i in range(100):
        f.start(completions, delivered.append, "pwrite", b"%c" % (65 + i % 26), i)
    blocker.release()
    until(lambda: disk(path)[99:] == b"V")  # the last one landed: every job has run, in order
    until(lambda: _readable(completions))
    completions.drain()
    assert len(delivered) == 101 and all(ok for ok, _ in delivered) and completions.in_flight == 0
    completions.drain()  # nothing more, and no wake-up left behind
    assert not _readable(completions)
    f.close(False)
    blocker.finish()


def _readable(completions: Completions) -> bool:
    return bool(select.select([completions.fileno()], [], [], 0)[0])


def test_a_failing_deliver_is_reported_and_the_rest_are_delivered(
    make_file: Callable[..., str], monkeypatch: pytest.MonkeyPatch
) -> None:
    reported: list[BaseException | None] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(report.exc_value))
    completions = Completions()
    f = File(make_file(b"data"), "rb")
    f.open()
    delivered: list[Any] = []

    def failing(outcome: Any) -> None:
        raise RuntimeError("deliver failed")

    f.start(completions, failing, "pread", 2, 0)
    f.start(completions, delivered.append, "pread", 2, 2)
    until(lambda: _drained(completions, delivered, 1))
    assert delivered == [(True, b"ta")]
    assert [str(error) for error in reported] == ["deliver failed"]
    f.close(False)


def test_lowering_the_limit_ends_threads_once_idle(tmp_path: Path, restore_threads: None) -> None:
    set_max_threads(64)
    blocker = Blocker(tmp_path)
    completions = Completions()
    delivered: list[Any] = []
    for _ in range(6):
        blocker.hold(completions, delivered.append)
    until(lambda: threads() >= 6)
    set_max_threads(2)
    blocker.release()
    until(lambda: _drained(completions, delivered, 6))
    until(lambda: threads() <= 2)
    blocker.finish()


def test_max_threads_refuses_zero(restore_threads: None) -> None:
    with pytest.raises(ValueError) as refused:
        larkspan.set_max_workers(0)
    assert str(refused.value) == "max_workers must be at least 1"
    assert max_threads() >= 1


# ---- a loop that closes, a fork, the interpreter's exit ------------------------------------------


def test_a_loop_closed_with_calls_in_flight_releases_them_later(
    slow_fs: Callable[..., Any],
) -> None:
    fs = slow_fs(100.0)
    (fs.backing / "data").write_bytes(LINES)
    handles: list[Any] = []
    queues: list[Completions] = []

    async def leave_a_read_running() -> None:
        f = await larkspan.open(fs.mountpoint / "data", "rb")
        handles.append(f)
        queues.append(_completions.completions(asyncio.get_running_loop()))
        asyncio.ensure_future(f.read())  # noqa: RUF006  (left running when the loop closes)
        # Until the read waits in the daemon: a read whose thread had not yet started when the
        # loop closed would be withdrawn, and nothing would ever come.
        while fs.stats().in_flight == 0:
            await asyncio.sleep(0.001)

    async def use_the_engine() -> bytes:
        return await larkspan.read_bytes(fs.mountpoint / "data")

    asyncio.run(leave_a_read_running())
    until(lambda: _readable(queues[0]))  # the read has ended, after its loop
    handles.clear()
    queues.clear()
    assert asyncio.run(use_the_engine()) == LINES
    gc.collect()  # the handle and its task refer to each other
    assert open_beneath(fs.mountpoint) == []  # the file the closed loop's read held is closed
    assert queues_match_eventfds()  # and its queue is gone, descriptor and all


async def on_a_worker() -> None:
    await _workers.run_in_worker(lambda: None)


async def on_an_engine_thread() -> None:
    f = File(os.fsencode(os.devnull), "rb")
    queue = _completions.completions(asyncio.get_running_loop())
    call: _workers.OffLoopCall[int] = _workers.OffLoopCall(
        lambda deliver: (
            f.start_open(
                queue, deliver, os.fsencode(os.devnull), os.O_RDONLY, -1, False, os.devnull
            ).cancel
        )
    )
    await call.result()
    f.close(False)


OFF_THE_LOOP = {"worker": on_a_worker, "engine-thread": on_an_engine_thread}


@pytest.mark.parametrize("call", OFF_THE_LOOP.values(), ids=OFF_THE_LOOP.keys())
def test_a_closed_loops_queue_goes_without_waiting_for_a_collection(
    call: Callable[[], Any],
) -> None:
    # Nothing a delivered call leaves behind refers back to the queue in a cycle that only the
    # collector would break: the queue's descriptor is closed as soon as the next loop lets it go.
    gc.disable()
    try:
        asyncio.run(call())
        asyncio.run(call())  # the first loop's queue is let go here
        eventfds = links().count("anon_inode:[eventfd]")
    finally:
        gc.enable()
    assert eventfds == len(_completions._queues) + len(_completions._orphans) == 1


FORK_CHILD = """
import asyncio, os, sys
import larkspan
path = sys.argv[1]

async def read() -> bytes:
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)  # cold: the reads go to the engine's threads
    os.close(fd)
    async with larkspan.open(path, "rb") as f:
        return await f.read() + await f.pread(5, 0)

first = asyncio.run(read())
pid = os.fork()
if pid == 0:
    os._exit(0 if asyncio.run(asyncio.wait_for(read(), 20)) == first else 1)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), asyncio.run(read()) == first)
"""


def test_a_forked_child_gets_engine_threads_of_its_own(make_file: Callable[..., str]) -> None:
    path = make_file(LINES)
    assert run_child(FORK_CHILD, path).split() == ["0", "True"]


EXIT_CHILD = """
import asyncio, os, sys
import larkspan
path, status = sys.argv[1], int(sys.argv[2])

async def main() -> None:
    f = await larkspan.open(path, "rb")
    size = os.path.getsize(path)
    for i in range(32):
        asyncio.ensure_future(f.pread(4096, (i * 7919 * 4096) % size))
    for _ in range(3):
        await asyncio.sleep(0)  # the reads are on the engine's threads, waiting on the daemon
    sys.exit(status)

asyncio.run(main())
"""


def test_the_process_exits_with_its_own_status_while_engine_threads_wait(
    slow_fs: Callable[..., Any],
) -> None:
    fs = slow_fs(3.0)
    (fs.backing / "data").write_bytes(os.urandom(4 << 20))

    for status in [3] * 20:
        child = subprocess.run(
            [sys.executable, "-c", EXIT_CHILD, str(fs.mountpoint / "data"), str(status)],
            capture_output=True,
            timeout=TIMEOUT,
        )
        assert child.returncode == status, child.stderr.decode()[-2000:]
