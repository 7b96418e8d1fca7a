"""Writes a file through AsyncFile, reads it back and checks the bytes."""

import os
import tempfile

from _larkspan_core import AsyncFile


def main() -> None:
    lines = [f"line {i}\n".encode() for i in range(1000)]
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "roundtrip.txt")
        with AsyncFile(path, "wb").open() as f:
            f.writelines(lines)
        with AsyncFile(path, "rb").open() as f:
            data = f.read()
        with AsyncFile(path, "r").open() as f:
            count = sum(1 for _ in f)
    assert data == b"".join(lines), "read back different bytes"
    assert count == len(lines), "read back a different number of lines"
    print(f"wrote and read back {len(data)} bytes in {count} lines: ok")


if __name__ == "__main__":
    main()
