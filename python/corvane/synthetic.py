"""A synthetic limb-imaging instrument: nested read-out windows, PSFs measured on a small grid of
detector locations, and the bilinear tables that blend them for every pixel.

`small`, `medium` and `large` return ready ``(Instrument, Windows)`` pairs for examples, tests
and benchmarks; `nested_windows`, `PsfModel` and `instrument` build others. Everything is plain
NumPy; axis 0 of every window-shaped array is x, axis 1 is y.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from .instrument import DETECTOR_CODE, NOOF_CODE, Instrument
from .windows import Windows

__all__ = ["PsfModel", "instrument", "large", "medium", "nested_windows", "small"]


def nested_windows(k: Sequence[int] = (3, 4), kbin: Sequence[int] = (2, 1),
                   lbin: Sequence[int] = (1, 2), science_offset: Sequence[int] = (2, 3),
                   detector_margin: Sequence[int] = (1, 2), noof_border: Sequence[int] = (6, 2),
                   fullconv_border: Sequence[int] = (4, 4)) -> Windows:
    """Windows built from the inside out.

    Parameters
    ----------
    k : (int, int)
        The L1C grid.
    kbin, lbin : (int, int)
        L1B pixels per L1C pixel, and science pixels per L1B pixel.
    science_offset : (int, int)
        Position of the science window in the detector window; its y is the number of detector
        rows below the science window that the lower edge correction can use.
    detector_margin : (int, int)
        Detector pixels beyond the far edges of the science window.
    noof_border, fullconv_border : (int, int)
        How much wider the NOOF window is than the detector window on every side, and the full
        convolution window than the NOOF window.

    Returns
    -------
    Windows
    """
    k_x, k_y = k
    l_x, l_y = k_x * kbin[0], k_y * kbin[1]
    s_x, s_y = l_x * lbin[0], l_y * lbin[1]
    d_x = science_offset[0] + s_x + detector_margin[0]
    d_y = science_offset[1] + s_y + detector_margin[1]
    noof_x, noof_y = d_x + 2 * noof_border[0], d_y + 2 * noof_border[1]
    return Windows(
        fullconv_x=noof_x + 2 * fullconv_border[0], fullconv_y=noof_y + 2 * fullconv_border[1],
        nofs_x=fullconv_border[0], nofs_y=fullconv_border[1], noof_x=noof_x, noof_y=noof_y,
        dofs_x=noof_border[0], dofs_y=noof_border[1], d_x=d_x, d_y=d_y,
        sofs_x=science_offset[0], sofs_y=science_offset[1], s_x=s_x, s_y=s_y,
        lbin_x=lbin[0], lbin_y=lbin[1], l_x=l_x, l_y=l_y, kbin_x=kbin[0], kbin_y=kbin[1],
        k_x=k_x, k_y=k_y)


def _size(windows: Windows, window: str) -> tuple[int, int]:
    return {"detector": windows.detector_shape, "noof": windows.noof_shape}[window]


def _offset_in_noof(windows: Windows, window: str) -> tuple[int, int]:
    """Position of the window's pixel (0, 0) in the NOOF window."""
    return {"detector": (windows.dofs_x, windows.dofs_y), "noof": (0, 0)}[window]


