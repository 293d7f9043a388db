"""Requests the library refuses: each failed check logs its own line, then the final line; the
output is all zeros and the result False. Also the C entry points reached directly by ctypes."""

import ctypes
import dataclasses

import numpy as np
import pytest
from conftest import SENTINEL, lib, log_lines, set_options

IN = "talvendll_create_deconvolution_matrix"
H = "talvendll_create_horizontal_stray_light_matrix"


def infield_final(kk):
    return (f"INFO\t:{IN}. Error generating the convolution matrix of size ({kk},{kk}). It is set "
            "to 0.0")


def horizontal_final(kk):
    return (f"INFO\t:{H}. Error generating the horizontal stray light convolution matrix of size "
            f"({kk},{kk})")


def with_specs(case, **changes):
    return dataclasses.replace(case.windows, **changes).specs()


def refused(call, out, capsys):
    """Runs a request that must fail and returns its log lines."""
    assert call() is False
    assert (out == 0.0).all()
    return log_lines(capsys)


def test_21_windowing_parameters(case, capsys):
    out = case.output()
    lines = refused(lambda: lib.cimpl_create_deconvolution(
        *case.infield_args(out, specs=case.windows.specs()[:21])), out, capsys)
    assert lines == ["WARNING\t:cimpl_create_deconvolution needs exactly 22 windowing parameters, "
                     "you passed in 21"]
    out = case.output()
    lines = refused(lambda: lib.cimpl_create_horizontal_stray_light_matrix(
        *case.horizontal_args(out, specs=np.zeros(23, np.int32))), out, capsys)
    assert lines == ["WARNING\t:cimpl_create_horizontal_stray_light_matrix needs exactly 22 "
                     "windowing parameters, you passed in 23"]


@pytest.mark.parametrize("replace, ncoeffs_shown", [
    (lambda c: dict(locations=c.locations[:, :2]), 0),
    (lambda c: dict(psfs=c.psfs[:, :, :-1]), 0),
    (lambda c: dict(coeffs=c.noof_coeffs, indices=c.noof_indices), 0),
    (lambda c: dict(indices=c.indices[:, :, :3]), 4),
])
def test_python_layer_shape_errors(case, capsys, replace, ncoeffs_shown):
    args = dict(zip(("specs", "psfs", "locations", "coeffs", "indices"), case.infield_args(None)))
    args.update(replace(case))
    w, out = case.windows, case.output()
    lines = refused(lambda: lib.cimpl_create_deconvolution(*args.values(), out), out, capsys)
    loc, psf = args["locations"].shape, args["psfs"].shape
    co, ix = args["coeffs"].shape, args["indices"].shape
    prefix = "ERROR\t:cimpl_create_deconvolution, "
    assert lines == [
        prefix + "there were errors in the psf locations, coefficients or indexing arrays",
        prefix + f"locn size   = ({loc[1]}, {loc[0]})",
        prefix + f"index size  = ({ix[2]}, {ix[1]}, {ix[0]})",
        prefix + f"coeffs size = ({co[2]}, {co[1]}, {co[0]})",
        prefix + f"(Dy,Dx) = ({w.Dy},{w.Dx}),  M = {psf[0]}, "
                 f"(psf_Ny, psf_Nx) = ({psf[2]},{psf[1]})",
        prefix + f"(answery, answerx) = ({w.KK},{w.KK}),  KK = {w.KK}, Ncoeffs = {ncoeffs_shown}",
    ]


