"""The demo behind ``corvane demo``: both matrices of the synthetic medium instrument, a synthetic
limb scene seen through them and corrected again."""

from __future__ import annotations

import time
from typing import Optional

import numpy as np

from . import synthetic
from .build import horizontal_matrix, infield_matrix
from .operator import Operator


def limb_scene(shape: tuple[int, int]) -> np.ndarray:
    """A true L1C image: radiance falling off with altitude (y) like a limb, a slow variation
    along x and one bright compact source."""
    kx, ky = shape
    x = np.arange(kx)[:, None] / max(kx - 1, 1)
    y = np.arange(ky)[None, :] / max(ky - 1, 1)
    scene = np.exp(-3.0 * y) * (1.0 + 0.3 * np.sin(2.0 * np.pi * x))
    scene[kx // 3, (2 * ky) // 3] += 2.0
    return scene


def run(plot: Optional[str] = "corvane_demo.png", threads: Optional[int] = None) -> int:
    """Build, apply and invert the matrices of `corvane.synthetic.medium`, printing each step.

    Parameters
    ----------
    plot : str or None
        Where to save the figure; needs matplotlib (``pip install 'corvane[demo]'``).
    threads : int, optional
        OpenMP threads for the builds.

    Returns
    -------
    int
        The exit status, 0.
    """
    instrument, windows = synthetic.medium()
    w = windows
    print(f"windows: L1C {w.k_x} x {w.k_y} pixels (KK = {w.kk}) of {w.binning[0]} x "
          f"{w.binning[1]} detector pixels; science window {w.s_x} x {w.s_y} inside a detector "
          f"window of {w.d_x} x {w.d_y} and a NOOF window of {w.noof_x} x {w.noof_y}")
    print(f"instrument: {instrument.num_psfs} measured PSFs of {instrument.psfs.shape[1]} x "
          f"{instrument.psfs.shape[2]} pixels")

    start = time.perf_counter()
    infield = infield_matrix(instrument, windows, threads=threads)
    sums = infield.sum(axis=1)
    print(f"in-field convolution matrix: {w.kk} x {w.kk} in {time.perf_counter() - start:.3f} s; "
          f"the light of one source pixel (a row sum) ranges from {sums.min():.4f} to "
          f"{sums.max():.4f}")
    start = time.perf_counter()
    horizontal = horizontal_matrix(instrument, windows, threads=threads)
    edges = np.count_nonzero(horizontal.any(axis=1))
    print(f"horizontal stray-light matrix: {w.kk} x {w.kk} in "
          f"{time.perf_counter() - start:.3f} s; {edges} edge pixels receive light from beside "
          f"the window, at most {horizontal.sum(axis=1).max():.2e} of their radiance")

    operator = Operator(infield, windows.l1c_shape, horizontal=horizontal)
    true = limb_scene(windows.l1c_shape)
    observed = operator.forward(true)
    start = time.perf_counter()
    corrected = operator.correct(observed)
    seconds = time.perf_counter() - start
    blur = np.abs(observed - true).max() / np.abs(true).max()
    error = np.abs(corrected - true).max() / np.abs(true).max()
    print(f"observed = (M_in + M_h).T @ true differs from the true scene by up to {blur:.2%} of "
          "its peak")
    print(f"corrected in {seconds:.3f} s (one LU factorisation): largest error {error:.1e} of "
          "the peak")
    if plot:
        save_figure(plot, infield + horizontal, true, observed, corrected)
    return 0


def save_figure(path: str, matrix: np.ndarray, true: np.ndarray, observed: np.ndarray,
                corrected: np.ndarray) -> None:
    """The matrix on a log scale and the three images, side by side, in one picture."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("no figure: matplotlib is not installed (pip install 'corvane[demo]' adds it)")
        return
    figure, axes = plt.subplots(1, 4, figsize=(17, 4.2), constrained_layout=True)
    magnitude = np.abs(matrix)
    floor = max(magnitude.max() * 1e-9, np.finfo(float).tiny)
    shown = axes[0].imshow(np.log10(np.maximum(magnitude, floor)), cmap="magma")
    axes[0].set(title="log10 |M_in + M_h|", xlabel="receiving L1C pixel",
                ylabel="source L1C pixel")
    figure.colorbar(shown, ax=axes[0], shrink=0.8)
    top = max(true.max(), observed.max())
    for ax, image, title in zip(axes[1:], (true, observed, corrected),
                                ("true", "observed", "corrected")):
        shown = ax.imshow(image.T, origin="lower", vmin=0.0, vmax=top, cmap="viridis")
        ax.set(title=title, xlabel="L1C x", ylabel="L1C y")
    figure.colorbar(shown, ax=axes[1:], shrink=0.8)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    print(f"figure saved to {path}")
