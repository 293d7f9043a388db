"""The instrument: measured PSFs, where they were measured, and the tables that blend them."""

from __future__ import annotations

import os
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

# Window codes the library stores with each PSF centre, for reference only.
DETECTOR_CODE = 3.0
NOOF_CODE = 2.0

_FIELDS = ("psfs", "locations", "coefficients", "indices", "noof_coefficients", "noof_indices",
           "vignetting")


def _first_index(mask: np.ndarray) -> tuple[int, ...]:
    return tuple(int(i) for i in np.argwhere(mask)[0])


def _real_array(name: str, value: ArrayLike, ndim: int, layout: str) -> np.ndarray:
    """A read-only, C-contiguous float64 copy of `value`, which must be real and finite."""
    array = np.asarray(value)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, got dtype {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimensions {layout}, got shape {array.shape}")
    array = np.array(array, dtype=np.float64, order="C", copy=True)
    bad = ~np.isfinite(array)
    if bad.any():
        index = _first_index(bad)
        raise ValueError(f"{name} must be finite, but {name}[{', '.join(map(str, index))}] = "
                         f"{array[index]}")
    array.setflags(write=False)
    return array


def _index_array(name: str, value: ArrayLike, shape: tuple[int, ...], count: int) -> np.ndarray:
    """A read-only int32 copy of `value`, of the given shape, every entry in [0, count)."""
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, got dtype {array.dtype}")
    if array.shape != shape:
        raise ValueError(f"{name} must have the shape of the coefficients {shape}, got "
                         f"{array.shape}")
    bad = (array < 0) | (array >= count)
    if bad.any():
        index = _first_index(bad)
        raise ValueError(f"{name}[{', '.join(map(str, index))}] = {array[index]} is out of range: "
                         f"it must name one of the {count} PSFs (0 to {count - 1})")
    array = np.array(array, dtype=np.int32, order="C", copy=True)
    array.setflags(write=False)
    return array


class Instrument:
    """Measured PSFs and the tables that blend them into the PSF of every pixel.

    Every window-shaped array has its x axis before its y axis, y contiguous: a detector-window
    table has shape ``(d_x, d_y, ...)``, a NOOF-window array ``(noof_x, noof_y, ...)``.
    The arrays are copied, checked once here and kept read-only.

    Parameters
    ----------
    psfs : array_like, shape (M, nx, ny)
        The measured PSFs, each sampled on a pixel grid large enough for every displacement the
        matrices need: at least the detector window for the in-field matrix and the NOOF window's
        reach for the horizontal matrix.
    locations : array_like, shape (M, 2)
        Centre ``(x, y)`` of each PSF in its own array's pixel coordinates, pixel ``n`` spanning
        ``[n, n + 1)``: a centre of ``n + 0.5`` falls on a pixel centre and is read without
        interpolation.
    coefficients : array_like, shape (d_x, d_y, n)
        For every detector pixel, the weights of the measured PSFs that make up its PSF.
    indices : array_like of int, shape (d_x, d_y, n)
        The PSF each weight belongs to, from 0 to M - 1; any integer type.
    noof_coefficients, noof_indices : array_like, shape (noof_x, noof_y, n2), optional
        The same tables over the NOOF window, needed only for the horizontal matrix; give both
        or neither.
    vignetting : array_like, shape (noof_x, noof_y), optional
        Vignetting factor of every NOOF pixel for the horizontal matrix; None for none (1.0).

    Raises
    ------
    TypeError
        An array has the wrong kind of elements (real numbers, or integers for the indices).
    ValueError
        An array has the wrong shape, a non-finite value or an index out of range; the message
        names the argument, and the first bad index.

    See Also
    --------
    infield_matrix, horizontal_matrix
    """

    def __init__(self, psfs: ArrayLike, locations: ArrayLike, coefficients: ArrayLike,
                 indices: ArrayLike, noof_coefficients: ArrayLike | None = None,
                 noof_indices: ArrayLike | None = None,
                 vignetting: ArrayLike | None = None) -> None:
        self.psfs = _real_array("psfs", psfs, 3, "(M, nx, ny)")
        count = self.psfs.shape[0]
        if count < 1:
            raise ValueError("psfs must hold at least one PSF")
        self.locations = _real_array("locations", locations, 2, "(M, 2)")
        if self.locations.shape != (count, 2):
            raise ValueError(f"locations must have shape (M, 2) = ({count}, 2), one centre (x, y) "
                             f"per PSF, got {self.locations.shape}")
        self.coefficients = _real_array("coefficients", coefficients, 3, "(d_x, d_y, n)")
        self.indices = _index_array("indices", indices, self.coefficients.shape, count)
        if (noof_coefficients is None) != (noof_indices is None):
            raise ValueError("noof_coefficients and noof_indices go together: give both or "
                             "neither")
        self.noof_coefficients: np.ndarray | None = None
        self.noof_indices: np.ndarray | None = None
        if noof_coefficients is not None:
            self.noof_coefficients = _real_array("noof_coefficients", noof_coefficients, 3,
                                                 "(noof_x, noof_y, n)")
            self.noof_indices = _index_array("noof_indices", noof_indices,
                                             self.noof_coefficients.shape, count)
        self.vignetting: np.ndarray | None = None
        if vignetting is not None:
            if self.noof_coefficients is None:
                raise ValueError("vignetting needs the NOOF-window tables: give "
                                 "noof_coefficients and noof_indices too")
            self.vignetting = _real_array("vignetting", vignetting, 2, "(noof_x, noof_y)")
            if self.vignetting.shape != self.noof_coefficients.shape[:2]:
                raise ValueError(f"vignetting must have the shape (noof_x, noof_y) = "
                                 f"{self.noof_coefficients.shape[:2]} of noof_coefficients, got "
                                 f"{self.vignetting.shape}")

    @property
    def num_psfs(self) -> int:
        """Number of measured PSFs, M."""
        return self.psfs.shape[0]

    def arrays(self) -> dict[str, np.ndarray]:
        """The instrument's arrays by argument name, leaving out those not given."""
        return {name: getattr(self, name) for name in _FIELDS if getattr(self, name) is not None}

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the instrument to an uncompressed ``.npz`` file.

        Parameters
        ----------
        path : str or path-like
            The file; NumPy appends ``.npz`` when the name has no such suffix.
        """
        np.savez(path, **self.arrays())

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Instrument:
        """Read an instrument written by `save`, checking it like the constructor.

        Parameters
        ----------
        path : str or path-like
            The ``.npz`` file.

        Returns
        -------
        Instrument
        """
        with np.load(path, allow_pickle=False) as stored:
            unknown = sorted(set(stored.files) - set(_FIELDS))
            if unknown:
                raise ValueError(f"{os.fspath(path)} is not an instrument file: unknown arrays "
                                 f"{unknown}")
            return cls(**{name: stored[name] for name in stored.files})

    def raw_locations(self, code: float) -> np.ndarray:
        """The centres as the library reads them: rows of (y, x, window code)."""
        raw = np.empty((self.num_psfs, 3))
        raw[:, 0], raw[:, 1], raw[:, 2] = self.locations[:, 1], self.locations[:, 0], code
        return raw

    def raw_vignetting(self) -> np.ndarray:
        """The vignetting as the library reads it: shape (noof_x, noof_y), its data holding
        noof_y rows of noof_x factors; (0, 0) for none."""
        if self.vignetting is None:
            return np.zeros((0, 0))
        return np.ascontiguousarray(self.vignetting.T).reshape(self.vignetting.shape)

    def __setstate__(self, state: dict[str, Any]) -> None:
        # An unpickled array is writeable again.
        self.__dict__.update(state)
        for array in self.arrays().values():
            array.setflags(write=False)

    def __eq__(self, other: Any) -> bool:
        if not isinstance(other, Instrument):
            return NotImplemented
        mine, theirs = self.arrays(), other.arrays()
        return mine.keys() == theirs.keys() and all(
            np.array_equal(mine[name], theirs[name]) for name in mine)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shapes = ", ".join(f"{name}={array.shape}" for name, array in self.arrays().items())
        return f"Instrument({shapes})"
