"""corvane.Windows and corvane.Instrument: conversion of any integer type, the messages of every
refused input, and instrument files."""

import dataclasses
import pickle
import re

import numpy as np
import pytest
from corvane import Instrument, Windows, synthetic

SPECS = [40, 30, 2, 2, 36, 26, 6, 2, 24, 22, 2, 3, 12, 8, 2, 2, 6, 4, 2, 1, 3, 4]


@pytest.mark.parametrize("convert", [
    list, lambda s: np.array(s, np.int16), lambda s: np.array(s, np.uint32),
    lambda s: [np.int64(v) for v in s], tuple])
def test_windows_from_any_integers(convert):
    w = Windows.from_specs(convert(SPECS))
    assert w.specs.dtype == np.int32 and w.specs.tolist() == SPECS
    assert all(type(getattr(w, f.name)) is int for f in dataclasses.fields(w))
    assert Windows.from_specs(w.specs) == w and dataclasses.replace(w) == w
    # Shapes agree with the binning: science = binning * L1C, detector pixels = bins * KK.
    assert np.multiply(w.binning, w.l1c_shape).tolist() == list(w.science_shape)
    assert w.kk == w.k_x * w.k_y == np.prod(w.l1c_shape)
    assert (w.detector_shape, w.noof_shape) == ((24, 22), (36, 26))


