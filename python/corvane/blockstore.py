"""A matrix store that is written a block of whole L1C x-columns at a time.

The store is the Zarr v3 array of `corvane.save`, with its attributes, plus what makes an
interrupted build resumable: the number of x-columns per block, the SHA-256 digest of every block
that has been written (recorded only after its write, by the one process that drives the build)
and a completion flag that is set last. A store whose request differs from the one at hand is
refused, never overwritten.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any, Dict, Mapping, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]
# Attributes that say which matrix a store holds; two requests that agree on them build the same
# bits.
IDENTITY = ("kind", "windows", "options", "version", "inputs")
BLOCKS = "blocks"
COMPLETE = "complete"


class StoreMismatchError(ValueError):
    """The store at the path holds (part of) another matrix than the one requested."""


def block_digest(block: np.ndarray) -> str:
    """SHA-256 of a block's bytes in C order (hashlib releases the GIL while it reads them)."""
    return hashlib.sha256(np.ascontiguousarray(block).data).hexdigest()


def create(path: PathLike, kk: int, chunk_rows: int, attributes: Mapping[str, Any],
           block_columns: int, compressors: Any) -> Any:
    """A new, empty store for a (kk, kk) matrix, its chunks of rows inside the blocks."""
    import zarr

    attributes = dict(attributes)
    attributes[BLOCKS] = {"columns": int(block_columns), "digests": {}}
    attributes[COMPLETE] = False
    # Chunks that hold only zeros are written too: -0.0 equals the fill value 0.0, and skipping
    # such a chunk would read it back as +0.0.
    return zarr.create_array(
        os.fspath(path), shape=(kk, kk), chunks=(chunk_rows, kk), dtype="float64",
        compressors=compressors, fill_value=0.0, dimension_names=("source", "receiver"),
        attributes=attributes, config={"write_empty_chunks": True})


def open_existing(path: PathLike, kk: int, attributes: Mapping[str, Any]) -> Any:
    """The store at `path`, opened for writing, if it holds the requested matrix.

    Raises
    ------
    FileExistsError
        If something other than a block store is there.
    StoreMismatchError
        If the store holds another matrix; the message names what differs.
    """
    array = _open(path, "r+")
    stored = array.attrs.asdict()
    wanted = json.loads(json.dumps(dict(attributes)))
    differences = [f"{key}: {_difference(stored.get(key), wanted.get(key))}" for key in IDENTITY
                   if stored.get(key) != wanted.get(key)]
    if array.shape != (kk, kk) or array.dtype != np.float64:
        differences.append(f"matrix: stored {array.dtype} {array.shape}, requested float64 "
                           f"{(kk, kk)}")
    if differences:
        raise StoreMismatchError(
            f"{os.fspath(path)} holds another matrix than the one requested, so it is left as it "
            "is; choose another path or remove it. Stored and requested differ in\n"
            + "\n".join(f"  - {line}" for line in differences))
    return array


def open_complete(path: PathLike) -> Any:
    """A stored matrix for reading, refusing a block store whose build has not finished."""
    array = _open(path, "r", require_blocks=False)
    require_complete(path, array)
    return array


def require_complete(path: PathLike, array: Any) -> None:
    """Refuse a block store whose build has not finished: its unwritten blocks read as zeros."""
    if array.attrs.get(COMPLETE) is False:
        raise ValueError(f"{os.fspath(path)} is an unfinished build; run build_to_zarr with the "
                         "same arguments to finish it")


def digests(array: Any) -> Dict[int, str]:
    """The recorded digests by first x-column of their block."""
    return {int(c0): digest for c0, digest in array.attrs[BLOCKS]["digests"].items()}


def block_columns(array: Any) -> int:
    return int(array.attrs[BLOCKS]["columns"])


def record(array: Any, recorded: Mapping[int, str], complete: bool = False) -> None:
    """Write the digests of the blocks on disk (and the completion flag) into the store."""
    blocks = {"columns": block_columns(array),
              "digests": {str(c0): recorded[c0] for c0 in sorted(recorded)}}
    array.update_attributes({BLOCKS: blocks, COMPLETE: complete})


def read_digest(path: PathLike, rows: slice) -> str:
    """The digest of rows of a stored matrix as they read back now."""
    import zarr

    return block_digest(zarr.open_array(os.fspath(path), mode="r")[rows])


def _open(path: PathLike, mode: str, require_blocks: bool = True) -> Any:
    import zarr

    name = os.fspath(path)
    try:
        array = zarr.open_array(name, mode=mode)
    except Exception as error:  # zarr names several errors for "not an array here"
        raise FileExistsError(f"{name} exists but is not a Zarr matrix store, so it is left as "
                              f"it is; choose another path or remove it ({error})") from error
    if require_blocks and BLOCKS not in array.attrs:
        raise FileExistsError(f"{name} holds a matrix that was not built block by block, so it "
                              "is left as it is; choose another path or remove it")
    return array


def _difference(stored: Any, wanted: Any) -> str:
    if isinstance(stored, dict) and isinstance(wanted, dict):
        keys = sorted(set(stored) | set(wanted))
        return ", ".join(f"{key} stored {stored.get(key)!r}, requested {wanted.get(key)!r}"
                         for key in keys if stored.get(key) != wanted.get(key))
    return f"stored {stored!r}, requested {wanted!r}"
