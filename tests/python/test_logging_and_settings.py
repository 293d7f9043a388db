"""Settings that persist between requests, and library messages reaching sys.stdout: whole lines,
in order, also when OpenMP workers log them."""

import ctypes
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import DEFAULT_VERSION, lib, log_lines, make_case, set_options
from reference import infield_matrix

IN = "talvendll_create_deconvolution_matrix"
UNKNOWN = "WARNING\t:cimpl_set_option::Deconvolution option interface: Unknow option [{}]"


def scheme_line(lines):
    return next(line for line in lines if "Generating infield convolution matrix using" in line)


def test_fresh_process_logs_before_any_request_and_uses_the_defaults():
    module_dir = str(pathlib.Path(lib.__file__).parent)
    code = """
import _corvane_if as m
from corvane.synthetic import PsfModel, nested_windows
m.cimpl_set_option("Use_simpsons", 0)
m.cimpl_set_option("use_simpson", 0)
print("-- request")
w = nested_windows(k=(2, 2), science_offset=(1, 42))
i = PsfModel(w)
m.cimpl_create_deconvolution(w.specs, *i.psfs(), *i.interpolation_tables(),
                             __import__("numpy").zeros((w.kk, w.kk)))
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [module_dir, os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[:3] == [UNKNOWN.format("Use_simpsons"), UNKNOWN.format("use_simpson"),
                         "-- request"]
    assert f"INFO\t:{IN}, Version [{DEFAULT_VERSION}]" in lines
    assert "[Quadratic Interpolation]" in scheme_line(lines)
    assert any("[42] detector rows above and [42] detector rows below" in line for line in lines)
    assert lines[-1] == f"INFO\t:{IN}. Successfuly generated the convolution matrix of size (4,4)"


def test_options_persist_between_requests(case, capsys):
    set_options(simpson=False, lower_edge=True, rows_below=2, rows_above=3)
    lib.cimpl_set_versionstr("corvane test build")
    lib.cimpl_set_option("USE_SIMPSONS", 1)  # not a key: changes nothing
    expected = infield_matrix(case.windows, case.psfs, case.locations, case.coeffs, case.indices,
                              simpson=False, lower_edge=True, rows_below=2, rows_above=3)
    for _ in range(2):
        out = case.output()
        assert lib.cimpl_create_deconvolution(*case.infield_args(out))
        np.testing.assert_allclose(out, expected, rtol=1e-11, atol=1e-16)
        lines = log_lines(capsys)
        assert "[Classic Algorithm]" in scheme_line(lines)
        assert f"INFO\t:{IN}, Version [corvane test build]" in lines


@pytest.mark.parametrize("value, simpson", [(0, False), (5, True), (-1, True)])
def test_option_values_are_flags(case, capsys, value, simpson):
    set_options(rows_below=3)
    lib.cimpl_set_option("use_simpsons", value)
    assert lib.cimpl_create_deconvolution(*case.infield_args(case.output()))
    expected = "[Quadratic Interpolation]" if simpson else "[Classic Algorithm]"
    assert expected in scheme_line(log_lines(capsys))


def test_thread_limit_persists_until_set_again(case, capsys):
    set_options(rows_below=3)
    for setting, shown in ((1, 1), (0, 1), (-3, 1), (3, 3)):
        lib.cimpl_set_numthreads(setting)
        assert lib.cimpl_create_deconvolution(*case.infield_args(case.output()))
        assert f"INFO\t:{IN}, Processing with a maximum of {shown} threads" in log_lines(capsys)


def test_long_and_multiline_messages(capsys):
    name = "x" * 1100
    lib.cimpl_set_option(name, 1)
    assert log_lines(capsys) == [UNKNOWN.format(name)[:len("WARNING\t:") + 1022]]
    lib.cimpl_set_option("first\n\nsecond\n", 1)
    assert log_lines(capsys) == [UNKNOWN.format("first").rstrip("]"), "\tsecond", "\t]"]


def test_long_line_of_bytes_that_are_not_utf8_is_written():
    # A C caller's version text: more continuation bytes in a row than one written piece holds.
    module_dir = str(pathlib.Path(lib.__file__).parent)
    code = """
