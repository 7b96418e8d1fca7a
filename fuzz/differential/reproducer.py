"""A diverging case written out as Python: a program that runs its calls on both sides and prints
what each gives, and the literal of the case for the table of regressions in tests/."""

import os
from typing import Any

from .cases import Call, Case

FUZZ_DIRECTORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = """import asyncio, inspect, os, sys
sys.path.insert(0, {fuzz!r})
import larkspan
from differential.oracle import open_builtin  # builtin open(), its known faults corrected

CONTENT = {content}
MODE, OPTIONS = {mode!r}, {options!r}


def prepare(path):
    if os.path.exists(path):
        os.unlink(path)
    if CONTENT is not None:
        with open(path, "wb") as f:
            f.write(CONTENT)


def evict(path):  # drops the file's pages from the cache, so the reads that follow wait
    descriptor = os.open(path, os.O_RDONLY)
    os.fdatasync(descriptor)
    os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(descriptor)


async def show(what, call, told=None):
    try:
        result = call()
        result = await result if inspect.isawaitable(result) else result
    except Exception as error:
        result = f"raised {{type(error).__name__}}: {{error}}"
    if told is not None and isinstance(result, int):
        told.append(result)
    print(f"  {{what:40}} {{result!r:.300}}")


async def builtin_side(path):
    prepare(path)
    told = []
    with open_builtin(path, MODE, **OPTIONS) as f:
{builtin}
    print("  bytes on disk:", open(path, "rb").read())


async def larkspan_side(path):
    prepare(path)
    told = []
    async with larkspan.open(path, MODE, **OPTIONS) as f:
{ours}
    print("  bytes on disk:", open(path, "rb").read())


print("builtin:")
asyncio.run(builtin_side("reproduce-builtin"))
print("larkspan:")
asyncio.run(larkspan_side("reproduce-larkspan"))
"""


def reproducer(case: Case) -> str:
    builtin = [f"        {line}" for call in case.calls for line in statements(call, ours=False)]
    ours = [f"        {line}" for call in case.calls for line in statements(call, ours=True)]
    return PRELUDE.format(
        fuzz=FUZZ_DIRECTORY,
        content=bytes_literal(case.content),
        mode=case.mode,
        options=case.open_arguments(),
        builtin="\n".join(builtin or ["        pass"]),
        ours="\n".join(ours or ["        pass"]),
    )


def statements(call: Call, ours: bool) -> list[str]:
    if call[0] == "gather":
        if not ours:
            return statements(call[1], ours) + statements(call[2], ours)
        first, second = expression(call[1], ours), expression(call[2], ours)
        return [
            "await show('gather', lambda: "
            f"asyncio.gather({first}, {second}, return_exceptions=True))"
        ]
    keep = ", told" if call[0] == "tell" else ""
    return [f"await show({label(call)!r}, lambda: {expression(call, ours)}{keep})"]


def label(call: Call) -> str:
    return f"{call[0]}({', '.join(short(argument) for argument in call[1:])})"


def short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 24 else text[:20] + "..."


def expression(call: Call, ours: bool) -> str:
    name, *arguments = call
    listed = ", ".join(repr(argument) for argument in arguments)
    if name == "next":
        return "anext(f, '<end>')" if ours else "next(f, '<end>')"
    if name == "evict":
        return "evict(f.name)"
    if name in ("closed", "newlines", "encoding", "errors", "mode", "line_buffering"):
        return f"f.{name}"
    if name == "name_matches":
        return "f.name"
    if name == "seek_told":
        return f"f.seek(told[{arguments[0]} % len(told)])"
    if name == "readinto":
        return f"(lambda b: (f.readinto(b), b))(bytearray({arguments[0]}))"
    if name == "readall" and not ours:
        return "(f.readall if hasattr(f, 'readall') else f.read)()"
    return f"f.{name}({listed})"


def bytes_literal(data: bytes | None) -> str:
    """`data` as Python, with runs of one byte written as multiplications."""
    if data is None:
        return "None"
    parts: list[str] = []
    start = 0
    while start < len(data):
        end = start
        while end < len(data) and data[end] == data[start]:
            end += 1
        if end - start >= 16:
            parts.append(f"{data[start : start + 1]!r} * {end - start}")
            start = end
            continue
        literal_end = start
        while literal_end < len(data):
            run = literal_end
            while run < len(data) and data[run] == data[literal_end]:
                run += 1
            if run - literal_end >= 16:
                break
            literal_end = run
        parts.append(repr(data[start:literal_end]))
        start = literal_end
    if len(parts) <= 8:
        return " + ".join(parts) or "b''"
    return (
        "b''.join([\n    " + ",\n    ".join(parts) + ",\n])"
    )  # a long sum would nest too deep to compile


def case_literal(case: Case) -> str:
    """The case as a Case(...) expression, for the table of regressions."""
    fields = [
        f"seed={case.seed}",
        f"content={bytes_literal(case.content)}",
        f"mode={case.mode!r}",
        f"buffering={case.buffering}",
    ]
    if not case.binary:
        fields += [
            f"encoding={case.encoding!r}",
            f"errors={case.errors!r}",
            f"newline={case.newline!r}",
        ]
    fields.append(f"calls={case.calls!r}")
    return "Case(" + ", ".join(fields) + ")"
