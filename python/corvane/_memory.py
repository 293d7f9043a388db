"""Output arrays laid out for the library's stores."""

from __future__ import annotations

import numpy as np

#: Bytes in a cache line: the engines stream whole lines of an output past the caches, which
#: needs rows that start on one.
LINE = 64


def aligned_empty(shape: tuple[int, ...]) -> np.ndarray:
    """An uninitialised C-contiguous float64 array whose data starts on a cache line."""
    count = int(np.prod(shape, dtype=np.int64))
    raw = np.empty(count + LINE // 8, dtype=np.float64)
    start = (-raw.ctypes.data % LINE) // 8
    return raw[start:start + count].reshape(shape)
