"""The imaging model streamed from stored matrices against the in-memory operator."""

import numpy as np
import pytest
import zarr
from blockcases import whole_horizontal, whole_infield
from corvane import synthetic
from corvane.operator import Operator
from corvane.streaming import StoredOperator
from corvane.zarrbuild import build_to_zarr


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    """The in-field and horizontal matrices of the medium instrument, in stores of blocks of
    5 x-columns, and in memory."""
    inst, windows = synthetic.medium()
    path = tmp_path_factory.mktemp("stores")
    build_to_zarr(path / "infield.zarr", inst, windows, chunks=5)
    build_to_zarr(path / "horizontal.zarr", inst, windows, kind="horizontal", chunks=5)
    return windows, path, whole_infield(inst, windows), whole_horizontal(inst, windows)


@pytest.mark.parametrize("with_horizontal", [False, True])
def test_forward_and_adjoint_match_the_operator(stores, with_horizontal):
    windows, path, infield, horizontal = stores
    extra = dict(horizontal=horizontal) if with_horizontal else {}
    stored_extra = dict(horizontal=path / "horizontal.zarr") if with_horizontal else {}
    expected = Operator(infield, windows.l1c_shape, **extra)
    streamed = StoredOperator(path / "infield.zarr", **stored_extra)
    assert streamed.dims == windows.l1c_shape
    images = np.random.default_rng(7).random((3,) + windows.l1c_shape)
    for name in ("forward", "adjoint"):
        result = getattr(streamed, name)(images)
        np.testing.assert_allclose(result, getattr(expected, name)(images), rtol=1e-13,
                                   atol=1e-15)
    # <forward(x), y> = <x, adjoint(y)>
    x, y = images[0], images[1]
    assert np.vdot(streamed.forward(x), y) == pytest.approx(np.vdot(x, streamed.adjoint(y)),
                                                            rel=1e-13)


@pytest.mark.parametrize("method", ["gmres", "lsqr"])
@pytest.mark.parametrize("with_horizontal", [False, True])
def test_iterative_correction_agrees_with_the_direct_solve(stores, method, with_horizontal):
    windows, path, infield, horizontal = stores
    extra = dict(horizontal=horizontal) if with_horizontal else {}
    stored_extra = dict(horizontal=path / "horizontal.zarr") if with_horizontal else {}
    direct = Operator(infield, windows.l1c_shape, **extra)
    streamed = StoredOperator(path / "infield.zarr", **stored_extra)
    true = np.random.default_rng(3).random((2,) + windows.l1c_shape)
    observed = direct.forward(true)
    corrected = streamed.correct(observed, method=method)
    np.testing.assert_allclose(corrected, direct.correct(observed), rtol=0, atol=1e-8)


def test_a_solver_that_stops_early_says_so(stores):
    windows, path, _, _ = stores
    observed = np.random.default_rng(5).random(windows.l1c_shape)
    with pytest.raises(np.linalg.LinAlgError, match="did not reach"):
        StoredOperator(path / "infield.zarr").correct(observed, maxiter=1, method="lsqr")


def test_an_unfinished_build_is_refused(stores, tmp_path):
    windows, path, _, _ = stores
    copy = zarr.open_array(path / "infield.zarr", mode="r")
    unfinished = zarr.create_array(tmp_path / "unfinished.zarr", shape=copy.shape,
                                   chunks=copy.chunks, dtype=copy.dtype,
                                   attributes=dict(copy.attrs.asdict(), complete=False))
    unfinished[...] = copy[...]
    with pytest.raises(ValueError, match="unfinished build"):
        StoredOperator(tmp_path / "unfinished.zarr")
