"""Shared pieces of the Python suite: the synthetic instrument of corvane.synthetic, argument
tuples for the two creators, and a reset of the process-wide settings after every test."""

from dataclasses import astuple, dataclass

import _corvane_if as lib
import numpy as np
import pytest
from corvane.synthetic import PsfModel, nested_windows

DEFAULT_VERSION = "Version 0.2.0 2021-01-10"
SENTINEL = 7.25  # what outputs hold before a call, so that zeroing and writing both show


@pytest.fixture(autouse=True)
def default_settings():
    """Every test starts from (and leaves) the library's default settings."""
    yield
    for name, value in (("use_simpsons", 1), ("create_lower_edge_adjustment", 1),
                        ("lower_edge_rows_below", 42), ("lower_edge_rows_above", 42)):
        lib.cimpl_set_option(name, value)
    lib.cimpl_set_diagnostic(0)
    lib.cimpl_set_versionstr(DEFAULT_VERSION)
    lib.cimpl_set_numthreads(2)


def set_options(simpson=True, lower_edge=True, rows_below=42, rows_above=42):
    lib.cimpl_set_option("use_simpsons", int(simpson))
    lib.cimpl_set_option("create_lower_edge_adjustment", int(lower_edge))
    lib.cimpl_set_option("lower_edge_rows_below", rows_below)
    lib.cimpl_set_option("lower_edge_rows_above", rows_above)


@dataclass(frozen=True)
class RawWindows:
    """The 22 windowing parameters under their documented names, unchecked, so that a test can
    hand the raw module windows that do not nest or bin."""

    FULLCONVx: int
    FULLCONVy: int
    NOFSx: int
    NOFSy: int
    NOOFx: int
    NOOFy: int
    DOFSx: int
    DOFSy: int
    Dx: int
    Dy: int
    SOFSx: int
    SOFSy: int
    Sx: int
    Sy: int
    LBINx: int
    LBINy: int
    Lx: int
    Ly: int
    KBINx: int
    KBINy: int
    Kx: int
    Ky: int

    @property
    def KK(self):
        return self.Kx * self.Ky

    def specs(self):
        return np.array(astuple(self), dtype=np.int32)


@dataclass
class Case:
    """The inputs of both requests for one instrument."""

    windows: RawWindows
    instrument: PsfModel

    def __post_init__(self):
        self.psfs, self.locations = self.instrument.psfs("detector")
        self.coeffs, self.indices = self.instrument.interpolation_tables("detector")
        self.noof_psfs, self.noof_locations = self.instrument.psfs("noof")
        self.noof_coeffs, self.noof_indices = self.instrument.interpolation_tables("noof")

    def output(self):
        return np.full((self.windows.KK, self.windows.KK), SENTINEL)

    def infield_args(self, out, **replace):
        args = dict(specs=self.windows.specs(), psfs=self.psfs, locations=self.locations,
                    coeffs=self.coeffs, indices=self.indices, out=out)
        args.update(replace)
        return tuple(args.values())

    def horizontal_args(self, out, vignetting=None, steps=(1, 1, 1, 1), **replace):
        args = dict(specs=self.windows.specs(),
                    vignetting=np.zeros((0, 0)) if vignetting is None else vignetting,
                    psfs=self.noof_psfs, locations=self.noof_locations, coeffs=self.noof_coeffs,
                    indices=self.noof_indices, out=out)
        args.update(replace)
        return tuple(args.values()) + tuple(steps)


def make_case(instrument_args=None, **window_args):
    windows = nested_windows(**window_args)
    return Case(RawWindows(*windows.specs.tolist()), PsfModel(windows, **(instrument_args or {})))


@pytest.fixture
def case():
    """Three by four L1C pixels of 2 x 2 detector pixels, with room for 3 lower edge rows."""
    return make_case()


def log_lines(capsys):
    return capsys.readouterr().out.splitlines()
