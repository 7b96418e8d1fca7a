"""larkspan.os.path under the name aiofiles gives it (aiofiles.ospath)."""

from .os.path import *  # noqa: F403
from .os.path import __all__ as __all__
