"""The imaging model as a linear operator over L1C images.

A stored matrix has one row per source L1C pixel and one column per receiving L1C pixel, with the
L1C pixel (x, y) numbered x * Ky + y. Flattening an image of shape (Kx, Ky) in C order gives that
numbering, so the image the instrument records from a true scene is

    observed = M.T @ true

The horizontal stray-light matrix has the same orientation: its rows are the L1C pixels at the
left and right edges of the science window, and row e holds the light that reaches every L1C pixel
from the NOOF pixels beside e (in e's detector rows), per unit of radiance of those NOOF pixels.
Taking the scene beside the window to continue the edge pixel's radiance sideways, both matrices
act on the same true image and add up:

    observed = (M_in + M_h).T @ true
"""

from __future__ import annotations

import warnings
from typing import Optional, Tuple

import numpy as np
import scipy.linalg
import scipy.sparse.linalg
from numpy.typing import ArrayLike, NDArray


class Operator:
    """The map from true L1C images to observed ones, built from the stored matrices.

    Parameters
    ----------
    infield : array_like, shape (KK, KK)
        The in-field convolution matrix, rows the source L1C pixels, columns the receivers.
    dims : tuple of int
        ``(Kx, Ky)``, the shape of an L1C image; ``Kx * Ky`` must equal ``KK``.
    horizontal : array_like, shape (KK, KK), optional
        The horizontal stray-light matrix, added to `infield`: the true radiance beside the science
        window is taken to be that of the L1C pixel at the window's edge in the same rows.

    Notes
    -----
    Images are arrays of shape ``(..., Kx, Ky)``; every method maps each image of a batch on its
    own. ``forward`` gives ``M.T @ true`` for each flattened image, with ``M = infield +
    horizontal``. ``correct`` inverts it with one LU factorisation of ``M``, made on its first
    call and reused by later ones.

    Examples
    --------
    >>> op = Operator(matrix, (Kx, Ky))
    >>> observed = op.forward(true)
    >>> np.allclose(op.correct(observed), true)
    True
    """

    def __init__(self, infield: ArrayLike, dims: Tuple[int, int], *,
                 horizontal: Optional[ArrayLike] = None) -> None:
        kx, ky = (int(n) for n in dims)
        if kx < 1 or ky < 1:
            raise ValueError(f"dims must be two positive sizes (Kx, Ky), got {tuple(dims)}")
        self.dims = (kx, ky)
        kk = kx * ky
        matrix = _square(infield, "infield", kk)
        if horizontal is not None:
            matrix = matrix + _square(horizontal, "horizontal", kk)
        self._matrix = matrix
        self._lu: Optional[Tuple[NDArray[np.float64], NDArray[np.int32]]] = None

    @property
    def shape(self) -> Tuple[int, int]:
        """``(KK, KK)``: the operator's shape over flattened images."""
        return self._matrix.shape

    def forward(self, true: ArrayLike) -> NDArray[np.float64]:
        """The observed image of a true scene.

        Parameters
        ----------
        true : array_like, shape (..., Kx, Ky)
            True L1C images.

        Returns
        -------
        ndarray, shape (..., Kx, Ky)
            ``M.T @ true`` for each flattened image.
        """
        rows = image_rows(true, "true", self.dims)
        return (rows @ self._matrix).reshape(np.shape(true))

    def adjoint(self, observed: ArrayLike) -> NDArray[np.float64]:
        """The adjoint of `forward`: ``M @ observed`` for each flattened image.

        Parameters
        ----------
        observed : array_like, shape (..., Kx, Ky)
            Observed L1C images.

        Returns
        -------
        ndarray, shape (..., Kx, Ky)
        """
        rows = image_rows(observed, "observed", self.dims)
        return (rows @ self._matrix.T).reshape(np.shape(observed))

    def todense(self) -> NDArray[np.float64]:
        """The forward map as a dense ``(KK, KK)`` array, ``M.T``: receivers by sources."""
        return np.ascontiguousarray(self._matrix.T)

    def as_linear_operator(self) -> scipy.sparse.linalg.LinearOperator:
        """The forward map over flattened images as a SciPy ``LinearOperator``, for iterative
        solvers; its ``rmatvec`` is the adjoint."""
        return scipy.sparse.linalg.aslinearoperator(self._matrix.T)

    def correct(self, observed: ArrayLike) -> NDArray[np.float64]:
        """The true images that give the observed ones: solves ``M.T @ true = observed``.

        Parameters
        ----------
        observed : array_like, shape (..., Kx, Ky)
            Observed L1C images; a batch is solved in one call.

        Returns
        -------
        ndarray, shape (..., Kx, Ky)

        Raises
        ------
        numpy.linalg.LinAlgError
            If the matrix is singular.
        """
        rows = image_rows(observed, "observed", self.dims)
        if self._lu is None:
            self._lu = _factorise(self._matrix)
        solved = scipy.linalg.lu_solve(self._lu, rows.T, trans=1)
        return np.ascontiguousarray(solved.T).reshape(np.shape(observed))


def image_rows(images: ArrayLike, name: str, dims: Tuple[int, int]) -> NDArray[np.float64]:
    """Images of shape (..., Kx, Ky) as rows of a (n, KK) array."""
    images = np.asarray(images, dtype=np.float64)
    if images.ndim < 2 or images.shape[-2:] != dims:
        raise ValueError(f"{name} must have shape (..., {dims[0]}, {dims[1]}), got "
                         f"{images.shape}")
    return images.reshape(-1, dims[0] * dims[1])


def _square(matrix: ArrayLike, name: str, kk: int) -> NDArray[np.float64]:
    matrix = np.asarray(matrix, dtype=np.float64)
    if matrix.shape != (kk, kk):
        raise ValueError(f"{name} must have shape ({kk}, {kk}) for dims of {kk} pixels, got "
                         f"{matrix.shape}")
    return matrix


def _factorise(matrix: NDArray[np.float64]) -> Tuple[NDArray[np.float64], NDArray[np.int32]]:
    with warnings.catch_warnings():
        # A zero pivot is reported below as an error rather than as SciPy's warning.
        warnings.simplefilter("ignore", scipy.linalg.LinAlgWarning)
        lu, pivots = scipy.linalg.lu_factor(matrix, check_finite=True)
    zero = np.flatnonzero(np.diag(lu) == 0.0)
    if zero.size:
        raise np.linalg.LinAlgError(f"the matrix is singular: pivot {zero[0]} of its LU "
                                    "factorisation is zero")
    return lu, pivots