import ctypes
import numpy as np, _corvane_if as m
from corvane.synthetic import PsfModel, nested_windows
ctypes.CDLL(m.__file__).talvenddl_set_versionstring(b"v" + b"\\x80" * 2000)
w = nested_windows(k=(2, 2), science_offset=(1, 42))
i = PsfModel(w)
print(m.cimpl_create_deconvolution(w.specs, *i.psfs(), *i.interpolation_tables(),
                                   np.zeros((w.kk, w.kk))))
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [module_dir, os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[-1] == b"True"
    version = next(line for line in lines if b"Version [v" in line)
    assert version.startswith(f"INFO\t:{IN}, Version [v".encode())


def test_messages_from_a_caller_that_released_the_interpreter_lock(capsys):
    ctypes.CDLL(lib.__file__).talvendll_set_option(b"from ctypes", 1)  # runs without the GIL
    assert log_lines(capsys) == [UNKNOWN.format("from ctypes")]


ROW = re.compile(r"INFO\t:TALVEN_DeconvolutionMatrixGenerator, "
                 r"Processing L1C pixel row \[(\d+)\] of \[(\d+)\]$")
PIXEL = re.compile(r"INFO\t:Processing L1C pixel \[ *(\d+), *0\]$")
HROW = re.compile(r"INFO\t:TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, "
                  r"Processing row \[(\d+)\] of \[(\d+)\]$")


@pytest.mark.parametrize("repeat", range(3))
def test_worker_lines_arrive_whole_and_in_order(capsys, repeat):
    case = make_case(k=(2, 24), kbin=(1, 1), lbin=(1, 1), science_offset=(1, 3))
    set_options(rows_below=3)
    lib.cimpl_set_diagnostic(2)
    lib.cimpl_set_numthreads(2)
    assert lib.cimpl_create_deconvolution(*case.infield_args(case.output()))
    lines = log_lines(capsys)  # everything is out when the call returns
    start = lines.index(f"INFO\t:{IN}, Processing with a maximum of 2 threads")
    assert lines[-1].startswith(f"INFO\t:{IN}. Successfuly generated")
    rows, pixels = {}, {}
    for position, line in enumerate(lines[start + 1:-1]):
        if (m := ROW.match(line)):
            assert int(m[2]) == case.windows.Ky
            rows[int(m[1])] = position
        elif (m := PIXEL.match(line)):
            pixels[int(m[1])] = position
    assert sorted(rows) == sorted(pixels) == list(range(case.windows.Ky))
    # A worker logs the row line, then the row's first pixel line.
    assert all(rows[i] < pixels[i] for i in rows)
    assert len(rows) + len(pixels) == sum(bool(ROW.match(x) or PIXEL.match(x)) for x in lines)

    assert lib.cimpl_create_horizontal_stray_light_matrix(*case.horizontal_args(case.output()))
    hrows = [int(m[1]) for m in map(HROW.match, log_lines(capsys)) if m]
    assert sorted(hrows) == list(range(case.windows.Sy))


def test_no_row_lines_without_the_diagnostic_flag(case, capsys):
    set_options(rows_below=3)
    assert lib.cimpl_create_deconvolution(*case.infield_args(case.output()))
    assert not any(ROW.match(line) or PIXEL.match(line) for line in log_lines(capsys))


INCONSISTENT = re.compile(r"ERROR\t:TALVEN_DeconvolutionMatrixGenerator::"
                          r"GenerateColumnMatrixElements, Inconsistency error looking up "
                          r"interpolated PSF table for raw detector pixel \[(\d+),(\d+)\]$")
TOO_MANY = ("ERROR\t:TALVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, "
            "Internal interpolation arrays of size (100) were smaller than the number of incoming "
            "PSF interpolation coefficients (101) ")
EMPTY_MATRIX = ("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were "
                "errors executing the code. Return empty matrix")


def test_lines_logged_by_the_workers_themselves_arrive_whole(capsys):
    # With 101 coefficients per pixel every look-up fails, on whichever thread runs the source.
    case = make_case()
    pad = ((0, 0), (0, 0), (0, 101 - case.coeffs.shape[2]))
    coeffs = np.pad(case.coeffs, pad)
    indices = np.pad(case.indices, pad).astype(np.int32)
    set_options(lower_edge=False)
    lib.cimpl_set_numthreads(2)
    out = case.output()
    # The failed look-ups fail the request.
    assert not lib.cimpl_create_deconvolution(
        *case.infield_args(out, coeffs=coeffs, indices=indices))
    assert not out.any()
    lines = log_lines(capsys)
    w = case.windows
    pixels = sorted((int(m[1]), int(m[2])) for m in map(INCONSISTENT.match, lines) if m)
    assert pixels == sorted((w.SOFSx + x, w.SOFSy + y) for x in range(w.Sx) for y in range(w.Sy))
    assert lines.count(TOO_MANY) == len(pixels)
    assert all(line in (TOO_MANY, EMPTY_MATRIX) or not line.startswith("ERROR")
               or INCONSISTENT.match(line) for line in lines)
