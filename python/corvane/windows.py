"""The 22 windowing parameters: how the read-out windows nest and bin."""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Iterable

import numpy as np

INT32_MAX = 2**31 - 1

_NAMES = {
    "fullconv": "the full convolution window",
    "noof": "the NOOF window",
    "d": "the detector window",
    "s": "the science window",
    "l": "the L1B window",
    "k": "the L1C window",
}


def as_int(name: str, value: object) -> int:
    """`value` as a Python int in the signed 32-bit range; `name` is the argument named on failure.

    Any integer type is accepted (Python, NumPy of any width); bools and floats are not.
    """
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not a bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if not -INT32_MAX - 1 <= number <= INT32_MAX:
        raise ValueError(f"{name} = {number} does not fit a signed 32-bit integer")
    return number


@dataclasses.dataclass(frozen=True)
class Windows:
    """The nested read-out windows, as the 22 windowing parameters.

    Each window lies inside the previous one: the NOOF window in the full convolution window, the
    detector window in the NOOF window, the science window in the detector window; the science
    window is binned into whole L1B pixels and those into whole L1C pixels. Sizes are in pixels of
    the window itself, offsets in pixels of the enclosing window; x is the slow axis of every
    window-shaped array and y the fast (contiguous) one.

    Parameters
    ----------
    fullconv_x, fullconv_y : int
        Size of the full convolution window.
    nofs_x, nofs_y : int
        Offset of the NOOF window in the full convolution window.
    noof_x, noof_y : int
        Size of the NOOF window.
    dofs_x, dofs_y : int
        Offset of the detector window in the NOOF window.
    d_x, d_y : int
        Size of the detector window.
    sofs_x, sofs_y : int
        Offset of the science window in the detector window.
    s_x, s_y : int
        Size of the science window.
    lbin_x, lbin_y : int
        Science pixels per L1B pixel.
    l_x, l_y : int
        Size of the L1B window.
    kbin_x, kbin_y : int
        L1B pixels per L1C pixel.
    k_x, k_y : int
        Size of the L1C window.

    Raises
    ------
    TypeError
        A parameter is not an integer (any integer type is accepted).
    ValueError
        A parameter does not fit a signed 32-bit integer, or the windows do not nest or bin; the
        message names every relation that fails.

    Examples
    --------
    >>> w = Windows.from_specs([40, 30, 2, 2, 36, 26, 6, 2, 24, 22, 2, 3, 12, 8,
    ...                         2, 2, 6, 4, 2, 1, 3, 4])
    >>> w.kk, w.l1c_shape, w.binning
    (12, (3, 4), (4, 2))
    """

    fullconv_x: int
    fullconv_y: int
    nofs_x: int
    nofs_y: int
    noof_x: int
    noof_y: int
    dofs_x: int
    dofs_y: int
    d_x: int
    d_y: int
    sofs_x: int
    sofs_y: int
    s_x: int
    s_y: int
    lbin_x: int
    lbin_y: int
    l_x: int
    l_y: int
    kbin_x: int
    kbin_y: int
    k_x: int
    k_y: int

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            object.__setattr__(self, field.name, as_int(field.name, getattr(self, field.name)))
        problems = self._problems()
        if problems:
            raise ValueError("the windows do not nest or bin:\n" + "\n".join(
                f"  - {p}" for p in problems))

    @classmethod
    def from_specs(cls, specs: Iterable[int] | np.ndarray) -> Windows:
        """The windows of 22 windowing parameters in the library's order.

        Parameters
        ----------
        specs : sequence or array of 22 integers
            ``FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx,
            SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky``, of any integer type.

        Returns
        -------
        Windows
        """
        if isinstance(specs, np.ndarray):
            if specs.dtype.kind not in "iu" or specs.ndim != 1:
                raise TypeError(f"specs must be a one-dimensional sequence of integers, got an "
                                f"array of dtype {specs.dtype} and shape {specs.shape}")
            values = specs.tolist()
        else:
            values = list(specs)
        fields = dataclasses.fields(cls)
        if len(values) != len(fields):
            raise ValueError(f"specs must have {len(fields)} values, got {len(values)}")
        return cls(*values)

    @property
    def specs(self) -> np.ndarray:
        """The 22 windowing parameters in the library's order, as an int32 array."""
        return np.array(dataclasses.astuple(self), dtype=np.int32)

    @property
    def kk(self) -> int:
        """Number of L1C pixels, the side of every matrix."""
        return self.k_x * self.k_y

    @property
    def l1c_shape(self) -> tuple[int, int]:
        """(x, y) size of the L1C window."""
        return self.k_x, self.k_y

    @property
    def l1b_shape(self) -> tuple[int, int]:
        """(x, y) size of the L1B window."""
        return self.l_x, self.l_y

    @property
    def science_shape(self) -> tuple[int, int]:
        """(x, y) size of the science window."""
        return self.s_x, self.s_y

    @property
    def detector_shape(self) -> tuple[int, int]:
        """(x, y) size of the detector window, the shape of the in-field interpolation tables."""
        return self.d_x, self.d_y

    @property
    def noof_shape(self) -> tuple[int, int]:
        """(x, y) size of the NOOF window, the shape of the NOOF tables and the vignetting."""
        return self.noof_x, self.noof_y

    @property
    def fullconv_shape(self) -> tuple[int, int]:
        """(x, y) size of the full convolution window."""
        return self.fullconv_x, self.fullconv_y

    @property
    def binning(self) -> tuple[int, int]:
        """Detector pixels per L1C pixel along x and y."""
        return self.lbin_x * self.kbin_x, self.lbin_y * self.kbin_y

    def _problems(self) -> list[str]:
        problems = []
        for window in ("fullconv", "noof", "d", "s", "l", "k"):
            for axis in "xy":
                size = getattr(self, f"{window}_{axis}")
                if size < 1:
                    problems.append(f"{_NAMES[window]} must be at least 1 pixel along {axis}: "
                                    f"{window}_{axis} = {size}")
        for binning in ("lbin", "kbin"):
            for axis in "xy":
                factor = getattr(self, f"{binning}_{axis}")
                if factor < 1:
                    problems.append(f"the binning {binning}_{axis} must be at least 1, "
                                    f"got {factor}")
        for inner, offset, outer in (("noof", "nofs", "fullconv"), ("d", "dofs", "noof"),
                                     ("s", "sofs", "d")):
            for axis in "xy":
                o, n, m = (getattr(self, f"{name}_{axis}") for name in (offset, inner, outer))
                if o < 0:
                    problems.append(f"the offset {offset}_{axis} of {_NAMES[inner]} must not be "
                                    f"negative, got {o}")
                elif o + n > m:
                    problems.append(f"{_NAMES[inner]} does not lie inside {_NAMES[outer]} along "
                                    f"{axis}: {offset}_{axis} + {inner}_{axis} = {o} + {n} = "
                                    f"{o + n} exceeds {outer}_{axis} = {m}")
        for fine, binning, coarse in (("s", "lbin", "l"), ("l", "kbin", "k")):
            for axis in "xy":
                n, b, c = (getattr(self, f"{name}_{axis}") for name in (fine, binning, coarse))
                if n != b * c:
                    problems.append(f"{_NAMES[fine]} is not binned into whole pixels of "
                                    f"{_NAMES[coarse]} along {axis}: {fine}_{axis} = {n} but "
                                    f"{binning}_{axis} * {coarse}_{axis} = {b} * {c} = {b * c}")
        if self.kk > INT32_MAX:
            problems.append(f"the number of L1C pixels k_x * k_y = {self.kk} does not fit a "
                            f"signed 32-bit integer")
        return problems
