"""A process forked from one that used larkspan: the child's calls work, those that need a worker
too, whether it forks with os.fork() or through multiprocessing's "fork" context, and whenever it
forks. Each case runs in a fresh interpreter, whose child must answer within a few seconds rather
than hang."""

import pytest
from conftest import run_child

# Not among the tests marked `threads`: ThreadSanitizer's runtime refuses to start a thread in a
# child forked from a process with threads, which is what these children do.

# Shared by every case: `call(name)` copies a file with larkspan.shutil, which always runs on a
# worker, reads the copy and returns whether that was done in time; `child()` does it in a forked
# child, whose exit code tells; `exit_code(pid)` waits for that child.
PRELUDE = """
import asyncio, multiprocessing, os, signal, sys, warnings
import larkspan, larkspan._budget, larkspan.shutil
# fork() in a process with threads: what is tested here
warnings.simplefilter("ignore", DeprecationWarning)
source = sys.argv[1]
async def copy(name):
    await larkspan.shutil.copyfile(source, source + name)
    async with larkspan.open(source + name, "rb") as f:
        return await f.read()
def call(name):
    try:
        return asyncio.run(asyncio.wait_for(copy(name), 10)) == b"content"
    except TimeoutError:
        return False
def exit_code(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
def child():
    signal.alarm(30)  # a child that hangs must not outlive the test
    os._exit(0 if call(".child") else 1)
"""

FORKS = {
    "os.fork": """
assert call(".parent")  # the parent's pool has a worker now
pid = os.fork()
if pid == 0:
    child()
print(exit_code(pid))
""",
    "multiprocessing-fork": """
assert call(".parent")
process = multiprocessing.get_context("fork").Process(target=child)
process.start()
process.join(30)
print(process.exitcode)
""",
    "fork-with-calls-queued": """
larkspan.set_max_workers(1)
async def fork_while_the_worker_is_busy():
    busy = asyncio.ensure_future(larkspan.shutil.copyfile(source, source + ".parent"))
    queued = asyncio.ensure_future(larkspan.shutil.copyfile(source, source + ".queued"))
    await asyncio.sleep(0)
    pid = os.fork()
    if pid == 0:
        child()
    await asyncio.gather(busy, queued)
    return exit_code(pid)
print(asyncio.run(fork_while_the_worker_is_busy()))
""",
    "fork-while-the-loop-renews-its-budget": """
larkspan._budget.YIELD_INTERVAL_NS = 0  # every call lets the loop run first
async def fork_with_a_renewal_pending():
    async with larkspan.open(source, "rb") as f:
        reading = asyncio.ensure_future(f.read())
        await asyncio.sleep(0)  # the read yields, and the loop's budget renewal is due next
        assert larkspan._budget.of_this_thread().renewal_pending
        pid = os.fork()
        if pid == 0:
            child()
        await reading
        return exit_code(pid)
print(asyncio.run(fork_with_a_renewal_pending()))
""",
}


@pytest.mark.parametrize("case", FORKS)
def test_a_forked_child_calls_through_workers_of_its_own(tmp_path, case: str) -> None:
    source = tmp_path / "source"
    source.write_bytes(b"content")
    assert run_child(PRELUDE + FORKS[case], str(source)) == "0\n"
    assert (tmp_path / "source.child").read_bytes() == b"content"
