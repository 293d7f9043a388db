"""A synthetic limb-imaging instrument: nested read-out windows, PSFs measured on a small grid of
detector locations, and the bilinear tables that blend them for every pixel.

It produces the inputs of ``_corvane_if.cimpl_create_deconvolution`` and
``_corvane_if.cimpl_create_horizontal_stray_light_matrix`` for the demo and the tests. Everything
is plain NumPy; axis 0 of every window-shaped array is x, axis 1 is y.
"""

from dataclasses import astuple, dataclass

import numpy as np

# Window kind codes stored with each PSF location.
NOOF_CODE = 2
DETECTOR_CODE = 3


@dataclass(frozen=True)
class Windows:
    """The 22 windowing parameters, in the order the library takes them."""

    FULLCONVx: int
    FULLCONVy: int
    NOFSx: int
    NOFSy: int
    NOOFx: int
    NOOFy: int
    DOFSx: int
    DOFSy: int
    Dx: int
    Dy: int
    SOFSx: int
    SOFSy: int
    Sx: int
    Sy: int
    LBINx: int
    LBINy: int
    Lx: int
    Ly: int
    KBINx: int
    KBINy: int
    Kx: int
    Ky: int

    @property
    def KK(self):
        return self.Kx * self.Ky

    def specs(self):
        return np.array(astuple(self), dtype=np.int32)

    def size(self, window):
        return {"detector": (self.Dx, self.Dy), "noof": (self.NOOFx, self.NOOFy)}[window]

    def offset_in_noof(self, window):
        """Position of the window's pixel (0, 0) in the NOOF window."""
        return {"detector": (self.DOFSx, self.DOFSy), "noof": (0, 0)}[window]


def nested_windows(k=(3, 4), kbin=(2, 1), lbin=(1, 2), science_offset=(2, 3),
                   detector_margin=(1, 2), noof_border=(6, 2), fullconv_border=(4, 4)):
    """Windows built from the inside out: the L1C grid k, binned by kbin into L1B pixels and by
    lbin into science pixels; the science window at science_offset inside the detector window
    with detector_margin more pixels beyond its far edges; the NOOF window noof_border pixels
    wider than the detector on every side; the full convolution window around that."""
    Kx, Ky = k
    Lx, Ly = Kx * kbin[0], Ky * kbin[1]
    Sx, Sy = Lx * lbin[0], Ly * lbin[1]
    Dx = science_offset[0] + Sx + detector_margin[0]
    Dy = science_offset[1] + Sy + detector_margin[1]
    NOOFx, NOOFy = Dx + 2 * noof_border[0], Dy + 2 * noof_border[1]
    return Windows(
        FULLCONVx=NOOFx + 2 * fullconv_border[0], FULLCONVy=NOOFy + 2 * fullconv_border[1],
        NOFSx=fullconv_border[0], NOFSy=fullconv_border[1], NOOFx=NOOFx, NOOFy=NOOFy,
        DOFSx=noof_border[0], DOFSy=noof_border[1], Dx=Dx, Dy=Dy,
        SOFSx=science_offset[0], SOFSy=science_offset[1], Sx=Sx, Sy=Sy,
        LBINx=lbin[0], LBINy=lbin[1], Lx=Lx, Ly=Ly, KBINx=kbin[0], KBINy=kbin[1], Kx=Kx, Ky=Ky)


class Instrument:
    """PSFs measured on a grid of detector locations: a sharp core whose width grows across the
    detector and faint wide wings, each normalised to a total of 1.

    subpixel is the offset of every measured centre from a pixel centre; (0, 0) gives whole
    centres, which the library reads without interpolation."""

    def __init__(self, windows, grid=(2, 2), core_sigma=(0.6, 0.9), wing_level=2e-3,
                 wing_width=6.0, subpixel=(0.3, 0.2)):
        self.windows = windows
        w = windows
        # Measured centres (X, Y) in detector pixel coordinates, pixel n spanning [n, n + 1); no
        # more measurements along an axis than the science window has pixels.
        gx, gy = min(grid[0], w.Sx), min(grid[1], w.Sy)
        self.grid_x = np.linspace(w.SOFSx, w.SOFSx + w.Sx - 1, gx) + 0.5 + subpixel[0]
        self.grid_y = np.linspace(w.SOFSy, w.SOFSy + w.Sy - 1, gy) + 0.5 + subpixel[1]
        self.core_sigma = core_sigma
        self.wing_level = wing_level
        self.wing_width = wing_width

    @property
    def num_psfs(self):
        return len(self.grid_x) * len(self.grid_y)

    def _centres(self, window):
        """Centres (X, Y) of the PSFs in the window's pixel coordinates, PSF k = i * gy + j."""
        ox, oy = self.windows.offset_in_noof(window)
        dx, dy = self.windows.offset_in_noof("detector")
        X, Y = np.meshgrid(self.grid_x, self.grid_y, indexing="ij")
        return (X + dx - ox).ravel(), (Y + dy - oy).ravel()

    def psfs(self, window="detector"):
        """(psfs, locations): PSF k imaged on the whole window, shape (M, Nx, Ny), and its
        (Y, X, window code) row."""
        nx, ny = self.windows.size(window)
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
        locations = np.column_stack([Y, X, np.full(self.num_psfs, float(code))])
        return blocks, locations

    def interpolation_tables(self, window="detector"):
        """(coefficients, indices), shape (Nx, Ny, 4): for every pixel the bilinear weights of the
        four measured PSFs around it (clamped to the grid outside it) and their numbers."""
        nx, ny = self.windows.size(window)
        X, Y = self._centres(window)
        gx, gy = len(self.grid_x), len(self.grid_y)
        xs, ys = X.reshape(gx, gy)[:, 0], Y.reshape(gx, gy)[0, :]

        def cell(axis_points, centres):
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
