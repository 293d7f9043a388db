"""A matrix built straight into a Zarr store, a block of whole L1C x-columns at a time.

Each task builds one block, takes its digest and writes it to the store's chunks of those rows
(chunks never straddle two blocks, so no two tasks write one chunk); only the process that drives
the build writes the store's attributes, recording a block's digest after its write has finished
and the completion flag after the last one. A killed worker's task is run again by the scheduler,
and a build that stops for any reason is finished by running it again: the blocks whose digests
read back are kept.
"""

from __future__ import annotations

import dataclasses
import os
import shutil
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import blockstore
from ._logsink import emit, library_records
from .blocks import BlockRequest, build_error, column_blocks, horizontal_request
from .blocks import infield_request
from .dask import block_columns
from .files import CHUNK_BYTES, KINDS, PathLike, store_attributes

# Times a task is run again on dask.distributed after its worker died or it raised.
RETRIES = 2


@dataclasses.dataclass
class BuildSummary:
    """What `build_to_zarr` did.

    Attributes
    ----------
    path : str
        The store.
    blocks : int
        Blocks of the matrix.
    built : int
        Blocks built by this call; the others were already in the store and read back intact.
    engine_seconds, digest_seconds, store_seconds : float
        Time spent in the library, in SHA-256 and in compressing and writing, summed over the
        blocks this call built.
    """

    path: str
    blocks: int
    built: int = 0
    engine_seconds: float = 0.0
    digest_seconds: float = 0.0
    store_seconds: float = 0.0


def build_to_zarr(path: PathLike, instrument: Any, windows: Any, *, kind: str = "infield",
                  client: Any = None, chunks: Optional[int] = None,
                  threads: Optional[int] = None, compressors: Any = "default",
                  **options: Any) -> BuildSummary:
    """Build a matrix into a Zarr v3 store, never holding more than a few blocks in memory.

    The store is the one `corvane.save` writes (read it back with `corvane.load` or
    `corvane.StoredOperator`), with the same attributes and a record of the blocks written.

    Parameters
    ----------
    path : str or os.PathLike
        The store. If it exists it must hold a build of the same request, which is then finished
        (or checked, when complete).
    instrument, windows
        As for `corvane.infield_matrix`.
    kind : {"infield", "horizontal"}
        Which matrix to build.
    client : distributed.Client, optional
        Run the blocks on this cluster; by default on Dask's local threads.
    chunks : int, optional
        L1C x-columns per block (and per task); about 256 MB per block by default. A resumed build
        keeps the blocks of the store.
    threads : int, optional
        OpenMP threads of each block's build: the library's own setting without a client, 1 on
        a cluster (give the cores each worker has to itself).
    compressors : optional
        Zarr codecs for the chunks; by default Blosc LZ4 with byte shuffling.
    **options
        The options of `corvane.infield_matrix` (scheme, lower_edge, rows_below, rows_above) or
        of `corvane.horizontal_matrix` (steps).

    Returns
    -------
    BuildSummary

    Raises
    ------
    FileExistsError
        If `path` holds something else than a store built by this function.
    corvane.blockstore.StoreMismatchError
        If the store holds another matrix (other windows, options, inputs or library version).
    corvane.BuildError
        If the library cannot build the matrix; a store this call created is removed again.
    OSError
        If a block cannot be written (a full disk, say); the store keeps the blocks written so far
        and is not marked complete.
    """
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {KINDS}, got {kind!r}")
    make = infield_request if kind == "infield" else horizontal_request
    request = make(instrument, windows, **options)
    if threads is None:
        threads = 0 if client is None else 1
    attributes = store_attributes(request.kind, request.windows, request.options,
                                  request.inputs)
    name = os.fspath(path)
    created = not _occupied(name)
    if created:
        columns = block_columns(request, chunks)
        array = blockstore.create(name, request.kk, _chunk_rows(columns * request.ky, request.kk),
                                  attributes, columns, _codecs(compressors))
        recorded: Dict[int, str] = {}
    else:
        array = blockstore.open_existing(name, request.kk, attributes)
        columns = blockstore.block_columns(array)
        stored = blockstore.digests(array)
        recorded = _intact(name, request, stored, columns, client)
        if recorded != stored:
            blockstore.record(array, recorded)
    blocks = column_blocks(request.kx, columns)
    summary = BuildSummary(path=name, blocks=len(blocks))
    missing = [block for block in blocks if block[0] not in recorded]
    failed: List[Tuple[int, int]] = []
    lines: List[tuple] = []

    def finished(outcome: Dict[str, Any]) -> None:
        emit(library_records(outcome["records"]))
        lines.extend(outcome["records"])
        if not outcome["ok"]:
            failed.append((outcome["c0"], outcome["c1"]))
            return
        recorded[outcome["c0"]] = outcome["digest"]
        blockstore.record(array, recorded)
        summary.built += 1
        summary.engine_seconds += outcome["engine"]
        summary.digest_seconds += outcome["digest_seconds"]
        summary.store_seconds += outcome["store"]

    token = f"{time.time_ns():x}"
    graph: Dict[Any, Any] = {f"corvane-request-{token}": request}
    for c0, c1 in missing:
        graph[f"corvane-block-{token}-{c0}"] = (write_block, f"corvane-request-{token}", name,
                                               c0, c1, threads)
    _run(graph, [f"corvane-block-{token}-{c0}" for c0, _ in missing], client, finished)
    if failed:
        error = build_error(request, lines, sorted(failed))
        if created and not recorded:
            shutil.rmtree(name, ignore_errors=True)
        raise error
    blockstore.record(array, recorded, complete=True)
    return summary


