"""Awaitable versions of builtin shutil's copies, moves and removals, with builtin's arguments,
results and exceptions. Each runs on a worker wherever its paths lie: it does I/O without bound
(a whole file, a whole tree). Callbacks (ignore, copy_function, onexc, onerror) run on that worker.
A cancelled call stops being awaited at once, but runs on to its end."""

import shutil
import sys
from collections.abc import Callable, Iterable
from typing import Any, TypeAlias, TypeVar, cast

from ._calls import on_worker
from ._placement import PathName, StrPath

__all__ = ["copy", "copy2", "copyfile", "copytree", "move", "rmtree"]

Ignore: TypeAlias = Callable[[Any, list[str]], Iterable[str]]
CopyFunction: TypeAlias = Callable[[str, str], object]
ErrorHandler: TypeAlias = Callable[[Callable[..., Any], str, Any], object]
P = TypeVar("P", bound=PathName)  # the destination, returned as given
SP = TypeVar("SP", bound=StrPath)


async def copyfile(src: PathName, dst: P, *, follow_symlinks: bool = True) -> P:
    """shutil.copyfile(), awaited, on a worker: builtin's arguments, result and exceptions."""
    return await on_worker(lambda: shutil.copyfile(src, dst, follow_symlinks=follow_symlinks))


async def copy(src: StrPath, dst: SP, *, follow_symlinks: bool = True) -> SP | str:
    """The new file's path: `dst`, or the path of `src`'s name inside directory `dst`."""
    return await on_worker(lambda: shutil.copy(src, dst, follow_symlinks=follow_symlinks))


async def copy2(src: StrPath, dst: SP, *, follow_symlinks: bool = True) -> SP | str:
    """shutil.copy2(), awaited, on a worker: builtin's arguments, result and exceptions."""
    return await on_worker(lambda: shutil.copy2(src, dst, follow_symlinks=follow_symlinks))


async def copytree(
    src: StrPath,
    dst: SP,
    symlinks: bool = False,
    ignore: Ignore | None = None,
    copy_function: CopyFunction = shutil.copy2,
    ignore_dangling_symlinks: bool = False,
    dirs_exist_ok: bool = False,
) -> SP:
    """shutil.copytree(), awaited, on a worker: builtin's arguments, result and exceptions."""
    return await on_worker(
        lambda: shutil.copytree(
            src, dst, symlinks, ignore, copy_function, ignore_dangling_symlinks, dirs_exist_ok
        )
    )


async def move(src: StrPath, dst: SP, copy_function: CopyFunction = shutil.copy2) -> SP | str:
    """Where `src` went: `dst`, or the path of `src`'s name inside directory `dst`."""
    moved: SP | str = await on_worker(lambda: shutil.move(src, dst, copy_function))
    return moved


if sys.version_info >= (3, 12):

    async def rmtree(
        path: PathName,
        ignore_errors: bool = False,
        onerror: ErrorHandler | None = None,
        *,
        onexc: ErrorHandler | None = None,
        dir_fd: int | None = None,
    ) -> None:
        # Both handlers go on as given (builtin warns about onerror, and prefers onexc), which
        # none of the overloads of builtin's signature allows at once.
        """shutil.rmtree(), awaited, on a worker: builtin's arguments, result and exceptions."""
        rmtree_as_given = cast(Callable[..., None], shutil.rmtree)
        await on_worker(
            lambda: rmtree_as_given(path, ignore_errors, onerror, onexc=onexc, dir_fd=dir_fd)
        )

else:  # builtin's takes onexc from 3.12 on

    async def rmtree(
        path: PathName,
        ignore_errors: bool = False,
        onerror: ErrorHandler | None = None,
        *,
        dir_fd: int | None = None,
    ) -> None:
        """shutil.rmtree(), awaited, on a worker: builtin's arguments, result and exceptions."""
        await on_worker(lambda: shutil.rmtree(path, ignore_errors, onerror, dir_fd=dir_fd))
