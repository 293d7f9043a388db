"""Both matrices through the real module against the brute-force NumPy model of reference.py."""

import itertools

import numpy as np
import pytest
from conftest import lib, make_case, set_options
from reference import horizontal_matrix, infield_matrix


def assert_matches(result, expected):
    assert np.abs(expected).max() > 0
    np.testing.assert_allclose(result, expected, rtol=1e-11, atol=1e-14 * np.abs(expected).max())


def assert_same(result, expected):
    """Equal up to the summation order of the per-thread matrices, which varies between runs."""
    np.testing.assert_allclose(result, expected, rtol=1e-13, atol=1e-16)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("simpson, lower_edge", list(itertools.product([True, False], repeat=2)))
def test_infield_matrix_matches_model(case, simpson, lower_edge, threads):
    set_options(simpson, lower_edge, rows_below=3, rows_above=4)
    lib.cimpl_set_numthreads(threads)
    out = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(out)) is True
    expected = infield_matrix(case.windows, case.psfs, case.locations, case.coeffs, case.indices,
                              simpson, lower_edge, rows_below=3, rows_above=4)
    assert_matches(out, expected)


@pytest.mark.parametrize("window_args, instrument_args", [
    # Whole PSF centres (read without interpolation), one L1C row, binning 1 along y.
    (dict(k=(2, 1), kbin=(1, 1), lbin=(2, 1), science_offset=(1, 3)),
     dict(subpixel=(0.0, 0.0))),
    # Tall L1C pixels, a 3 x 3 PSF grid and wide rows above that overrun the window.
    (dict(k=(2, 3), kbin=(1, 3), lbin=(1, 1), science_offset=(0, 4)),
     dict(grid=(3, 3), subpixel=(0.45, -0.3))),
])
def test_infield_matrix_other_geometries(window_args, instrument_args):
    case = make_case(instrument_args, **window_args)
    set_options(True, True, rows_below=3, rows_above=50)
    out = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(out))
    expected = infield_matrix(case.windows, case.psfs, case.locations, case.coeffs, case.indices,
                              True, True, rows_below=3, rows_above=50)
    assert_matches(out, expected)


def test_infield_defaults_use_42_rows_below_and_above():
    case = make_case(k=(2, 2), science_offset=(1, 42))
    out = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(out))
    expected = infield_matrix(case.windows, case.psfs, case.locations, case.coeffs, case.indices)
    assert_matches(out, expected)


def test_midpoint_matrix_conserves_light_of_a_psf_inside_the_window():
    # A narrow normalised PSF that stays inside the science window sends all the light of each
    # source L1C pixel to the L1C pixels: every row (one source) sums to 1.
    case = make_case(dict(core_sigma=(0.15, 0.15), wing_level=0.0, subpixel=(0.0, 0.0)),
                     k=(3, 3), kbin=(1, 1),
                     lbin=(3, 3), science_offset=(0, 0))
    set_options(simpson=False, lower_edge=False)
    out = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(out))
    np.testing.assert_allclose(out.sum(axis=1), 1.0, atol=1e-6)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("steps", [(1, 1, 1, 1), (2, 3, 2, 1), (3, 1, 1, 2)])
def test_horizontal_matrix_matches_model(case, steps, threads):
    lib.cimpl_set_numthreads(threads)
    out = case.output()
    assert lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(out, steps=steps))
    expected = horizontal_matrix(case.windows, np.zeros((0, 0)), case.noof_psfs,
                                 case.noof_locations, case.noof_coeffs, case.noof_indices, *steps)
    assert_matches(out, expected)


def test_horizontal_matrix_with_vignetting(case):
    w = case.windows
    rng = np.random.default_rng(5)
    vignetting = rng.uniform(0.2, 1.0, (w.NOOFx, w.NOOFy))
    vignetting.ravel()[::7] = 0.0  # sources whose factor is 0 or NaN contribute nothing
    vignetting.ravel()[3::11] = np.nan
    out = case.output()
    assert lib.cimpl_create_horizontal_stray_light_matrix(
        *case.horizontal_args(out, vignetting, steps=(1, 2, 1, 1)))
    expected = horizontal_matrix(w, vignetting, case.noof_psfs, case.noof_locations,
                                 case.noof_coeffs, case.noof_indices, 1, 2, 1, 1)
    assert_matches(out, expected)
    assert np.isfinite(out).all()


def test_horizontal_matrix_ignores_wrongly_sized_vignetting(case, capsys):
    w = case.windows
    plain = case.output()
    assert lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(plain))
    out = case.output()
    vignetting = np.full((w.NOOFx, w.NOOFy - 1), 0.5)
    assert lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(out, vignetting))
    assert_same(out, plain)
    warning = "WARNING\t:The user defined vignetting array was the wrong size"
    assert warning in capsys.readouterr().out


def test_horizontal_matrix_ignores_the_named_options(case):
    out_default = case.output()
    assert lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(out_default))
    set_options(simpson=False, lower_edge=False, rows_below=1, rows_above=1)
    out = case.output()
    assert lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(out))
    assert_same(out, out_default)


def test_inputs_are_converted_lists_float32_fortran_and_byteswapped(case):
    set_options(rows_below=3, rows_above=4)
    expected = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(expected))
    psfs32 = case.psfs.astype(np.float32)
    reference32 = case.output()
    assert lib.cimpl_create_deconvolution(
        *case.infield_args(reference32, psfs=psfs32.astype(float)))

    out = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(
        out, specs=case.windows.specs().tolist(), psfs=psfs32,
        locations=case.locations.tolist(), coeffs=np.asfortranarray(case.coeffs),
        indices=case.indices.astype(">i4")))
    assert_same(out, reference32)

    out = case.output()
    swapped = case.psfs.astype(">f8")
    noncontiguous = np.repeat(case.coeffs, 2, axis=2)[:, :, ::2]
    assert lib.cimpl_create_deconvolution(*case.infield_args(
        out, psfs=swapped, coeffs=noncontiguous))
    assert_same(out, expected)
