"""Dense in-field convolution and horizontal stray-light matrices for a limb-imaging
spectrometer, built by the ``_corvane_if`` extension module.

Matrices larger than memory are built block by block with ``corvane.dask`` (lazy Dask arrays)
or :func:`build_to_zarr` (a resumable Zarr store), and used through :class:`StoredOperator`;
both need the ``dask`` extra.
"""

from importlib.metadata import version as _version

from . import synthetic
from .blockstore import StoreMismatchError
from .build import horizontal_matrix, infield_matrix
from .errors import BuildError
from .files import StoredMatrix, load, save
from .instrument import Instrument
from .operator import Operator
from .streaming import StoredOperator
from .windows import Windows
from .zarrbuild import build_to_zarr

__version__ = _version("corvane")

__all__ = ["BuildError", "Instrument", "Operator", "StoreMismatchError", "StoredMatrix",
           "StoredOperator", "Windows", "build_to_zarr", "horizontal_matrix", "infield_matrix",
           "load", "save", "synthetic"]
