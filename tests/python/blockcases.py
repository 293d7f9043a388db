"""Whole matrices from the raw module's two creators, the reference of the block builds."""

import _corvane_if as lib
import numpy as np
from conftest import set_options
from corvane import synthetic

# (name, windows) of the instruments the block tests run on: Kx of 3 and 5, so that blocks of
# 1, 2 and all x-columns cover a first, a middle, a last and a shorter last block.
GEOMETRIES = {
    "small": synthetic.nested_windows(k=(3, 4), science_offset=(2, 42)),
    "tall": synthetic.nested_windows(k=(5, 3), kbin=(1, 2), lbin=(2, 1), science_offset=(1, 43),
                                     noof_border=(5, 1)),
}


def instrument(name, vignetting=False):
    windows = GEOMETRIES[name]
    return synthetic.instrument(windows, vignetting=vignetting), windows


def whole_infield(instrument, windows, scheme="quadratic", lower_edge=True, rows_below=42,
                  rows_above=42):
    set_options(scheme == "quadratic", lower_edge, rows_below, rows_above)
    out = np.full((windows.kk, windows.kk), np.nan)
    assert lib.cimpl_create_deconvolution(windows.specs, instrument.psfs,
                                          instrument.raw_locations(3.0), instrument.coefficients,
                                          instrument.indices, out)
    return out


def whole_horizontal(instrument, windows, steps=(1, 1, 1, 1)):
    out = np.full((windows.kk, windows.kk), np.nan)
    assert lib.cimpl_create_horizontal_stray_light_matrix(
        windows.specs, instrument.raw_vignetting(), instrument.psfs,
        instrument.raw_locations(2.0), instrument.noof_coefficients, instrument.noof_indices, out,
        *steps)
    return out


def assert_same_bits(result, expected):
    assert np.abs(expected).max() > 0
    assert result.shape == expected.shape
    assert result.tobytes() == expected.tobytes()