@pytest.mark.parametrize("specs, error, text", [
    (np.array(SPECS, float), TypeError, "one-dimensional sequence of integers"),
    (SPECS[:21], ValueError, "specs must have 22 values, got 21"),
    (SPECS[:20] + [True, 4], TypeError, "k_x must be an integer, not a bool"),
    (SPECS[:20] + [3, 2**31], ValueError, "k_y = 2147483648 does not fit a signed 32-bit"),
    (np.array([SPECS]), TypeError, "shape (1, 22)"),
])
def test_windows_refuses_what_is_not_22_int32_values(specs, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Windows.from_specs(specs)


def test_windows_names_every_relation_that_fails():
    w = Windows.from_specs(SPECS)
    changes = dict(nofs_x=5, dofs_y=-1, sofs_x=13, lbin_y=3, kbin_x=0, k_y=0, noof_y=30)
    with pytest.raises(ValueError) as raised:
        dataclasses.replace(w, **changes)
    lines = str(raised.value).splitlines()
    assert lines[0] == "the windows do not nest or bin:"
    expected = [
        "the L1C window must be at least 1 pixel along y: k_y = 0",
        "the binning kbin_x must be at least 1, got 0",
        "the NOOF window does not lie inside the full convolution window along x: "
        "nofs_x + noof_x = 5 + 36 = 41 exceeds fullconv_x = 40",
        "the NOOF window does not lie inside the full convolution window along y: "
        "nofs_y + noof_y = 2 + 30 = 32 exceeds fullconv_y = 30",
        "the offset dofs_y of the detector window must not be negative, got -1",
        "the science window does not lie inside the detector window along x: "
        "sofs_x + s_x = 13 + 12 = 25 exceeds d_x = 24",
        "the science window is not binned into whole pixels of the L1B window along y: "
        "s_y = 8 but lbin_y * l_y = 3 * 4 = 12",
        "the L1B window is not binned into whole pixels of the L1C window along x: "
        "l_x = 6 but kbin_x * k_x = 0 * 3 = 0",
        "the L1B window is not binned into whole pixels of the L1C window along y: "
        "l_y = 4 but kbin_y * k_y = 1 * 0 = 0",
    ]
    assert [line.removeprefix("  - ") for line in lines[1:]] == expected


@pytest.fixture(scope="module")
def parts():
    instrument, windows = synthetic.small()
    return instrument.arrays()


def broken(parts, name, change):
    arrays = {k: np.array(v) for k, v in parts.items()}
    arrays[name] = change(arrays[name])
    return arrays


def with_value(index, value):
    def change(a):
        a[index] = value
        return a
    return change


@pytest.mark.parametrize("name, change, error, text", [
    ("psfs", lambda a: a[0], ValueError, "psfs must have 3 dimensions (M, nx, ny), got shape"),
    ("psfs", lambda a: a.astype(complex), TypeError, "psfs must hold real numbers, got dtype "
     "complex128"),
    ("psfs", lambda a: a[:0], ValueError, "psfs must hold at least one PSF"),
    ("psfs", with_value((1, 2, 3), np.nan), ValueError, "psfs must be finite, but "
     "psfs[1, 2, 3] = nan"),
    ("locations", lambda a: a[:3], ValueError, "locations must have shape (M, 2) = (4, 2)"),
    ("locations", with_value((2, 1), -np.inf), ValueError, "locations[2, 1] = -inf"),
    ("coefficients", with_value((8, 51, 3), np.inf), ValueError, "coefficients[8, 51, 3] = inf"),
    ("coefficients", lambda a: a.astype(bool), TypeError, "coefficients must hold real numbers"),
    ("indices", lambda a: a.astype(float), TypeError, "indices must hold integers, got dtype "
     "float64"),
    ("indices", lambda a: a[:, :, :3], ValueError, "indices must have the shape of the "
     "coefficients (9, 52, 4), got (9, 52, 3)"),
    ("indices", with_value((3, 4, 1), 4), ValueError, "indices[3, 4, 1] = 4 is out of range: it "
     "must name one of the 4 PSFs (0 to 3)"),
    ("noof_indices", with_value((0, 0, 0), -1), ValueError, "noof_indices[0, 0, 0] = -1 is out "
     "of range"),
    ("noof_coefficients", with_value((20, 1, 2), np.nan), ValueError,
     "noof_coefficients[20, 1, 2] = nan"),
    ("noof_indices", lambda a: None, ValueError, "noof_coefficients and noof_indices go together"),
])
def test_instrument_names_the_argument_and_the_problem(parts, name, change, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Instrument(**broken(parts, name, change))


@pytest.mark.parametrize("vignetting, drop_noof, text", [
    (np.ones((21, 55)), False, "vignetting must have the shape (noof_x, noof_y) = (21, 56) of "
     "noof_coefficients, got (21, 55)"),
    (np.ones((56, 21)), False, "got (56, 21)"),
    (np.ones(21 * 56), False, "vignetting must have 2 dimensions (noof_x, noof_y)"),
    (np.full((21, 56), np.nan), False, "vignetting[0, 0] = nan"),
    (np.ones((21, 56)), True, "vignetting needs the NOOF-window tables"),
])
def test_instrument_checks_the_vignetting(parts, vignetting, drop_noof, text):
    arrays = dict(parts, vignetting=vignetting)
    if drop_noof:
        del arrays["noof_coefficients"], arrays["noof_indices"]
    with pytest.raises(ValueError, match=re.escape(text)):
        Instrument(**arrays)


def test_instrument_keeps_read_only_copies(parts):
    given = {k: np.array(v) for k, v in parts.items()}
    given["indices"] = given["indices"].astype(np.uint8)
    instrument = Instrument(**given)
    given["psfs"][:] = 0.0
    given["indices"][:] = 0
    assert instrument == Instrument(**parts)
    assert instrument.indices.dtype == np.int32
    for array in instrument.arrays().values():
        assert not array.flags.writeable and array.flags.c_contiguous
    with pytest.raises(ValueError):
        instrument.psfs[0, 0, 0] = 1.0
    copy = pickle.loads(pickle.dumps(instrument))
    assert copy == instrument
    assert not any(array.flags.writeable for array in copy.arrays().values())


@pytest.mark.parametrize("vignetting", [False, True])
def test_instrument_files(tmp_path, vignetting):
    _, windows = synthetic.small()
    instrument = synthetic.instrument(windows, vignetting=vignetting)
    instrument.save(tmp_path / "instrument")
    loaded = Instrument.load(tmp_path / "instrument.npz")
    assert loaded == instrument
    assert (loaded.vignetting is None) != vignetting

    arrays = dict(instrument.arrays(), notes=np.zeros(1))
    np.savez(tmp_path / "other.npz", **arrays)
    with pytest.raises(ValueError, match=r"unknown arrays \['notes'\]"):
        Instrument.load(tmp_path / "other.npz")
    arrays = dict(instrument.arrays(), locations=np.full((4, 2), np.nan))
    np.savez(tmp_path / "bad.npz", **arrays)
    with pytest.raises(ValueError, match=re.escape("locations[0, 0] = nan")):
        Instrument.load(tmp_path / "bad.npz")


def test_raw_layouts_of_the_centres_and_the_vignetting():
    _, windows = synthetic.small()
    instrument = synthetic.instrument(windows, vignetting=True)
    raw = instrument.raw_locations(2.0)
    assert raw[:, 0].tolist() == instrument.locations[:, 1].tolist()
    assert raw[:, 1].tolist() == instrument.locations[:, 0].tolist()
    assert (raw[:, 2] == 2.0).all()
    # The library reads the factor of NOOF pixel (x, y) at flat position y * noof_x + x.
    v, flat = instrument.vignetting, instrument.raw_vignetting().ravel()
    assert instrument.raw_vignetting().shape == windows.noof_shape
    for x, y in [(0, 0), (3, 7), (windows.noof_x - 1, windows.noof_y - 1), (20, 1)]:
        assert flat[y * windows.noof_x + x] == v[x, y]
    assert instrument.__class__(**dict(instrument.arrays(), vignetting=None)).raw_vignetting(
        ).shape == (0, 0)
