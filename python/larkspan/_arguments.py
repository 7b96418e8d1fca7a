"""Arguments checked as builtin checks them: open()'s, before any file is created or cut, and those
of the text handles' calls."""

import codecs
import locale
import operator
import os
import sys
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, SupportsIndex, TypeAlias

Opener: TypeAlias = Callable[[str | bytes, int], int]

DEFAULT_ENCODING = "utf-8"
NEWLINES = (None, "", "\n", "\r", "\r\n")


@dataclass(frozen=True, slots=True)
class OpenPlan:
    """How to open: the flags for os.open, the engine's mode string, and the text settings."""

    flags: int
    engine_mode: str  # "r", "w" or "a", "+" if it applies, then "b": the engine works in bytes
    binary: bool
    buffering: int
    encoding: str | None
    errors: str | None
    newline: str | None


def _require_optional_str(name: str, value: object) -> None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"open() argument '{name}' must be str or None, not {type(value).__name__}")


def _flags(mode: str) -> tuple[int, str]:
    """os.open flags and the engine's mode letter for a checked mode."""
    update = "+" in mode
    for letter, flags, engine in (
        ("r", os.O_RDONLY, "r"),
        ("w", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, "w"),
        ("a", os.O_WRONLY | os.O_CREAT | os.O_APPEND, "a"),
        ("x", os.O_WRONLY | os.O_CREAT | os.O_EXCL, "w"),
    ):
        if letter in mode:
            if update:
                flags = (flags & ~os.O_WRONLY) | os.O_RDWR
            return flags | os.O_CLOEXEC, engine + ("+" if update else "")
    raise AssertionError(mode)


def check_mode(mode: object) -> str:
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
    letters = set(mode)
    if letters - set("axrwb+t") or len(mode) > len(letters):
        raise ValueError(f"invalid mode: {mode!r}")
    if "t" in letters and "b" in letters:
        raise ValueError("can't have text and binary mode at once")
    kinds = sum(letter in letters for letter in "xrwa")
    if kinds > 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    if kinds == 0:
        raise ValueError(
            "Must have exactly one of create/read/write/append mode and at most one plus"
        )
    return mode


def plan_open(
    file: Any,
    mode: object,
    buffering: Any,
    encoding: object,
    errors: object,
    newline: object,
    closefd: object,
    opener: Opener | None,
) -> tuple[str | bytes | int, OpenPlan]:
    """The file (a path, or a descriptor) and how to open it; raises what builtin open() raises
    for the same arguments."""
    if not isinstance(file, int):
        file = os.fspath(file)
    plan = _plan(mode, buffering, encoding, errors, newline)
    if not closefd and not isinstance(file, int):
        raise ValueError("Cannot use closefd=False with file name")
    if opener is not None and not callable(opener):
        raise TypeError(f"'{type(opener).__name__}' object is not callable")
    if isinstance(file, int) and file < 0:
        raise ValueError("negative file descriptor")
    return file, plan


# The plans of binary opens without text arguments, by mode and buffering: checking the mode and
# making the plan took most of a cached open's argument handling. Only modes that passed the checks
# get here, so the table stays small.
_binary_plans: dict[tuple[str, int], OpenPlan] = {}
_MOST_BINARY_PLANS = 64


def _plan(
    mode: object, buffering: Any, encoding: object, errors: object, newline: object
) -> OpenPlan:
    plain_binary = (
        type(mode) is str
        and type(buffering) is int
        and encoding is None
        and errors is None
        and newline is None
    )
    if plain_binary:
        known = _binary_plans.get((mode, buffering))  # type: ignore[arg-type]
        if known is not None:
            return known
    plan = _checked_plan(mode, buffering, encoding, errors, newline)
    if plain_binary and plan.binary and buffering != 1 and len(_binary_plans) < _MOST_BINARY_PLANS:
        _binary_plans[(mode, buffering)] = plan  # type: ignore[index]
    return plan


def _checked_plan(
    mode: object, buffering: Any, encoding: object, errors: object, newline: object
) -> OpenPlan:
    mode = check_mode(mode)
    buffering = operator.index(buffering)
    binary = "b" in mode
    if binary:
        for name, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
            _require_optional_str(name, value)
        for name, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
            if value is not None:
                raise ValueError(
                    f"binary mode doesn't take an {name} argument".replace(
                        "an newline", "a newline"
                    )
                )
        if buffering == 1:
            warnings.warn(
                "line buffering (buffering=1) isn't supported in binary mode, the default buffer "
                "size will be used",
                RuntimeWarning,
                stacklevel=5,
            )
    else:
        if buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
        check_text_arguments(encoding, errors, newline)  # LookupError now, not at the first read
    flags, engine_mode = _flags(mode)
    return OpenPlan(
        flags,
        engine_mode + "b",
        binary,
        buffering,
        encoding,  # type: ignore[arg-type]
        errors,  # type: ignore[arg-type]
        newline,  # type: ignore[arg-type]
    )


# ---- text ------------------------------------------------------------------------------------


def check_text_arguments(encoding: object, errors: object, newline: object) -> None:
    """Raises what builtin open() raises for these text arguments, in its order. Safe to call before
    the file is opened."""
    encoding = optional_text("encoding", encoding)
    errors = optional_text("errors", errors)
    newline = optional_text("newline", newline)
    check_newline(newline)
    if sys.flags.dev_mode and errors is not None:
        codecs.lookup_error(errors)  # only development mode checks the handler early
    text_codec(encoding_name(encoding))


def optional_text(name: str, value: object) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"open() argument '{name}' must be str or None, not {type(value).__name__}")
    if b"\0" in value.encode():  # encode() refuses surrogates, as open() does
        raise ValueError("embedded null character")
    return value


def reconfigure_text(name: str, value: object) -> str | None:
    if value is not None and not isinstance(value, str):
        raise TypeError(
            f"reconfigure() argument '{name}' must be str or None, not {type(value).__name__}"
        )
    return value


def check_newline(newline: object) -> None:
    if newline not in NEWLINES:
        raise ValueError(f"illegal newline value: {newline}")


def encoding_name(encoding: str | None) -> str:
    if encoding is None:
        return DEFAULT_ENCODING
    return locale.getencoding() if encoding == "locale" else encoding


def text_codec(encoding: str) -> codecs.CodecInfo:
    info = codecs.lookup(encoding)
    if not getattr(info, "_is_text_encoding", True):
        raise LookupError(
            f"{encoding!r} is not a text encoding; use codecs.open() to handle arbitrary codecs"
        )
    return info


def optional_size(size: object) -> int:
    """read() and readlines() take an int or None (-1), as builtin's do."""
    if size is None:
        return -1
    if not hasattr(type(size), "__index__"):
        raise TypeError(f"argument should be integer or None, not '{type(size).__name__}'")
    value = operator.index(size)  # type: ignore[arg-type]
    if not -(1 << 63) <= value < 1 << 63:
        raise OverflowError("cannot fit 'int' into an index-sized integer")
    return value


def line_limit(size: SupportsIndex) -> int:
    value = operator.index(size)
    if not -(1 << 63) <= value < 1 << 63:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return value


def require_str(text: object) -> str:
    if not isinstance(text, str):
        raise TypeError(f"write() argument must be str, not {type(text).__name__}")
    return text
