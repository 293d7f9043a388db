"""Dense in-field convolution and horizontal stray-light matrices for a limb-imaging
spectrometer, built by the ``_corvane_if`` extension module."""

from importlib.metadata import version as _version

from . import synthetic
from .build import horizontal_matrix, infield_matrix
from .errors import BuildError
from .instrument import Instrument
from .windows import Windows

__version__ = _version("corvane")

__all__ = ["BuildError", "Instrument", "Windows", "horizontal_matrix", "infield_matrix",
           "synthetic"]
