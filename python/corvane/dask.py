"""Both matrices as lazy Dask arrays, one task per block of whole L1C x-columns.

The request (the instrument's arrays and the options) is one key of the task graph that every
block task depends on, so it is shipped once to each process that builds blocks, not once per
task. A task allocates its block, lets the extension module fill it (without the GIL) and hands
the library's lines to the ``corvane`` logger of the process that ran it; the lines of the whole
request come with the block of x-column 0, so they appear once per computation.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

import numpy as np

from ._logsink import emit, library_records
from .blocks import BlockRequest, build_error, column_blocks, horizontal_request
from .blocks import infield_request

# Default size of a block: large enough that the per-call set-up of the library is small beside
# the build, small enough that a few blocks in flight per process stay far below a big matrix.
BLOCK_BYTES = 256 << 20


def infield_matrix(instrument: Any, windows: Any, *, chunks: Optional[int] = None,
                   scheme: str = "quadratic", lower_edge: bool = True, rows_below: int = 42,
                   rows_above: int = 42, threads: Optional[int] = None) -> Any:
    """The in-field convolution matrix as a lazy ``(KK, KK)`` Dask array.

    Parameters
    ----------
    instrument, windows, scheme, lower_edge, rows_below, rows_above
        As for `corvane.infield_matrix`.
    chunks : int, optional
        L1C x-columns per block: each chunk holds ``chunks * Ky`` whole rows. By default blocks
        of about 256 MB.
    threads : int, optional
        OpenMP threads of each block's build. By default the library's own setting; builds in
        one process take turns, so give 1 where each process has a core of its own.

    Returns
    -------
    dask.array.Array
        Chunked along rows by blocks of whole x-columns; computing it raises
        `corvane.BuildError` if the library cannot build the matrix.
    """
    request = infield_request(instrument, windows, scheme=scheme, lower_edge=lower_edge,
                              rows_below=rows_below, rows_above=rows_above)
    return lazy_matrix(request, chunks, threads)


def horizontal_matrix(instrument: Any, windows: Any, *, chunks: Optional[int] = None,
                      steps: Sequence[int] = (1, 1, 1, 1), threads: Optional[int] = None) -> Any:
    """The horizontal stray-light matrix as a lazy ``(KK, KK)`` Dask array; the arguments are
    those of `corvane.horizontal_matrix` and of `infield_matrix` above."""
    return lazy_matrix(horizontal_request(instrument, windows, steps=steps), chunks, threads)


def lazy_matrix(request: BlockRequest, chunks: Optional[int], threads: Optional[int]) -> Any:
    """The request's matrix as a Dask array with one task per block of `chunks` x-columns."""
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    columns = block_columns(request, chunks)
    blocks = column_blocks(request.kx, columns)
    token = tokenize(request.kind, request.arguments, request.core_options, columns, threads)
    name = f"corvane-{request.kind}-{token}"
    inputs = f"corvane-request-{token}"
    graph = {inputs: request}
    block_threads = 0 if threads is None else int(threads)
    for i, (c0, c1) in enumerate(blocks):
        graph[(name, i, 0)] = (build_block, inputs, c0, c1, block_threads)
    layers = HighLevelGraph.from_collections(name, graph, dependencies=())
    rows = tuple((c1 - c0) * request.ky for c0, c1 in blocks)
    return da.Array(layers, name, chunks=(rows, (request.kk,)), dtype=np.float64)


def build_block(request: BlockRequest, c0: int, c1: int, threads: int) -> np.ndarray:
    """The rows of x-columns [c0, c1); the library's lines go to the ``corvane`` logger."""
    block, ok, records = request.build(c0, c1, threads)
    emit(library_records(records))
    if not ok:
        raise build_error(request, records + request_lines(request, c0, threads), [(c0, c1)])
    return block


def request_lines(request: BlockRequest, c0: int, threads: int) -> list:
    """The lines of the whole request when the block starting at c0 failed: a block without
    column 0 does not carry them, so they are taken from a failed build of x-column 0 (one that
    fails as a whole stops at its checks). None when x-column 0 builds."""
    if c0 == 0:
        return []
    _, ok, records = request.build(0, 1, threads)
    return [] if ok else records


def block_columns(request: BlockRequest, chunks: Optional[int]) -> int:
    """x-columns per block: `chunks`, or the default block size."""
    if chunks is None:
        return max(1, min(request.kx, BLOCK_BYTES // (8 * request.kk * request.ky)))
    columns = int(chunks)
    if columns < 1:
        raise ValueError(f"chunks must be a positive number of x-columns, got {chunks}")
    return min(columns, request.kx)
