"""Where a call that names a path runs: inline on the event loop when the kernel can answer it
from memory or a local disk, on a worker when it can wait (a network or FUSE file system, a FIFO,
a device). Open handles are placed by the engine itself, from the descriptor."""

import os
import select
import stat
import threading
from typing import NamedTuple, TypeAlias

from ._engine import remember_may_wait

PathName: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
StrPath: TypeAlias = str | os.PathLike[str]
# A path as builtin os calls take it, or the descriptor of an open file or directory.
Located: TypeAlias = PathName | int

# File systems whose requests may cross a network or reach a user-space daemon (the types of
# /proc/self/mountinfo; "fuse" also covers "fuse.sshfs", "fuseblk" and the like).
WAITING_FILE_SYSTEMS = (
    "fuse",
    "nfs",
    "cifs",
    "smb",
    "ceph",
    "9p",
    "afs",
    "coda",
    "lustre",
    "gluster",
    "gpfs",
    "ocfs2",
    "gfs2",
    "orangefs",
    "davfs",
    "virtiofs",
)
# Opening one of these waits for another party (a FIFO's other end, a device, a socket's peer).
WAITING_FILE_TYPES = (stat.S_IFIFO, stat.S_IFCHR, stat.S_IFBLK, stat.S_IFSOCK)

MOUNTINFO = "/proc/self/mountinfo"
MOST_FOLDERS = 4096  # folders whose file system type is kept


def _unescape(field: str) -> str:
    """mountinfo writes space, tab, newline and backslash in paths as octal escapes."""
    if "\\" not in field:
        return field
    return (
        field.encode().decode("unicode_escape").encode("latin-1").decode(errors="surrogateescape")
    )


class Mount(NamedTuple):
    point: str
    type: str
    device: int  # st_dev of the files on it


def _parse_mountinfo(text: str) -> list[Mount]:
    mounts = []
    for line in text.splitlines():
        fields = line.split(" ")
        if " - " in line and len(fields) > 4:
            major, _, minor = fields[2].partition(":")
            file_system = line.split(" - ", 1)[1].split(" ", 1)[0]
            mounts.append(
                Mount(_unescape(fields[4]), file_system, os.makedev(int(major), int(minor)))
            )
    return mounts


class MountTable:
    """The file system type of every mount point, read again only after a mount or unmount:
    the kernel marks mountinfo readable with POLLPRI when the table changes. The engine learns
    from it which devices may wait, so it never asks a slow file system what it is."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._descriptor = os.open(MOUNTINFO, os.O_RDONLY | os.O_CLOEXEC)
        self._changes = select.poll()
        self._changes.register(self._descriptor, select.POLLPRI)
        self._types = self._read()
        # The answers for the folders of paths asked about since the table was read: most opens
        # name files in folders opened before, and walking up to the mount point cost a third of
        # the question.
        self._folders: dict[str, str] = {}

    def _read(self) -> dict[str, str]:
        chunks = []
        os.lseek(self._descriptor, 0, os.SEEK_SET)
        while chunk := os.read(self._descriptor, 1 << 16):
            chunks.append(chunk)
        mounts = _parse_mountinfo(b"".join(chunks).decode(errors="surrogateescape"))
        for mount in mounts:
            if mount.type.startswith(WAITING_FILE_SYSTEMS):
                remember_may_wait(mount.device)
        return {mount.point: mount.type for mount in mounts}

    def type_of(self, path: str) -> str:
        """The type of the file system holding absolute `path` as written (links not followed)."""
        with self._lock:
            if self._changes.poll(0):
                self._types = self._read()
                self._folders = {}
            types, folders = self._types, self._folders
        if path in types:
            return types[path]
        cut = path.rfind("/")
        folder = path[:cut] if cut > 0 else "/"
        found = folders.get(folder)
        if found is None:
            found = _type_above(types, folder)
            if len(folders) < MOST_FOLDERS:
                folders[folder] = found
        return found


def _type_above(types: dict[str, str], path: str) -> str:
    """The type of the nearest mount point at or above `path`."""
    while path not in types:
        cut = path.rfind("/")
        if cut <= 0:
            return types.get("/", "")
        path = path[:cut]
    return types[path]


def _mount_table() -> MountTable | None:
    try:
        return MountTable()
    except OSError:
        return None  # no /proc: every open that names a path goes to a worker


_mounts = _mount_table()


def open_may_wait(path: str | bytes) -> bool:
    """Whether opening `path` can wait on a network, a daemon or another process. Asked inline:
    it reads a cached table and makes one stat on a local file system."""
    if _mounts is None:
        return True
    text = os.fsdecode(path)
    if _mounts.type_of(os.path.abspath(text)).startswith(WAITING_FILE_SYSTEMS):
        return True
    try:
        mode = os.lstat(text).st_mode
    except (OSError, ValueError):
        return False  # a file about to be created, or an open that fails at once
    # A link may lead anywhere, a slow file system included; following it could wait.
    return stat.S_IFMT(mode) in WAITING_FILE_TYPES or stat.S_ISLNK(mode)


def path_may_wait(*paths: Located) -> bool:
    """Whether a metadata call naming `paths` (stat, rename, mkdir, ...) can wait: whether any of
    them lies on a waiting file system by the mount table. Nothing is stat'ed, since a stat is
    what is being placed: a link on a local disk that leads into a network mount goes unseen."""
    if _mounts is None:
        return True
    return any(_mounts.type_of(_where(path)).startswith(WAITING_FILE_SYSTEMS) for path in paths)


def _where(path: Located) -> str:
    """The absolute path that `path` names, or "/" when it names none (a bad argument, which the
    call rejects at once, or a descriptor of a pipe or socket)."""
    try:
        if isinstance(path, int):
            return os.readlink(f"/proc/self/fd/{path}")
        return os.path.abspath(os.fsdecode(path))
    except (OSError, TypeError, ValueError):
        return "/"


def beneath(dir_fd: int | None, path: Located) -> Located:
    """What a call given `dir_fd` names: a relative `path` starts at that directory."""
    if dir_fd is None or isinstance(path, int):
        return path
    try:
        if os.path.isabs(os.fsdecode(path)):
            return path
        return os.path.join(os.readlink(f"/proc/self/fd/{dir_fd}"), os.fsdecode(path))
    except (OSError, TypeError, ValueError):
        return path  # the call fails at once with builtin's error
