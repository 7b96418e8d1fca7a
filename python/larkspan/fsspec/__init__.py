"""larkspan as an fsspec file system: local paths (network and FUSE mounts included) under the
protocol "larkspan", for everything that reads through fsspec (zarr, Dask, pandas, xarray).

    fs = fsspec.filesystem("larkspan")          # or larkspan.fsspec.LarkspanFileSystem()
    fs.cat(["/data/a", "/data/b"])              # both read at once
    await LarkspanFileSystem(asynchronous=True)._cat_file("/data/a", start=10, end=20)

Every call runs on larkspan's own calls, so it is placed as they are: inline on the event loop
when the kernel can answer from memory, on a worker when it can wait. Paths, results and
exceptions are those of fsspec's LocalFileSystem for the same call; the synchronous methods
run the coroutines on fsspec's own event loop thread, as with every async fsspec file system.
"""

try:
    import fsspec as _fsspec  # type: ignore[import-untyped]  # noqa: F401  (only to say what is missing)
except ModuleNotFoundError as error:  # pragma: no cover (the test environment has fsspec)
    message = "larkspan.fsspec needs fsspec: pip install 'larkspan[fsspec]'"
    raise ModuleNotFoundError(message, name=error.name) from error

from ._file_system import LarkspanFileSystem
from ._files import BlockingFile, StreamedFile

__all__ = ["BlockingFile", "LarkspanFileSystem", "StreamedFile"]
