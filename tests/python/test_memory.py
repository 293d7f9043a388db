"""The outputs the package allocates for the engines."""

import mmap

import numpy as np
import pytest

from corvane._memory import LARGE, aligned_empty, page_advice


@pytest.mark.parametrize("choose_pages", [True, False])
@pytest.mark.parametrize("rows", [3, LARGE // 8 // 1024 + 1])
def test_outputs_start_on_a_cache_line_and_are_writeable(rows, choose_pages):
    out = aligned_empty((rows, 1024), choose_pages=choose_pages)
    assert out.shape == (rows, 1024) and out.dtype == np.float64
    assert out.flags.c_contiguous and out.flags.writeable
    assert out.ctypes.data % 64 == 0
    out[:] = 2.0
    assert out.sum() == 2.0 * out.size


@pytest.mark.parametrize("enabled, reported, advice", [
    ("always madvise [never]", False, None),
    ("always [madvise] never", False, mmap.MADV_HUGEPAGE),
    ("[always] madvise never", True, mmap.MADV_NOHUGEPAGE),
    ("", False, None),
])
def test_huge_pages_only_where_the_host_keeps_free_memory(enabled, reported, advice):
    assert page_advice(enabled, reported) == advice
