"""Mounts latencyfs (latencyfs.c beside this file): a passthrough FUSE file system that makes every
request wait a fixed latency, and can fail reads and writes of marked files with EIO (reads from a
given offset on).

    sys.path.insert(0, str(REPO / "scripts" / "latencyfs"))
    import latencyfs
    with latencyfs.mounted(backing, mountpoint, latency_ms=20.0) as fs:
        (fs.mountpoint / "name").read_bytes()
"""

import os
import shutil
import struct
import subprocess
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import NamedTuple

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "latencyfs.c"
BINARY = HERE.parents[1] / "build" / "latencyfs" / "latencyfs"
MOUNT_TIMEOUT = 10.0  # seconds for the daemon to mount, or to exit once unmounted
COMMAND_TIMEOUT = 30.0  # seconds for the compiler and the unmount commands
STATS_LAYOUT = struct.Struct("<4Q")  # as the daemon's struct stats


class Stats(NamedTuple):
    requests: int  # served so far
    in_flight: int  # waiting out their latency now
    peak_in_flight: int  # the most that ever waited at once
    statfs_requests: int  # served so far: what a client asks to learn the file system's type


class LatencyFs:
    """A mounted latencyfs: `mountpoint` shows `backing` through the daemon `process`."""

    def __init__(
        self, backing: Path, mountpoint: Path, process: subprocess.Popen[bytes], stats_file: Path
    ) -> None:
        self.backing = backing
        self.mountpoint = mountpoint
        self.process = process
        self._stats_file = stats_file

    def stats(self) -> Stats:
        """The daemon's counters as they are now; readable until the mount's block ends, also after
        kill()."""
        return Stats(*STATS_LAYOUT.unpack(self._stats_file.read_bytes()[: STATS_LAYOUT.size]))

    def kill(self) -> None:
        """Kills the daemon as a crash would: requests on files opened through the mount fail with
        ENOTCONN from then on. Detaches the mount, so its path is an empty directory again."""
        self.process.kill()
        self.process.wait()
        _detach(self.mountpoint)


def unavailable_reason() -> str | None:
    """Why FUSE mounts cannot be made here, or None when they can."""
    if not os.path.exists("/dev/fuse"):
        return "needs /dev/fuse"
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "/dev/fuse is not readable and writable"
    if _is_current():
        return None
    if shutil.which("cc") is None or shutil.which("pkg-config") is None:
        return "building latencyfs needs cc and pkg-config"
    if subprocess.run(["pkg-config", "--exists", "fuse3"], check=False).returncode != 0:
        return "building latencyfs needs libfuse3 (Debian: apt-get install fuse3 libfuse3-dev)"
    return None


def build() -> Path:
    """Compiles the daemon unless the binary is newer than its source; returns the binary's path."""
    if _is_current():
        return BINARY
    BINARY.parent.mkdir(parents=True, exist_ok=True)
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "fuse3"], capture_output=True, text=True, check=True
    )
    partial = BINARY.with_name(
        f"{BINARY.name}.{os.getpid()}"
    )  # renamed into place: builders may race
    compiled = subprocess.run(
        [
            "cc",
            "-O2",
            "-Wall",
            "-Wextra",
            "-Werror",
            str(SOURCE),
            "-o",
            str(partial),
            *flags.stdout.split(),
        ],
        capture_output=True,
        text=True,
        timeout=COMMAND_TIMEOUT,
        check=False,
    )
    if compiled.returncode != 0:
        raise RuntimeError(f"building {SOURCE} failed:\n{compiled.stderr}")
    partial.replace(BINARY)
    return BINARY


@contextmanager
def mounted(
    backing: Path,
    mountpoint: Path,
    latency_ms: float = 20.0,
    fail_marker: str | None = None,
    fail_from: int = 0,
    direct_io: bool = False,
) -> Iterator[LatencyFs]:
    """Mounts `backing` on `mountpoint` (both made if missing) for the duration of the block;
    unmounts and reaps the daemon however the block ends. Reads and writes of files named with
    `fail_marker` fail with EIO, only from byte `fail_from` on (one that starts before it reads or
    writes the bytes up to it). With `direct_io`, every file is opened with direct I/O: nothing of
    it is cached, and each read and write reaches the daemon."""
    backing.mkdir(parents=True, exist_ok=True)
    mountpoint.mkdir(parents=True, exist_ok=True)
    binary = build()
    with tempfile.TemporaryDirectory(prefix="latencyfs-") as scratch:
        stats_file = Path(scratch) / "stats"
        stderr_file = Path(scratch) / "stderr"
        options = [f"--latency-ms={latency_ms}", f"--stats-file={stats_file}"]
        if fail_marker is not None:
            options += [f"--fail-marker={fail_marker}", f"--fail-from={fail_from}"]
        if direct_io:
            options.append("--direct-io")
        command = [str(binary), "-f", *options, str(backing), str(mountpoint)]
        with open(stderr_file, "wb") as stderr:
            process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=stderr, stderr=stderr
            )
        try:
            _wait_until_mounted(mountpoint, process, stderr_file)
            yield LatencyFs(backing, mountpoint, process, stats_file)
        finally:
            _unmount(mountpoint)
            _stop(process)


def _is_current() -> bool:
    return BINARY.exists() and BINARY.stat().st_mtime >= SOURCE.stat().st_mtime


def _wait_until_mounted(
    mountpoint: Path, process: subprocess.Popen[bytes], stderr_file: Path
) -> None:
    deadline = time.monotonic() + MOUNT_TIMEOUT
    while not os.path.ismount(mountpoint):
        if process.poll() is not None or time.monotonic() > deadline:
            state = "exited" if process.returncode is not None else "did not mount in time"
            raise RuntimeError(
                f"latencyfs {state} on {mountpoint}:\n{stderr_file.read_text(errors='replace')}"
            )
        time.sleep(0.02)


def _is_listed(mountpoint: Path) -> bool:
    """Whether the mount table holds `mountpoint`; unlike os.path.ismount, true of a dead daemon's
    mount."""
    wanted = os.path.realpath(mountpoint)
    with open("/proc/self/mounts", encoding="utf-8", errors="replace") as table:
        return any(_unescape(line.split()[1]) == wanted for line in table)


def _unescape(field: str) -> str:
    """Mount table fields write space, tab, newline and backslash as octal escapes."""
    for escaped, plain in (("\\040", " "), ("\\011", "\t"), ("\\012", "\n"), ("\\134", "\\")):
        field = field.replace(escaped, plain)
    return field


def _unmount(mountpoint: Path) -> None:
    """Unmounts cleanly when nothing holds the mount, else detaches it."""
    if not _is_listed(mountpoint):
        return
    if not (shutil.which("fusermount3") and _succeeds("fusermount3", "-u", str(mountpoint))):
        _detach(mountpoint)


def _detach(mountpoint: Path) -> None:
    """Lazy unmount: the path is free at once; files still open on the mount keep it until
    closed."""
    if _is_listed(mountpoint):
        _succeeds("umount", "-l", str(mountpoint))


def _succeeds(*command: str) -> bool:
    done = subprocess.run(
        command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=COMMAND_TIMEOUT
    )
    return done.returncode == 0


def _stop(process: subprocess.Popen[bytes]) -> None:
    """Ends the daemon (unmounted, it leaves by itself; detached, it would serve open files on) and
    reaps it; files still open on the mount fail with ENOTCONN from then on."""
    process.terminate()
    try:
        process.wait(timeout=MOUNT_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