class PsfModel:
    """PSFs measured on a grid of detector locations: a sharp core whose width grows across the
    detector and faint wide wings, each normalised to a total of 1.

    Parameters
    ----------
    windows : Windows
        The read-out windows; the measurements lie on a grid over the science window.
    grid : (int, int)
        Measurements along x and y (no more than the science window has pixels).
    core_sigma : (float, float)
        Width of the core at the first and the last grid column.
    wing_level, wing_width : float
        Height and width of the wings.
    subpixel : (float, float)
        Offset of every measured centre from a pixel centre; (0, 0) gives whole centres, which
        the library reads without interpolation.
    """

    def __init__(self, windows: Windows, grid: Sequence[int] = (2, 2),
                 core_sigma: Sequence[float] = (0.6, 0.9), wing_level: float = 2e-3,
                 wing_width: float = 6.0, subpixel: Sequence[float] = (0.3, 0.2)) -> None:
        self.windows = w = windows
        # Measured centres (X, Y) in detector pixel coordinates, pixel n spanning [n, n + 1).
        gx, gy = min(grid[0], w.s_x), min(grid[1], w.s_y)
        self.grid_x = np.linspace(w.sofs_x, w.sofs_x + w.s_x - 1, gx) + 0.5 + subpixel[0]
        self.grid_y = np.linspace(w.sofs_y, w.sofs_y + w.s_y - 1, gy) + 0.5 + subpixel[1]
        self.core_sigma = core_sigma
        self.wing_level = wing_level
        self.wing_width = wing_width

    @property
    def num_psfs(self) -> int:
        """Number of measured PSFs."""
        return len(self.grid_x) * len(self.grid_y)

    def _centres(self, window: str) -> tuple[np.ndarray, np.ndarray]:
        """Centres (X, Y) of the PSFs in the window's pixel coordinates, PSF k = i * gy + j."""
        ox, oy = _offset_in_noof(self.windows, window)
        dx, dy = _offset_in_noof(self.windows, "detector")
        X, Y = np.meshgrid(self.grid_x, self.grid_y, indexing="ij")
        return (X + dx - ox).ravel(), (Y + dy - oy).ravel()

    def psfs(self, window: str = "detector") -> tuple[np.ndarray, np.ndarray]:
        """PSF k imaged on the whole window, shape (M, Nx, Ny), and the centres as the raw
        module reads them: one row (Y, X, window code) per PSF.

        Parameters
        ----------
        window : {"detector", "noof"}

        Returns
        -------
        psfs, locations : ndarray
        """
        nx, ny = _size(self.windows, window)
        X, Y = self._centres(window)
        x = np.arange(nx)[:, None] + 0.5
        y = np.arange(ny)[None, :] + 0.5
        blocks = np.empty((self.num_psfs, nx, ny))
        for k in range(self.num_psfs):
            across = k // len(self.grid_y) / max(len(self.grid_x) - 1, 1)
            sigma = self.core_sigma[0] + (self.core_sigma[1] - self.core_sigma[0]) * across
            r2 = (x - X[k]) ** 2 + (y - Y[k]) ** 2
            core = np.exp(-0.5 * r2 / sigma**2)
            wings = self.wing_level / (1.0 + r2 / self.wing_width**2) ** 1.5
            blocks[k] = (core + wings) / (core + wings).sum()
        code = DETECTOR_CODE if window == "detector" else NOOF_CODE
        locations = np.column_stack([Y, X, np.full(self.num_psfs, code)])
        return blocks, locations

    def interpolation_tables(self, window: str = "detector") -> tuple[np.ndarray, np.ndarray]:
        """For every pixel of the window the bilinear weights of the four measured PSFs around
        it (clamped to the grid outside it) and their numbers, each of shape (Nx, Ny, 4).

        Parameters
        ----------
        window : {"detector", "noof"}

        Returns
        -------
        coefficients : ndarray of float64
        indices : ndarray of int32
        """
        nx, ny = _size(self.windows, window)
        X, Y = self._centres(window)
        gx, gy = len(self.grid_x), len(self.grid_y)
        xs, ys = X.reshape(gx, gy)[:, 0], Y.reshape(gx, gy)[0, :]

        def cell(axis_points: np.ndarray, centres: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
            """Lower grid index of each centre's cell and the weight of the upper one."""
            if len(axis_points) == 1:
                return np.zeros(len(centres), int), np.zeros(len(centres))
            i = np.clip(np.searchsorted(axis_points, centres) - 1, 0, len(axis_points) - 2)
            t = (centres - axis_points[i]) / (axis_points[i + 1] - axis_points[i])
            return i, np.clip(t, 0.0, 1.0)

        i, t = cell(xs, np.arange(nx) + 0.5)
        j, u = cell(ys, np.arange(ny) + 0.5)
        i, t = i[:, None], t[:, None]
        j, u = j[None, :], u[None, :]
        coefficients = np.stack(np.broadcast_arrays(
            (1 - t) * (1 - u), t * (1 - u), (1 - t) * u, t * u), axis=-1)
        i1, j1 = np.minimum(i + 1, gx - 1), np.minimum(j + 1, gy - 1)  # weight 0 on a 1-point axis
        indices = np.stack(np.broadcast_arrays(
            i * gy + j, i1 * gy + j, i * gy + j1, i1 * gy + j1), axis=-1)
        return np.ascontiguousarray(coefficients), indices.astype(np.int32)

    def vignetting(self) -> np.ndarray:
        """A smooth vignetting of the NOOF window, shape (noof_x, noof_y): falling off towards
        the left and right ends and, more gently, towards the bottom rows."""
        nx, ny = self.windows.noof_shape
        x = (np.arange(nx) + 0.5) / nx - 0.5
        y = (np.arange(ny) + 0.5) / ny
        return (1.0 - 0.6 * x[:, None] ** 2) * (0.8 + 0.2 * y[None, :])


def instrument(windows: Windows, *, vignetting: bool = False, **model: object) -> Instrument:
    """The synthetic instrument over the given windows.

    The PSFs are imaged on the whole NOOF window, so that they reach every displacement of both
    matrices; the instrument has the detector and the NOOF tables.

    Parameters
    ----------
    windows : Windows
    vignetting : bool
        Add the smooth vignetting of `PsfModel.vignetting`.
    **model
        Options of `PsfModel`.

    Returns
    -------
    Instrument
    """
    psf_model = PsfModel(windows, **model)  # type: ignore[arg-type]
    psfs, raw_locations = psf_model.psfs("noof")
    return Instrument(psfs, raw_locations[:, 1::-1], *psf_model.interpolation_tables("detector"),
                      *psf_model.interpolation_tables("noof"),
                      vignetting=psf_model.vignetting() if vignetting else None)


def small() -> tuple[Instrument, Windows]:
    """Three by four L1C pixels of 2 x 2 detector pixels, 42 detector rows below the science
    window for the default lower edge correction."""
    windows = nested_windows(k=(3, 4), science_offset=(2, 42))
    return instrument(windows), windows


def medium() -> tuple[Instrument, Windows]:
    """Twelve by ten L1C pixels of 4 x 2 detector pixels, wide NOOF regions left and right, PSFs
    measured on a 3 x 3 grid (the instrument of the demo)."""
    windows = nested_windows(k=(12, 10), kbin=(2, 1), lbin=(2, 2), science_offset=(6, 44),
                             detector_margin=(6, 4), noof_border=(40, 4), fullconv_border=(8, 8))
    model = dict(grid=(3, 3), core_sigma=(0.7, 1.2), wing_level=3e-3, wing_width=8.0)
    return instrument(windows, **model), windows


def large() -> tuple[Instrument, Windows]:
    """The benchmark's large instrument: 128 x 96 L1C pixels of 4 x 2 detector pixels (KK =
    12288, a matrix of 1.2 GB), 46 rows below the science window and NOOF margins of 64 columns
    on each side."""
    windows = nested_windows(k=(128, 96), kbin=(1, 1), lbin=(4, 2), science_offset=(4, 46),
                             detector_margin=(4, 4), noof_border=(64, 0), fullconv_border=(0, 0))
    return instrument(windows), windows
