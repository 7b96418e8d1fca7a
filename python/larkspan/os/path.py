"""Awaitable versions of builtin os.path's queries, with builtin's arguments and results: inline
when the path lies on a file system that cannot wait, else on a worker."""

import os
from typing import AnyStr

from .._budget import yield_if_spent
from .._calls import placed
from .._placement import Located, PathName

__all__ = [
    "abspath",
    "exists",
    "getatime",
    "getctime",
    "getmtime",
    "getsize",
    "isdir",
    "isfile",
    "islink",
    "ismount",
    "samefile",
    "sameopenfile",
]


async def exists(path: Located) -> bool:
    """os.path.exists(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.exists(path), path)


async def isfile(path: Located) -> bool:
    """os.path.isfile(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.isfile(path), path)


async def isdir(s: Located) -> bool:
    """os.path.isdir(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.isdir(s), s)


async def islink(path: PathName) -> bool:
    """os.path.islink(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.islink(path), path)


async def ismount(path: PathName) -> bool:
    """os.path.ismount(), awaited: builtin's arguments and result."""
    # Compares the path's device with its parent's: a mount point of a waiting file system is
    # listed as one, so the mount table places it.
    return await placed(lambda: os.path.ismount(path), path)


async def getsize(filename: Located) -> int:
    """os.path.getsize(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.getsize(filename), filename)


async def getatime(filename: Located) -> float:
    """os.path.getatime(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.getatime(filename), filename)


async def getmtime(filename: Located) -> float:
    """os.path.getmtime(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.getmtime(filename), filename)


async def getctime(filename: Located) -> float:
    """os.path.getctime(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.getctime(filename), filename)


async def samefile(f1: Located, f2: Located) -> bool:
    """os.path.samefile(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.samefile(f1, f2), f1, f2)


async def sameopenfile(fp1: int, fp2: int) -> bool:
    """os.path.sameopenfile(), awaited: builtin's arguments and result."""
    return await placed(lambda: os.path.sameopenfile(fp1, fp2), fp1, fp2)


async def abspath(path: AnyStr | os.PathLike[AnyStr]) -> AnyStr:
    """Inline: it reads the current directory's name, which the kernel keeps in memory."""
    await yield_if_spent()
    return os.path.abspath(path)
