"""The imaging model over matrices kept in Zarr stores, read a chunk of rows at a time.

`StoredOperator` is `corvane.Operator` for matrices that do not fit in memory: every product
streams the stored matrix from disk through Dask, and `correct` solves with an iterative method
whose only access to the matrix is those products.
"""

from __future__ import annotations

import os
from typing import Any, List, Optional, Tuple

import numpy as np
import scipy.sparse.linalg
from numpy.typing import ArrayLike, NDArray

from .blockstore import open_complete
from .operator import image_rows

SOLVERS = ("gmres", "lsqr")


class StoredOperator:
    """The map from true L1C images to observed ones, over matrices in Zarr stores.

    Parameters
    ----------
    infield : str, os.PathLike or dask.array.Array
        The in-field matrix: a store written by `corvane.build_to_zarr` or `corvane.save`, or a
        lazy ``(KK, KK)`` array.
    dims : tuple of int, optional
        ``(Kx, Ky)``, the shape of an L1C image. Taken from the store's windows when not given.
    horizontal : str, os.PathLike or dask.array.Array, optional
        The horizontal stray-light matrix, added to `infield` as in `corvane.Operator`.
    scheduler : optional
        Passed to ``dask.compute``; None uses Dask's current scheduler (a ``distributed.Client``
        made the default one, or the local threads).

    Notes
    -----
    ``forward`` gives ``M.T @ true`` for each flattened image, ``adjoint`` gives ``M @ observed``,
    with ``M = infield + horizontal``; each reads every stored chunk once. A store that a build left
    unfinished is refused.
    """

    def __init__(self, infield: Any, dims: Optional[Tuple[int, int]] = None, *,
                 horizontal: Any = None, scheduler: Any = None) -> None:
        matrices = [_lazy_matrix(infield, "infield")]
        if horizontal is not None:
            matrices.append(_lazy_matrix(horizontal, "horizontal"))
        if dims is None:
            dims = _stored_dims(infield)
        kx, ky = (int(n) for n in dims)
        kk = kx * ky
        for (matrix, name) in zip(matrices, ("infield", "horizontal")):
            if matrix.shape != (kk, kk):
                raise ValueError(f"{name} must have shape ({kk}, {kk}) for dims {(kx, ky)}, got "
                                 f"{matrix.shape}")
        self.dims = (kx, ky)
        self._matrices: List[Any] = matrices
        self._scheduler = scheduler

    @property
    def shape(self) -> Tuple[int, int]:
        """``(KK, KK)``: the operator's shape over flattened images."""
        return self._matrices[0].shape

    def forward(self, true: ArrayLike) -> NDArray[np.float64]:
        """``M.T @ true`` for each flattened image of shape ``(..., Kx, Ky)``."""
        rows = image_rows(true, "true", self.dims)
        return self._products(rows, transpose=True).reshape(np.shape(true))

    def adjoint(self, observed: ArrayLike) -> NDArray[np.float64]:
        """``M @ observed`` for each flattened image of shape ``(..., Kx, Ky)``."""
        rows = image_rows(observed, "observed", self.dims)
        return self._products(rows, transpose=False).reshape(np.shape(observed))

    def as_linear_operator(self) -> scipy.sparse.linalg.LinearOperator:
        """The forward map over flattened images as a SciPy ``LinearOperator`` whose
        ``rmatvec`` is the adjoint; every product streams the stores."""
        kk = self.shape[0]
        return scipy.sparse.linalg.LinearOperator(
            (kk, kk), dtype=np.float64,
            matvec=lambda v: self._products(np.reshape(v, (1, kk)), transpose=True)[0],
            rmatvec=lambda v: self._products(np.reshape(v, (1, kk)), transpose=False)[0])

    def correct(self, observed: ArrayLike, *, method: str = "gmres", rtol: float = 1e-12,
                maxiter: Optional[int] = None) -> NDArray[np.float64]:
        """The true images that give the observed ones, by an iterative solve of
        ``M.T @ true = observed`` for each image.

        Parameters
        ----------
        observed : array_like, shape (..., Kx, Ky)
            Observed L1C images.
        method : {"gmres", "lsqr"}
            SciPy's GMRES (one product per iteration) or LSQR (a forward and an adjoint product
            per iteration, for matrices far from the identity).
        rtol : float
            Relative residual at which the solver stops.
        maxiter : int, optional
            Iteration limit; the solver's own default when None.

        Returns
        -------
        ndarray, shape (..., Kx, Ky)

        Raises
        ------
        numpy.linalg.LinAlgError
            If the solver does not reach `rtol` within its iterations.
        """
        if method not in SOLVERS:
            raise ValueError(f"method must be one of {SOLVERS}, got {method!r}")
        rows = image_rows(observed, "observed", self.dims)
        operator = self.as_linear_operator()
        solved = np.empty_like(rows)
        for i, row in enumerate(rows):
            solved[i] = _solve(operator, row, method, rtol, maxiter)
        return solved.reshape(np.shape(observed))

    def _products(self, rows: NDArray[np.float64], transpose: bool) -> NDArray[np.float64]:
        """``rows @ M`` (transpose) or ``rows @ M.T``, summed over the stored matrices: the
        images enter the graph once and every chunk of rows is read once."""
        import dask
        import dask.array as da

        parts = []
        for matrix in self._matrices:
            if transpose:
                images = da.from_array(rows.T, chunks=(matrix.chunks[0], -1))
                parts.append(matrix.T @ images)
            else:
                parts.append(matrix @ rows.T)
        computed = dask.compute(*parts, scheduler=self._scheduler)
        return np.ascontiguousarray(sum(computed[1:], computed[0]).T)


def _solve(operator: scipy.sparse.linalg.LinearOperator, rhs: NDArray[np.float64], method: str,
           rtol: float, maxiter: Optional[int]) -> NDArray[np.float64]:
    if method == "gmres":
        solution, info = scipy.sparse.linalg.gmres(operator, rhs, rtol=rtol, atol=0.0,
                                                   maxiter=maxiter)
        converged = info == 0
    else:
        solution, istop, iterations = scipy.sparse.linalg.lsqr(
            operator, rhs, atol=rtol, btol=rtol, iter_lim=maxiter)[:3]
        info = iterations
        converged = istop in (0, 1, 2, 4, 5)  # 0: the right-hand side is zero
    if not converged:
        residual = np.linalg.norm(operator.matvec(solution) - rhs) / np.linalg.norm(rhs)
        raise np.linalg.LinAlgError(f"{method} did not reach a relative residual of {rtol:g} "
                                    f"(info {info}, residual {residual:.3g})")
    return solution


def _lazy_matrix(matrix: Any, name: str) -> Any:
    """A stored matrix as a Dask array over its chunks; a Dask array as it is."""
    if isinstance(matrix, (str, os.PathLike)):
        import dask.array as da

        return da.from_zarr(open_complete(matrix))
    if hasattr(matrix, "chunks") and hasattr(matrix, "dask"):
        if matrix.ndim != 2:
            raise ValueError(f"{name} must be two-dimensional, got shape {matrix.shape}")
        return matrix
    raise TypeError(f"{name} must be the path of a store or a dask array, got "
                    f"{type(matrix).__name__}")


def _stored_dims(matrix: Any) -> Tuple[int, int]:
    if not isinstance(matrix, (str, os.PathLike)):
        raise ValueError("dims must be given for a matrix that is not a store")
    windows = open_complete(matrix).attrs.get("windows")
    if not windows:
        raise ValueError(f"{os.fspath(matrix)} records no windows: give dims")
    return int(windows["k_x"]), int(windows["k_y"])