def infield_cases(w):
    """(window changes, option changes, expected error lines) of refused in-field requests."""
    return [
        (dict(LBINx=2), {}, [f"The science window size ({w.Sy},{w.Sx}) is not the same size as the "
                             f"L1B binned window ({2 * w.Lx},{w.LBINy * w.Ly})"]),
        (dict(KBINy=2), {}, [f"The L1B binned window size ({w.Ly},{w.Lx}) is not the same size as "
                             f"the L1C binned window ({w.KBINx * w.Kx},{2 * w.Ky})"]),
        (dict(KBINx=0), {}, [
            f"The L1B binned window size ({w.Ly},{w.Lx}) is not the same size as the L1C binned "
            f"window (0,{w.KBINy * w.Ky})",
            f"The binnings (LBINx, LBINy, KBINx, KBINy) = ({w.LBINx}, {w.LBINy}, 0, "
            f"{w.KBINy}) must all be at least 1"]),
        (dict(SOFSx=-1), {}, ["SOFSx (-1) must not be negative"]),
        (dict(SOFSx=w.Dx - w.Sx + 1), {}, [
            f"The science window of size ({w.Sy},{w.Sx}) at offset ({w.SOFSy},{w.Dx - w.Sx + 1}) "
            f"does not lie inside the detector window ({w.Dy},{w.Dx})"]),
        ({}, dict(rows_below=w.SOFSy + 1), [
            f"The lower edge correction needs {w.SOFSy + 1} detector rows below the science window "
            f"(option lower_edge_rows_below) but the detector window has {w.SOFSy}"]),
        (dict(LBINx=65536, Lx=65536), {}, [
            f"The science window size ({w.Sy},{w.Sx}) is not the same size as the L1B binned "
            f"window (2147483647,{w.LBINy * w.Ly})",
            f"The L1B binned window size ({w.Ly},65536) is not the same size as the L1C binned "
            f"window ({w.KBINx * w.Kx},{w.KBINy * w.Ky})",
            "The product LBINx * Lx = 4294967296 does not fit a 32-bit integer"]),
    ]


@pytest.mark.parametrize("index", range(7))
def test_refused_infield_requests(case, capsys, index):
    changes, options, errors = infield_cases(case.windows)[index]
    set_options(rows_below=options.get("rows_below", 3), rows_above=4)
    log_lines(capsys)
    out = case.output()
    lines = refused(lambda: lib.cimpl_create_deconvolution(
        *case.infield_args(out, specs=with_specs(case, **changes))), out, capsys)
    kk = case.windows.KK
    assert lines == [f"ERROR\t:{IN}, {e}" for e in errors] + [infield_final(kk)]


def test_lower_edge_rows_are_only_checked_when_the_correction_is_on(case, capsys):
    set_options(lower_edge=False, rows_below=case.windows.SOFSy + 1)
    out = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(out))
    assert not (out == SENTINEL).any()


def horizontal_cases(c):
    w = c.windows
    return [
        (dict(psfs=c.noof_psfs[:, : w.Sx - 1, :]), {}, (1, 1, 1, 1), [
            f"The size of the PSF arrays ({w.NOOFy}, {w.Sx - 1}) must be at least as big as the "
            f"science window ({w.Sy}, {w.Sx})"]),
        (dict(locations=c.noof_locations[:-1]), {}, (1, 1, 1, 1), [
            f"The number of PSF arrays ({len(c.noof_psfs)}) does not equal the number of locations "
            f"({len(c.noof_psfs) - 1})"]),
        (dict(coeffs=c.coeffs), {}, (1, 1, 1, 1), [
            f"the array of PSF interpolation coefficients ({w.Dy},{w.Dx}) must be the same size as "
            f"the NOOF window ({w.NOOFy},{w.NOOFx})"]),
        (dict(indices=c.indices), {}, (1, 1, 1, 1), [
            f"the array of PSF interpolation indices ({w.Dy},{w.Dx}) must be the same size as the "
            f"NOOF window ({w.NOOFy},{w.NOOFx})"]),
        (dict(indices=c.noof_indices[:, :, :2]), {}, (1, 1, 1, 1), [
            "the Number of coefficients in the PSF interpolation (4) and coefficient (2) arrays "
            "must match"]),
        (dict(locations=np.zeros((len(c.noof_psfs), 4))), {}, (1, 1, 1, 1), [
            "The PSF location array has 4 values per PSF, it must have 3"]),
        ({}, dict(LBINy=3), (1, 1, 1, 1), [
            f"The science window size ({w.Sy},{w.Sx}) is not the same size as the L1B binned "
            f"window ({w.LBINx * w.Lx},{3 * w.Ly})"]),
        ({}, dict(LBINy=0, LBINx=-1), (1, 1, 1, 1), [
            f"The science window size ({w.Sy},{w.Sx}) is not the same size as the L1B binned "
            f"window ({-w.Lx},0)",
            "The binnings (LBINx, LBINy, KBINx, KBINy) = (-1, 0, 2, 1) must all be at least 1"]),
        ({}, dict(DOFSy=-1), (1, 1, 1, 1), ["DOFSy (-1) must not be negative"]),
        ({}, dict(SOFSy=w.Dy - w.Sy + 1), (1, 1, 1, 1), [
            f"The science window of size ({w.Sy},{w.Sx}) at offset ({w.Dy - w.Sy + 1},{w.SOFSx}) "
            f"does not lie inside the detector window ({w.Dy},{w.Dx})"]),
        ({}, dict(DOFSx=w.NOOFx - w.SOFSx - w.Sx + 1), (1, 1, 1, 1), [
            f"The science window of size ({w.Sy},{w.Sx}) at offset ({w.DOFSy + w.SOFSy},"
            f"{w.NOOFx - w.Sx + 1}) in the NOOF window does not lie inside the NOOF "
            f"window ({w.NOOFy},{w.NOOFx})"]),
        ({}, {}, (1, 0, 1, -2), [
            "The sampling steps (delta_ny, delta_nx, delta_sy, delta_sx) = (0, 1, -2, 1) must all "
            "be at least 1"]),
        ({}, {}, (1, 1, 65536, 65536), [
            "The product delta_sx * delta_sy = 4294967296 does not fit a 32-bit integer"]),
    ]