def write_block(request: BlockRequest, path: str, c0: int, c1: int,
                threads: int) -> Dict[str, Any]:
    """Build x-columns [c0, c1) and write them to their rows of the store (in a worker)."""
    import zarr

    start = time.perf_counter()
    block, ok, records = request.build(c0, c1, threads)
    built = time.perf_counter()
    outcome = {"c0": c0, "c1": c1, "ok": ok, "records": records}
    if not ok:
        return outcome
    outcome["digest"] = blockstore.block_digest(block)
    hashed = time.perf_counter()
    try:
        zarr.open_array(path, mode="r+")[request.rows(c0, c1)] = block
    except OSError as error:
        raise OSError(error.errno, f"could not write x-columns [{c0}, {c1}) to {path}: "
                      f"{error.strerror or error}. The store keeps the blocks recorded so far; "
                      "run build_to_zarr again to finish it") from error
    outcome.update(engine=built - start, digest_seconds=hashed - built,
                   store=time.perf_counter() - hashed)
    return outcome


def _intact(path: str, request: BlockRequest, recorded: Dict[int, str], columns: int,
            client: Any) -> Dict[int, str]:
    """The recorded blocks whose rows still read back with their digest."""
    blocks = dict(column_blocks(request.kx, columns))
    token = f"{time.time_ns():x}"
    graph = {f"corvane-verify-{token}-{c0}": (_read_back, path, c0, request.rows(c0, blocks[c0]))
             for c0 in recorded if c0 in blocks}
    read: Dict[int, str] = {}
    _run(graph, list(graph), client, lambda result: read.__setitem__(*result))
    return {c0: digest for c0, digest in recorded.items() if read.get(c0) == digest}


def _read_back(path: str, c0: int, rows: slice) -> Tuple[int, str]:
    return c0, blockstore.read_digest(path, rows)


def _run(graph: Dict[Any, Any], keys: Sequence[Any], client: Any,
         finished: Callable[[Any], None]) -> None:
    """Compute the keys of a graph, calling `finished` with each result in this process as it
    arrives: on the cluster of `client`, or on Dask's local threads."""
    if not keys:
        return
    if client is None:
        import dask.threaded
        from dask.callbacks import Callback

        wanted = set(keys)

        def posttask(key: Any, result: Any, *_: Any) -> None:
            if key in wanted:
                finished(result)

        with Callback(posttask=posttask):
            dask.threaded.get(graph, list(keys))
        return
    from distributed import as_completed

    futures = client.get(graph, list(keys), sync=False, retries=RETRIES)
    try:
        for future in as_completed(futures):
            finished(future.result())
    finally:
        client.cancel(futures)


def _occupied(path: str) -> bool:
    return os.path.exists(path) and not (os.path.isdir(path) and not os.listdir(path))


def _chunk_rows(block_rows: int, kk: int) -> int:
    """The largest divisor of a block's rows whose chunk stays within the chunk size of
    `corvane.save`, so that chunks tile every block."""
    target = max(1, min(block_rows, CHUNK_BYTES // (8 * kk)))
    return max(d for d in range(1, target + 1) if block_rows % d == 0)


def _codecs(compressors: Any) -> Any:
    """Blosc with byte shuffling, as `corvane.save`, but LZ4 instead of zstd: on these matrices
    it compresses about three times as fast for a store about 2 % larger, which keeps the
    compression from setting the pace of the build."""
    if isinstance(compressors, str) and compressors == "default":
        from zarr.codecs import BloscCodec, BloscShuffle

        return BloscCodec(cname="lz4", clevel=5, shuffle=BloscShuffle.shuffle)
    return compressors

