"""The interpreter exits while calls still wait on slow storage: the process ends with its own exit
status, whatever the calls do when their system calls return.

A thread whose call returns after finalization has begun must not take the interpreter lock back:
CPython would end that thread where it stands, and the unwinding through the engine's frames aborted
the process. The race shows about as often as calls return during finalization, so each case runs
its child many times, with reads of a megabyte in 3 ms requests still in flight when it exits.
"""

import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest
from conftest import TIMEOUT
from latencyfs import LatencyFs

RUNS = 20
FILES = 16
OWN_STATUS = 3

# Two daemon threads read each file, so one waits in the call while the other waits for the
# object's lock; both take the interpreter lock back when their wait ends.
ENGINE_THREADS = """
import sys, threading, time
from larkspan._engine import File

def read(f):
    f.read(None, False)

for path in sys.argv[1:]:
    f = File(path, "rb")
    f.open()
    for _ in range(2):
        threading.Thread(target=read, args=(f,), daemon=True).start()
time.sleep(0.005)
sys.exit(3)
"""

# The front's reads run on its worker threads; asyncio.run cancels their tasks and returns at once.
FRONT_WORKERS = """
import asyncio, sys
import larkspan

async def main(paths):
    files = [await larkspan.open(path, "rb") for path in paths]
    reads = [asyncio.ensure_future(f.read()) for f in files]
    await asyncio.sleep(0.005)

asyncio.run(main(sys.argv[1:]))
sys.exit(3)
"""


@pytest.mark.parametrize(
    "script", [ENGINE_THREADS, FRONT_WORKERS], ids=["engine-threads", "front-workers"]
)
def test_exit_with_reads_in_flight_keeps_its_own_status(
    slow_fs: Callable[..., LatencyFs], script: str
) -> None:
    fs = slow_fs(latency_ms=3.0)
    for i in range(FILES):
        (fs.backing / f"f{i}").write_bytes(bytes([i]) * (1 << 20))
    paths = [str(fs.mountpoint / f"f{i}") for i in range(FILES)]
    endings = []
    for _ in range(RUNS):
        child = subprocess.run(
            [sys.executable, "-c", script, *paths], capture_output=True, text=True, timeout=TIMEOUT
        )
        endings.append((child.returncode, child.stderr[-300:]))
    assert endings == [(OWN_STATUS, "")] * RUNS


# A finalizer that runs while the interpreter finalizes writes and closes a file through the engine,
# which lets the interpreter lock go around each system call: the finalizing thread takes it back.
FINALIZER_CLOSES = """
import sys
from larkspan._engine import File

class Closer:
    def __init__(self, f):
        self.f = f

    def __del__(self):
        self.f.write(b"written at exit", False)
        self.f.close(False)

f = File(sys.argv[1], "wb")
f.open()
closer = Closer(f)  # dropped with the module, once finalization has begun
sys.exit(3)
"""


def test_finalizer_of_the_exiting_thread_still_writes_and_closes(tmp_path: Path) -> None:
    path = tmp_path / "out"
    child = subprocess.run(
        [sys.executable, "-c", FINALIZER_CLOSES, str(path)],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert (child.returncode, child.stderr, path.read_bytes()) == (
        OWN_STATUS,
        "",
        b"written at exit",
    )
