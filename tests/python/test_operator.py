"""The operator over L1C images, on matrices built by the library from a PSF with ghosts: a sharp
core and faint copies a few pixels away, the same at every pixel, so that the observed image is
known in closed form."""

import numpy as np
import pytest
from conftest import lib, nested_windows, set_options

from corvane.operator import Operator

GHOST_Y = 0.3  # two pixels along +y
GHOST_X = (0.2, 0.1)  # two pixels along +x and along -x


def psf_block(shape, ghosts):
    """One PSF over a whole window: 1 at its centre pixel, ghosts = {(dx, dy): value}."""
    block = np.zeros(shape)
    cx, cy = shape[0] // 2, shape[1] // 2
    block[cx, cy] = 1.0
    for (dx, dy), value in ghosts.items():
        block[cx + dx, cy + dy] = value
    return block[None], np.array([[cy + 0.5, cx + 0.5, 0.0]])


def tables(shape):
    return np.ones(shape + (1,)), np.zeros(shape + (1,), np.int32)


def ghost_matrices(ghosts, windows):
    """The midpoint in-field matrix (no lower edge light) and the horizontal matrix."""
    set_options(simpson=False, lower_edge=False)
    w, kk = windows, windows.kk
    psfs, locations = psf_block(w.detector_shape, ghosts)
    locations[:, 2] = 3
    infield = np.zeros((kk, kk))
    assert lib.cimpl_create_deconvolution(w.specs, psfs, locations, *tables(w.detector_shape),
                                          infield)
    psfs, locations = psf_block(w.noof_shape, ghosts)
    locations[:, 2] = 2
    horizontal = np.zeros((kk, kk))
    assert lib.cimpl_create_horizontal_stray_light_matrix(
        w.specs, np.zeros((0, 0)), psfs, locations, *tables(w.noof_shape), horizontal,
        1, 1, 1, 1)
    return infield, horizontal


WINDOWS = nested_windows(k=(5, 6), kbin=(1, 1), lbin=(1, 1), science_offset=(2, 3),
                         noof_border=(4, 2))
DIMS = WINDOWS.l1c_shape


@pytest.fixture(scope="module")
def y_ghost():
    infield, _ = ghost_matrices({(0, 2): GHOST_Y}, WINDOWS)
    return Operator(infield, DIMS), infield


@pytest.fixture(scope="module")
def x_ghosts():
    return ghost_matrices({(2, 0): GHOST_X[0], (-2, 0): GHOST_X[1]}, WINDOWS)


def scenes(shape, seed=3):
    return np.random.default_rng(seed).uniform(0.5, 2.0, shape + DIMS)


@pytest.mark.parametrize("batch", [(), (3,), (2, 2)])
def test_forward_adds_the_ghost_two_pixels_along_y(y_ghost, batch):
    op, _ = y_ghost
    true = scenes(batch)
    expected = true.copy()
    expected[..., 2:] += GHOST_Y * true[..., :-2]
    np.testing.assert_allclose(op.forward(true), expected, rtol=0, atol=1e-10)


@pytest.mark.parametrize("batch", [(), (4,), (2, 3)])
def test_correct_undoes_forward(y_ghost, batch):
    op, _ = y_ghost
    true = scenes(batch, seed=4)
    np.testing.assert_allclose(op.correct(op.forward(true)), true, rtol=0, atol=1e-10)


def test_adjoint_dense_and_scipy_forms_agree(y_ghost):
    op, infield = y_ghost
    a, b = scenes(()), scenes((), seed=9)
    assert np.vdot(op.forward(a), b) == pytest.approx(np.vdot(a, op.adjoint(b)), rel=1e-13)
    np.testing.assert_array_equal(op.todense(), infield.T)
    linear = op.as_linear_operator()
    assert linear.shape == op.shape == (WINDOWS.kk, WINDOWS.kk)
    np.testing.assert_allclose(linear.matvec(a.ravel()), op.forward(a).ravel(), rtol=1e-14)
    np.testing.assert_allclose(linear.rmatvec(b.ravel()), op.adjoint(b).ravel(), rtol=1e-14)


def test_horizontal_light_continues_the_edge_pixels_sideways(x_ghosts):
    infield, horizontal = x_ghosts
    op = Operator(infield, DIMS, horizontal=horizontal)
    true = scenes(())
    # The scene beside the window repeats the edge pixel of each row; ghosts come from two pixels
    # to the left (+x) and two to the right (-x).
    padded = np.pad(true, ((2, 2), (0, 0)), mode="edge")
    expected = true + GHOST_X[0] * padded[:-4] + GHOST_X[1] * padded[4:]
    np.testing.assert_allclose(op.forward(true), expected, rtol=0, atol=1e-10)
    np.testing.assert_allclose(op.correct(expected), true, rtol=0, atol=1e-10)
    # Without the horizontal matrix, light from outside the window is missing at the edges only.
    missing = expected - Operator(infield, DIMS).forward(true)
    assert np.abs(missing[2:-2]).max() < 1e-12 and np.abs(missing[[0, -1]]).min() > 0.04


@pytest.mark.parametrize("args, message", [
    (dict(infield=np.eye(30), dims=(5, 5)), "infield must have shape (25, 25)"),
    (dict(infield=np.eye(30), dims=DIMS, horizontal=np.eye(29)), "horizontal must have shape"),
    (dict(infield=np.eye(30), dims=(0, 30)), "dims must be two positive sizes"),
])
def test_refuses_matrices_of_the_wrong_size(args, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        Operator(**args)


def test_refuses_images_of_the_wrong_shape_and_a_singular_matrix(y_ghost):
    op, _ = y_ghost
    with pytest.raises(ValueError, match=r"observed must have shape \(\.\.\., 5, 6\)"):
        op.correct(np.zeros((6, 5)))
    singular = np.eye(WINDOWS.kk)
    singular[4, 4] = 0.0
    with pytest.raises(np.linalg.LinAlgError, match="singular"):
        Operator(singular, DIMS).correct(np.zeros(DIMS))
