"""The arrays that the reader returns: large ones laid out on huge pages,
and computed a chunk at a time, so that temporaries stay small."""

from __future__ import annotations

import numpy as np

# Samples are converted, and time stamps computed, in pieces of this many,
# so that the temporary doubles stay small (1 MB) whatever the size of the
# block.
CHUNK = 1 << 17
# Large results start at a multiple of this, the size of a huge page, so
# that the system can back them with huge pages: faulting in 4 kB pages
# cost more than computing the values.
HUGE_PAGE = 1 << 21


def new_array(length: int, dtype: type | np.dtype) -> np.ndarray:
    """Returns an uninitialised array; a large one starts on a huge page."""
    itemsize = np.dtype(dtype).itemsize
    size = length * itemsize
    if size < 2 * HUGE_PAGE:
        return np.empty(length, dtype=dtype)
    memory = np.empty(size + HUGE_PAGE, dtype=np.uint8)
    start = -memory.ctypes.data % HUGE_PAGE
    return memory[start : start + size].view(dtype)
