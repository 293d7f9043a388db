"""Builds the in-field convolution matrix and the horizontal stray-light matrix of a synthetic
instrument with the installed _corvane_if module, prints what was built and, when matplotlib is
installed, saves a picture of both matrices.

    python3 -m pip install . && python3 examples/demo.py [--threads N] [--picture FILE]
"""

import argparse
import time

import numpy as np

import _corvane_if
from corvane.synthetic import PsfModel, nested_windows


def build(name, creator, args):
    print(f"\n== {name}: library messages")
    start = time.perf_counter()
    ok = creator(*args)
    seconds = time.perf_counter() - start
    print(f"== {name}: {'built' if ok else 'FAILED'} in {seconds:.3f} s")
    return ok


def describe(name, matrix):
    # Row s of the matrix holds the light that source L1C pixel s sends to every L1C pixel.
    sums = matrix.sum(axis=1)
    nonzero = sums[sums != 0]
    print(f"{name}: {matrix.shape[0]} x {matrix.shape[1]}, {np.count_nonzero(matrix)} non-zero "
          f"elements, largest {matrix.max():.4g}")
    if nonzero.size:
        print(f"  light per source pixel (row sums): min {nonzero.min():.4f}, "
              f"mean {nonzero.mean():.4f}, max {nonzero.max():.4f} over {nonzero.size} sources")


def save_picture(path, infield, horizontal):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nmatplotlib is not installed: no picture saved (pip install matplotlib)")
        return
    fig, axes = plt.subplots(1, 2, figsize=(11, 5))
    for ax, matrix, title in ((axes[0], infield, "in-field convolution"),
                              (axes[1], horizontal, "horizontal stray light")):
        image = ax.imshow(np.log10(np.abs(matrix) + 1e-12), vmin=-8, cmap="magma")
        ax.set_title(f"{title} (log10)")
        ax.set_xlabel("receiving L1C pixel")
        ax.set_ylabel("source L1C pixel")
        fig.colorbar(image, ax=ax, shrink=0.8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"\npicture of both matrices saved to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=0, help="OpenMP threads (0: OpenMP's own)")
    parser.add_argument("--picture", default="corvane_demo.png")
    options = parser.parse_args()

    # 12 x 10 L1C pixels of 4 x 2 detector pixels; 44 detector rows below the science window for
    # the lower edge correction (which uses 42 by default); wide NOOF regions left and right.
    windows = nested_windows(k=(12, 10), kbin=(2, 1), lbin=(2, 2), science_offset=(6, 44),
                             detector_margin=(6, 4), noof_border=(40, 4), fullconv_border=(8, 8))
    instrument = PsfModel(windows, grid=(3, 3), core_sigma=(0.7, 1.2), wing_level=3e-3,
                            wing_width=8.0, subpixel=(0.3, 0.2))
    kk = windows.kk
    print(f"windows: detector {windows.d_x} x {windows.d_y}, science {windows.s_x} x "
          f"{windows.s_y} at ({windows.sofs_x}, {windows.sofs_y}), NOOF {windows.noof_x} x "
          f"{windows.noof_y}, L1C {windows.k_x} x {windows.k_y} (KK = {kk}) of "
          f"{windows.binning[0]} x {windows.binning[1]} detector pixels")
    print(f"PSFs: {instrument.num_psfs} measured on a {len(instrument.grid_x)} x "
          f"{len(instrument.grid_y)} grid, bilinear tables of 4 coefficients per pixel")
    _corvane_if.cimpl_set_numthreads(options.threads)

    psfs, locations = instrument.psfs("detector")
    coefficients, indices = instrument.interpolation_tables("detector")
    infield = np.zeros((kk, kk))
    ok_infield = build("in-field matrix", _corvane_if.cimpl_create_deconvolution,
                       (windows.specs, psfs, locations, coefficients, indices, infield))

    psfs, locations = instrument.psfs("noof")
    coefficients, indices = instrument.interpolation_tables("noof")
    horizontal = np.zeros((kk, kk))
    no_vignetting = np.zeros((0, 0))
    ok_horizontal = build("horizontal stray-light matrix",
                          _corvane_if.cimpl_create_horizontal_stray_light_matrix,
                          (windows.specs, no_vignetting, psfs, locations, coefficients, indices,
                           horizontal, 1, 1, 1, 1))

    print()
    describe("in-field matrix", infield)
    describe("horizontal stray-light matrix", horizontal)
    if ok_infield and ok_horizontal:
        save_picture(options.picture, infield, horizontal)
    return 0 if ok_infield and ok_horizontal else 1


if __name__ == "__main__":
    raise SystemExit(main())
