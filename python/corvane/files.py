"""Matrices on disk: one Zarr v3 array per store, chunked by rows and compressed, with what made it
in the array's attributes."""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import os
from typing import Any, Dict, Mapping, Optional

import numpy as np

from .blockstore import PathLike, require_complete
from .windows import Windows

KINDS = ("infield", "horizontal")
# Uncompressed size of one chunk of rows: small enough to read a few rows cheaply, large enough
# that a big matrix is not split into very many files.
CHUNK_BYTES = 8 << 20


@dataclasses.dataclass(frozen=True)
class StoredMatrix:
    """A matrix read back by `load`, with the attributes saved beside it.

    Attributes
    ----------
    matrix : numpy.ndarray, dask.array.Array or zarr.Array, shape (KK, KK)
        Rows the source L1C pixels, columns the receivers.
    kind : str
        ``"infield"`` or ``"horizontal"``.
    windows : Windows or None
        The windows it was built for.
    options : dict
        The options the matrix was built with.
    version : str
        The corvane version that saved it.
    created : str
        When it was saved, ISO 8601 in UTC.
    inputs : dict
        SHA-256 digests (hex) of the inputs, by name.
    """

    matrix: Any
    kind: str
    windows: Optional[Windows]
    options: Dict[str, Any]
    version: str
    created: str
    inputs: Dict[str, str]


def save(path: PathLike, matrix: Any, *, kind: str = "infield",
         windows: Optional[Windows] = None,
         options: Optional[Mapping[str, Any]] = None,
         inputs: Optional[Mapping[str, Any]] = None, overwrite: bool = False) -> None:
    """Write a matrix to a Zarr v3 store.

    Parameters
    ----------
    path : str or os.PathLike
        The store (a directory) to create.
    matrix : array_like, shape (KK, KK)
        The matrix, as float64. A lazy array (Dask, Zarr) is read and written one chunk of rows at
        a time.
    kind : {"infield", "horizontal"}
        Which matrix it is.
    windows : Windows, optional
        The windows the matrix was built for, saved by name.
    options : mapping, optional
        The options the matrix was built with; values must be JSON types.
    inputs : mapping, optional
        The inputs, by name, to record SHA-256 digests of: a ``str`` or ``os.PathLike`` names a
        file, whose bytes are digested; ``bytes`` are digested as they are; anything else is
        converted to a NumPy array, whose C-order bytes are digested.
    overwrite : bool
        Replace an existing store at `path` instead of refusing it.

    Raises
    ------
    ValueError
        If `matrix` is not square or `kind` is unknown.
    FileExistsError
        If something exists at `path` and `overwrite` is false.
    """
    import zarr
    from zarr.codecs import BloscCodec, BloscShuffle

    if kind not in KINDS:
        raise ValueError(f"kind must be one of {KINDS}, got {kind!r}")
    shape = tuple(np.shape(matrix))
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"matrix must be square, got shape {shape}")
    if os.path.exists(path) and not overwrite:
        raise FileExistsError(f"{os.fspath(path)} exists; pass overwrite=True to replace it")
    attributes = store_attributes(kind, windows, options, inputs)
    rows = max(1, min(shape[0], CHUNK_BYTES // (8 * max(shape[1], 1))))
    stored = zarr.create_array(
        os.fspath(path), shape=shape, chunks=(rows, shape[1]), dtype="float64",
        compressors=BloscCodec(cname="zstd", clevel=5, shuffle=BloscShuffle.shuffle),
        fill_value=0.0, dimension_names=("source", "receiver"), attributes=attributes,
        overwrite=overwrite)
    for start in range(0, shape[0], rows):
        stored[start:start + rows] = np.asarray(matrix[start:start + rows], dtype=np.float64)


def store_attributes(kind: str, windows: Optional[Windows],
                     options: Optional[Mapping[str, Any]],
                     inputs: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
    """The attributes a store keeps beside its matrix: what made it, when and from what."""
    from . import __version__

    return {
        "kind": kind,
        "windows": None if windows is None else dataclasses.asdict(windows),
        "options": dict(options or {}),
        "version": __version__,
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "inputs": {name: _sha256(value) for name, value in (inputs or {}).items()},
    }


def load(path: PathLike, *, lazy: bool = False) -> StoredMatrix:
    """Read a matrix written by `save`.

    Parameters
    ----------
    path : str or os.PathLike
        The store.
    lazy : bool
        Return the matrix as a Dask array over the store's chunks, read only when computed, instead
        of reading it all now.

    Returns
    -------
    StoredMatrix
        The matrix, bit for bit as it was saved, and its attributes.
    """
    stored = open_store(path)
    require_complete(path, stored.matrix)
    if not lazy:
        return dataclasses.replace(stored, matrix=stored.matrix[...])
    try:
        import dask.array
    except ImportError as error:
        raise ImportError("load(lazy=True) needs Dask: pip install 'corvane[dask]'") from error
    return dataclasses.replace(stored, matrix=dask.array.from_zarr(stored.matrix))


def open_store(path: PathLike) -> StoredMatrix:
    """Open a store written by `save` without reading the matrix.

    Parameters
    ----------
    path : str or os.PathLike
        The store.

    Returns
    -------
    StoredMatrix
        Its ``matrix`` is the read-only ``zarr.Array``, which reads the chunks a slice needs.
    """
    import zarr

    stored = zarr.open_array(os.fspath(path), mode="r")
    attrs: Dict[str, Any] = dict(stored.attrs.asdict())
    windows = None if attrs["windows"] is None else Windows(**attrs["windows"])
    return StoredMatrix(matrix=stored, kind=attrs["kind"], windows=windows,
                        options=attrs["options"], version=attrs["version"],
                        created=attrs["created"], inputs=attrs["inputs"])


def _sha256(value: Any) -> str:
    digest = hashlib.sha256()
    if isinstance(value, (str, os.PathLike)):
        with open(value, "rb") as file:
            for block in iter(lambda: file.read(1 << 20), b""):
                digest.update(block)
    elif isinstance(value, bytes):
        digest.update(value)
    else:
        digest.update(np.ascontiguousarray(value).tobytes())
    return digest.hexdigest()