@pytest.mark.parametrize("index", range(13))
def test_refused_horizontal_requests(case, capsys, index):
    replace, changes, steps, errors = horizontal_cases(case)[index]
    out = case.output()
    lines = refused(lambda: lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(
        out, steps=steps, specs=with_specs(case, **changes), **replace)), out, capsys)
    assert lines == [f"ERROR\t:{H}, {e}" for e in errors] + [horizontal_final(case.windows.KK)]


@pytest.mark.parametrize("shape", [(1, 1), (13, 13), (12, 13), (13, 12), (144, 1)])
def test_horizontal_output_must_be_kk_by_kk(case, capsys, shape):
    out = np.full(shape, SENTINEL)
    lines = refused(lambda: lib.cimpl_create_horizontal_stray_light_matrix(
        *case.horizontal_args(out)), out, capsys)
    assert lines == [f"ERROR\t:cimpl_create_horizontal_stray_light_matrix, The output array "
                     f"({shape[0]}, {shape[1]}) must be (KK, KK) with KK = Kx * Ky = "
                     f"{case.windows.KK}"]


def test_every_check_runs_and_no_generator_is_built(case, capsys):
    w = case.windows
    out = case.output()
    specs = with_specs(case, LBINx=2, KBINy=2, SOFSx=w.Dx)
    lines = refused(lambda: lib.cimpl_create_horizontal_stray_light_matrix(
        *case.horizontal_args(out, specs=specs, steps=(0, 1, 1, 1))), out, capsys)
    errors = [line for line in lines if line.startswith("ERROR")]
    assert len(errors) == 4 and lines == errors + [horizontal_final(w.KK)]
    assert not any("Version" in line for line in lines)


# The C entry points, reached through the module's shared object without the Python layer.

def c_library():
    c = ctypes.PyDLL(lib.__file__)
    c.talvendll_create_deconvolution_matrix.restype = ctypes.c_bool
    c.talvendll_create_horizontal_stray_light_matrix.restype = ctypes.c_bool
    return c


def ptr(array):
    return ctypes.c_void_p(array.ctypes.data)


def c_infield_args(case, out, kk=None, psfs=None, locations=None, coeffs=None, indices=None):
    psfs = case.psfs if psfs is None else psfs
    locations = case.locations if locations is None else locations
    coeffs = case.coeffs if coeffs is None else coeffs
    indices = case.indices if indices is None else indices
    pointers = (ctypes.c_void_p * len(psfs))(*[p.ctypes.data for p in psfs])
    return ([ptr(out), case.windows.KK if kk is None else kk, pointers, *psfs.shape, ptr(locations),
             *locations.shape, ptr(coeffs), *coeffs.shape, ptr(indices), *indices.shape]
            + case.windows.specs().tolist())


