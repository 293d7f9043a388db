"""Output arrays laid out for the library's stores, in pages chosen for their first touch."""

from __future__ import annotations

import glob
import mmap
import os
import sys

import numpy as np

#: Bytes in a cache line: the engines stream whole lines of an output past the caches, which
#: needs rows that start on one.
LINE = 64

#: Outputs from this size on are mapped with their page size chosen (smaller ones gain nothing).
LARGE = 32 << 20

#: Order of a huge page in small pages, and the bit of a virtio balloon's features that says it
#: takes free memory back from the guest.
HUGE_PAGE_ORDER = 9
BALLOON_REPORTING = 5


def aligned_empty(shape: tuple[int, ...], choose_pages: bool = True) -> np.ndarray:
    """An uninitialised C-contiguous float64 array whose data starts on a cache line.

    With `choose_pages`, a large array is mapped anonymously with the advice of `page_advice`;
    otherwise NumPy allocates it, which suits buffers that a long-lived process allocates again
    and again (the memory one frees serves the next before the host can take it back).
    """
    count = int(np.prod(shape, dtype=np.int64))
    nbytes = count * 8
    if choose_pages and nbytes >= LARGE and sys.platform.startswith("linux"):
        # Private: a shared anonymous mapping would be shared memory, with its own huge page rules.
        pages = mmap.mmap(-1, nbytes, flags=mmap.MAP_PRIVATE)
        advice = page_advice(_read("/sys/kernel/mm/transparent_hugepage/enabled"),
                             free_huge_blocks_reported())
        if advice is not None:
            pages.madvise(advice)
        return np.frombuffer(pages, dtype=np.float64, count=count).reshape(shape)
    raw = np.empty(count + LINE // 8, dtype=np.float64)
    start = (-raw.ctypes.data % LINE) // 8
    return raw[start:start + count].reshape(shape)


def page_advice(enabled: str, reported: bool) -> int | None:
    """The madvise advice for a new large output, or None for the kernel's default.

    Huge pages make the first touch of an output several times cheaper than small pages, as
    NumPy knows, which asks for them. In a virtual machine whose host takes back the guest's free
    blocks of a huge page or more (free page reporting), a huge page is mostly such a block, and
    its first touch waits for the host to hand the memory back: many times dearer than small
    pages, which come from blocks the guest kept. `enabled` is the transparent huge page setting
    as in /sys/kernel/mm/transparent_hugepage/enabled.
    """
    start, end = enabled.find("["), enabled.find("]")
    mode = enabled[start + 1:end] if 0 <= start < end else ""
    if mode not in ("always", "madvise"):
        return None
    if reported:
        return mmap.MADV_NOHUGEPAGE
    return mmap.MADV_HUGEPAGE


def free_huge_blocks_reported() -> bool:
    """Whether a virtio balloon reports free blocks of a huge page or more to the host."""
    order = _read("/sys/module/page_reporting/parameters/page_reporting_order").strip()
    if not order.isdigit() or int(order) > HUGE_PAGE_ORDER:
        return False
    for device in glob.glob("/sys/bus/virtio/drivers/virtio_balloon/virtio*"):
        features = _read(os.path.join(device, "features")).strip()
        if len(features) > BALLOON_REPORTING and features[BALLOON_REPORTING] == "1":
            return True
    return False


def _read(path: str) -> str:
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""
