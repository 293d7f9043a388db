"""Brute-force NumPy versions of the two matrices, written from the model and not from the C++
code, to check the library against. Slow (Python loops over source pixels) but fine for the small
windows of the tests.

Both return the matrix as the caller's array holds it: row s = source L1C pixel, column r =
receiving L1C pixel, L1C pixel (x, y) numbered x * Ky + y.
"""

import numpy as np


def measured_psf(psfs, locations, k, dx, dy):
    """Measured PSF k at whole-pixel displacements (dx, dy) from its centre pixel."""
    nx, ny = psfs.shape[1:]
    cx, cy = locations[k, 1] - 0.5, locations[k, 0] - 0.5
    a, c = cx + dx, cy + dy
    b, d = np.trunc(a), np.trunc(c)  # toward zero: (-1, 0) samples cell 0
    if cx == np.trunc(cx) and cy == np.trunc(cy):
        ok = (b >= 0) & (b < nx) & (d >= 0) & (d < ny)
        bi, di = np.where(ok, b, 0).astype(int), np.where(ok, d, 0).astype(int)
        return np.where(ok, psfs[k, bi, di], 0.0)
    ok = (b >= 0) & (b + 1 < nx) & (d >= 0) & (d + 1 < ny)
    bi, di = np.where(ok, b, 0).astype(int), np.where(ok, d, 0).astype(int)
    fx, fy = a - bi, c - di
    value = ((1 - fx) * (1 - fy) * psfs[k, bi, di] + fx * (1 - fy) * psfs[k, bi + 1, di]
             + (1 - fx) * fy * psfs[k, bi, di + 1] + fx * fy * psfs[k, bi + 1, di + 1])
    return np.where(ok, value, 0.0)


def blended_psf(psfs, locations, coefficients, indices, centre, x, y):
    """The PSF centred on table pixel centre = (cx, cy), at table pixels (x, y)."""
    total = np.zeros(np.broadcast(x, y).shape)
    for weight, k in zip(coefficients[centre], indices[centre]):
        if weight != 0.0:
            total += weight * measured_psf(psfs, locations, k, x - centre[0], y - centre[1])
    return total


def _science_pixels(w, step_x=1, step_y=1):
    """Science pixels (sampled with the steps) and the flat L1C index of each."""
    bx, by = w.LBINx * w.KBINx, w.LBINy * w.KBINy
    sx, sy = np.meshgrid(np.arange(step_x // 2, w.Sx, step_x),
                         np.arange(step_y // 2, w.Sy, step_y), indexing="ij")
    return sx.ravel(), sy.ravel(), (sx // bx * w.Ky + sy // by).ravel()


def infield_matrix(w, psfs, locations, coefficients, indices, simpson=True, lower_edge=True,
                   rows_below=42, rows_above=42):
    bx, by = w.LBINx * w.KBINx, w.LBINy * w.KBINy
    kk = w.KK
    matrix = np.zeros((kk, kk))  # [receiver, source]
    sx, sy, receivers = _science_pixels(w)
    det_x, det_y = sx + w.SOFSx, sy + w.SOFSy

    def spread(column, centre, x, y, rows, scale=1.0):
        p = blended_psf(psfs, locations, coefficients, indices, centre, x, y)
        matrix[:, column] += scale * np.bincount(rows, weights=p, minlength=kk)

    for kx in range(w.Kx):
        for ky in range(w.Ky):
            col = kx * w.Ky
            mid, prev, nxt = col + ky, col + max(ky - 1, 0), col + min(ky + 1, w.Ky - 1)
            for a in range(bx):
                for b in range(by):
                    centre = (kx * bx + w.SOFSx + a, ky * by + w.SOFSy + b)
                    if not simpson:
                        spread(mid, centre, det_x, det_y, receivers)
                        continue
                    # Quadratic radiance model over the source pixel: the mean over this
                    # detector row of the three Lagrange weights.
                    c, f = b - by / 2.0, float(by)
                    mean_u2, mean_u = c * c + c + 1.0 / 3.0, c + 0.5
                    for column, weight in ((prev, (mean_u2 / f - mean_u) * 0.5 / f),
                                           (mid, 1.0 - mean_u2 / f**2),
                                           (nxt, (mean_u2 / f + mean_u) * 0.5 / f)):
                        spread(column, centre, det_x, det_y, receivers, weight)

    if lower_edge:
        # Rows below the L1C area shine like the bottom L1C pixel of their column, onto a band
        # of rows_above rows and +-rows_above columns above the edge.
        for kx in range(w.Kx):
            for a in range(bx):
                for k in range(-rows_below, 0):
                    centre = (kx * bx + w.SOFSx + a, w.SOFSy + k)
                    s = centre[0] - w.SOFSx
                    columns = np.arange(max(s - rows_above, 0), min(s + rows_above, w.Sx))
                    rx, ry = np.meshgrid(columns, np.arange(min(rows_above, w.Sy)), indexing="ij")
                    rx, ry = rx.ravel(), ry.ravel()
                    spread(kx * w.Ky, centre, rx + w.SOFSx, ry + w.SOFSy,
                           rx // bx * w.Ky + ry // by)
    return (matrix / (bx * by)).T


def horizontal_matrix(w, vignetting, psfs, locations, coefficients, indices,
                      delta_nx=1, delta_ny=1, delta_sx=1, delta_sy=1):
    """The PSF table is over the NOOF window here."""
    bx, by = w.LBINx * w.KBINx, w.LBINy * w.KBINy
    kk = w.KK
    matrix = np.zeros((kk, kk))
    x0, y0 = w.DOFSx + w.SOFSx, w.DOFSy + w.SOFSy  # science (0, 0) in the NOOF window
    x1 = x0 + w.Sx
    sx, sy, receivers = _science_pixels(w, delta_sx, delta_sy)
    use_vignetting = vignetting.shape == (w.NOOFx, w.NOOFy)
    factors = vignetting.ravel()  # read as NOOFy rows of NOOFx factors
    for y in range(delta_ny // 2, w.Sy, delta_ny):
        left = y // by
        right = (w.Sx - 1) // bx * w.Ky + y // by
        yn = y + y0
        sources = [(x, left) for x in range(x0 - 1 - delta_nx // 2, -1, -delta_nx)]
        sources += [(x, right) for x in range(x1 + delta_nx // 2, w.NOOFx, delta_nx)]
        for x, target in sources:
            weight = float(delta_sx * delta_sy * delta_nx * delta_ny)
            if use_vignetting:
                weight *= factors[yn * w.NOOFx + x]
            if not np.isfinite(weight) or weight == 0.0:
                continue
            p = weight * blended_psf(psfs, locations, coefficients, indices, (x, yn),
                                     sx + x0, sy + y0)
            matrix[:, target] += np.bincount(receivers, weights=p, minlength=kk)
    return (matrix / (bx * by)).T
