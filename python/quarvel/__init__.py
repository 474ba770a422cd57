"""Read quarvel's logger files straight into numpy arrays and pandas.

    import quarvel
    with quarvel.open("run7.002") as log:
        for block in log.blocks:
            print(block.channel, block.values(), block.times())

The values and time stamps are those that the quarvel converter writes,
to the bit, before it rounds them to text.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__version__ = "1.0"
__all__ = ["open", "LogFile", "Block", "TruncatedBlockWarning", "__version__"]

if TYPE_CHECKING:
    from ._reader import Block, LogFile, TruncatedBlockWarning, open


def __getattr__(name: str) -> Any:
    # The reader needs numpy, which takes longer to import than scanning
    # thousands of headers: `python3 -m quarvel info` does without it.
    if name in ("open", "LogFile", "Block", "TruncatedBlockWarning"):
        from . import _reader

        return getattr(_reader, name)
    raise AttributeError(f"module 'quarvel' has no attribute {name!r}")