def test_c_entry_points_are_exported_and_build_the_same_matrix(case, capsys):
    c = c_library()
    set_options(rows_below=3, rows_above=4)
    expected = case.output()
    assert lib.cimpl_create_deconvolution(*case.infield_args(expected))
    out = case.output()
    c.talvenddl_set_versionstring(b"direct caller")
    c.talvendll_set_numthreads(1)
    assert c.talvendll_create_deconvolution_matrix(*c_infield_args(case, out))
    np.testing.assert_allclose(out, expected, rtol=1e-13, atol=1e-16)
    assert f"INFO\t:{IN}, Version [direct caller]" in log_lines(capsys)


def test_c_infield_entry_point_checks_what_the_python_layer_checks(case, capsys):
    c = c_library()
    set_options(rows_below=3, rows_above=4)
    w, kk = case.windows, case.windows.KK
    out = case.output()
    args = c_infield_args(case, out, locations=case.locations[:-1, :2].copy(),
                          psfs=case.psfs[:, : w.Sx - 1, :].copy(),
                          coeffs=case.noof_coeffs, indices=case.noof_indices[:, :, :3].copy())
    lines = refused(lambda: c.talvendll_create_deconvolution_matrix(*args), out, capsys)
    m = len(case.psfs)
    assert lines == [f"ERROR\t:{IN}, {e}" for e in [
        f"The size of the PSF arrays ({w.Dy}, {w.Sx - 1}) must be bigger or same size as the "
        f"science window ({w.Sy}, {w.Sx})",
        f"the array of PSF interpolation coefficients ({w.NOOFy},{w.NOOFx}) must equal the size "
        f"of the detector window ({w.Dy},{w.Dx})",
        f"the array of PSF interpolation indices ({w.NOOFy},{w.NOOFx}) must equal the size of "
        f"the detector window ({w.Dy},{w.Dx})",
        "the Number of coefficients in the PSF interpolation coefficient (4) and index (3) arrays "
        "must match",
        f"The number of PSF arrays ({m}) does not equal the number of locations ({m - 1})",
        "The PSF location array has 2 values per PSF, it must have 3",
    ]] + [infield_final(kk)]

    out = case.output()
    assert c.talvendll_create_deconvolution_matrix(*c_infield_args(case, out, kk=kk - 1)) is False
    flat = out.ravel()  # the (kk - 1) x (kk - 1) view of the buffer is zeroed
    assert (flat[: (kk - 1) ** 2] == 0.0).all() and (flat[(kk - 1) ** 2:] == SENTINEL).all()
    assert log_lines(capsys) == [f"ERROR\t:{IN}, The square convolution matrix dimension size "
                                 f"({kk - 1}) is "
                     f"inconsistent with the L1C binned window size ({w.Ky},{w.Kx})",
                     infield_final(kk - 1)]

    out = case.output()
    assert c.talvendll_create_deconvolution_matrix(*c_infield_args(case, out, kk=-1)) is False
    assert (out == SENTINEL).all()  # nothing was attached, so nothing is written
    assert log_lines(capsys)[0] == (f"ERROR\t:{IN}, Error attaching to the (-1, -1) input "
                                    "convolution matrix storage")


def test_c_horizontal_entry_point_compares_kk_with_the_l1c_window(case, capsys):
    c = c_library()
    w, kk = case.windows, case.windows.KK
    out = case.output()
    pointers = (ctypes.c_void_p * len(case.noof_psfs))(*[p.ctypes.data for p in case.noof_psfs])
    vignetting = np.zeros((0, 0))
    args = ([ptr(out), kk - 1, ptr(vignetting), 0, 0, pointers, *case.noof_psfs.shape,
             ptr(case.noof_locations), *case.noof_locations.shape, ptr(case.noof_coeffs),
             *case.noof_coeffs.shape, ptr(case.noof_indices), *case.noof_indices.shape]
            + w.specs().tolist() + [1, 1, 1, 1])
    assert c.talvendll_create_horizontal_stray_light_matrix(*args) is False
    flat = out.ravel()
    assert (flat[: (kk - 1) ** 2] == 0.0).all() and (flat[(kk - 1) ** 2:] == SENTINEL).all()
    assert log_lines(capsys) == [
        f"ERROR\t:{H}, The square convolution matrix dimension size ({kk - 1}) is inconsistent "
        f"with the L1C binned window size ({w.Ky},{w.Kx})", horizontal_final(kk - 1)]
