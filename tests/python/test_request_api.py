"""The request functions: options passed as arguments (the process-wide settings neither read nor
changed), log records captured for the caller, the interpreter lock released while a matrix is
built, blocks of L1C columns, progress and cancel through the control array, and the arguments
that are refused before any work."""

import ctypes
import threading

import numpy as np
import pytest
from conftest import SENTINEL, lib, log_lines, make_case, set_options

IN = "talvendll_create_deconvolution_matrix"
CANCELLED = "TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, Cancelled by the caller"
INCONSISTENT = ("TALVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, Inconsistency "
                "error looking up interpolated PSF table for raw detector pixel")


@pytest.fixture
def captured():
    """Records go to take_log while the test runs."""
    lib.capture_log(True)
    yield
    lib.capture_log(False)
    lib.take_log()


def messages(records):
    return [record[1] for record in records]


def test_requests_neither_read_nor_change_the_settings(case, capsys):
    set_options(simpson=False, lower_edge=True, rows_below=2, rows_above=3)
    lib.cimpl_set_diagnostic(1)
    lib.cimpl_set_numthreads(1)
    lib.cimpl_set_versionstr("raw settings")

    def raw_build():
        out = case.output()
        assert lib.cimpl_create_deconvolution(*case.infield_args(out))
        return out, log_lines(capsys)

    before, before_lines = raw_build()
    assert lib.max_threads() == 1
    requested = case.output()
    assert lib.build_infield(*case.infield_args(requested), use_simpsons=True, lower_edge=False,
                             rows_below=0, rows_above=0, threads=2)
    lines = log_lines(capsys)
    assert f"INFO\t:{IN}, Version [raw settings]" in lines
    assert f"INFO\t:{IN}, Processing with a maximum of 2 threads" in lines
    assert any("[Quadratic Interpolation]" in line for line in lines)
    assert any("NOT generating lower edge correction" in line for line in lines)
    assert not any("Processing L1C pixel row" in line for line in lines)
    assert lib.max_threads() == 1
    assert lib.build_horizontal(*case.horizontal_args(case.output())[:7], diagnostic=True,
                                threads=2)
    log_lines(capsys)
    after, after_lines = raw_build()
    np.testing.assert_array_equal(after, before)
    assert after_lines == before_lines

    # The same options through the settings give the same bits.
    set_options(simpson=True, lower_edge=False, rows_below=0, rows_above=0)
    assert lib.cimpl_create_deconvolution(*case.infield_args(before))
    np.testing.assert_array_equal(requested, before)


def test_captured_records_include_the_workers_and_nothing_reaches_stdout(capfd):
    # With 101 coefficients per pixel every look-up fails, on whichever thread runs the source.
    case = make_case()
    pad = ((0, 0), (0, 0), (0, 101 - case.coeffs.shape[2]))
    coeffs = np.pad(case.coeffs, pad)
    indices = np.pad(case.indices, pad).astype(np.int32)
    assert lib.capture_log(True) is False
    try:
        out = case.output()
        assert not lib.build_infield(*case.infield_args(out, coeffs=coeffs, indices=indices),
                                     lower_edge=False, threads=2)
        records = lib.take_log()
        assert lib.take_log() == []
    finally:
        assert lib.capture_log(False) is True
    assert capfd.readouterr().out == ""
    w = case.windows
    failures = [r for r in records if r[1].startswith(INCONSISTENT)]
    assert len(failures) == w.Sx * w.Sy
    assert all(r[0] == lib.LOG_ERROR and r[2] == "cpp/sources/make_psfmatrix" and r[3] > 0
               for r in failures)
    assert records[-1][:3] == (lib.LOG_INFO, f"{IN}. Error generating the convolution matrix of "
                               f"size ({w.KK},{w.KK}). It is set to 0.0",
                               "cpp/sources/talven_deconvolution_matrix")
    # Capture off: lines go to stdout again.
    lib.cimpl_set_option("no such option", 1)
    assert "Unknow option [no such option]" in capfd.readouterr().out


def test_records_of_several_lines_and_bytes_that_are_not_utf8(captured):
    lib.cimpl_set_option("first\nsecond", 1)
    ctypes.CDLL(lib.__file__).talvendll_set_option(b"bad \xff", 1)  # a C caller's bytes
    [first, second, bad] = lib.take_log()
    assert first[0] == lib.LOG_WARNING and first[1].endswith("[first")
    assert second[:2] == (lib.LOG_CONTINUATION, "second]")
    assert bad[1].endswith("[bad \ufffd]")
    assert first[2:] == second[2:] == bad[2:]


def busy_case():
    """An in-field request of 96 L1C columns that takes a while on one thread."""
    return make_case(k=(96, 32), kbin=(1, 1), lbin=(4, 2), science_offset=(1, 4))


def run_in_thread(call):
    result = {}
    thread = threading.Thread(target=lambda: result.setdefault("ok", call()))
    thread.start()
    return thread, result


def test_the_interpreter_lock_is_released_while_building(captured):
    case = busy_case()
    out = case.output()
    control = np.zeros(3, np.int64)
    thread, result = run_in_thread(lambda: lib.build_infield(
        *case.infield_args(out), rows_below=3, rows_above=3, threads=1, control=control))
    seen = set()
    while thread.is_alive():
        seen.add(int(control[1]))
    thread.join()
    assert result["ok"]
    assert control[1] == control[2] == case.windows.Kx
    # This thread ran while columns were being built.
    assert any(0 < done < case.windows.Kx for done in seen)


def test_a_cancel_from_another_thread_stops_the_build(captured):
    case = busy_case()
    out = case.output()
    control = np.zeros(3, np.int64)
    thread, result = run_in_thread(lambda: lib.build_infield(
        *case.infield_args(out), rows_below=3, rows_above=3, threads=1, control=control))
    while control[1] == 0 and thread.is_alive():
        pass
    control[0] = 1
    thread.join()
    assert result["ok"] is False
    assert not out.any()
    assert control[1] < control[2] == case.windows.Kx
    records = messages(lib.take_log())
    assert CANCELLED in records
    assert records[-1].startswith(f"{IN}. Error generating the convolution matrix")


@pytest.mark.parametrize("matrix", ["infield", "horizontal"])
def test_blocks_hold_the_rows_of_the_whole_matrix_and_log_its_lines_once(captured, matrix):
    case = make_case(k=(5, 3), science_offset=(2, 3))
    w = case.windows
    vignetting = np.linspace(0.5, 1.5, w.NOOFx * w.NOOFy).reshape(w.NOOFx, w.NOOFy)

    def build(out, **options):
        if matrix == "infield":
            return lib.build_infield(*case.infield_args(out), rows_below=3, rows_above=2,
                                     diagnostic=True, **options)
        return lib.build_horizontal(*case.horizontal_args(out, vignetting)[:7], steps=(2, 3, 1, 2),
                                    diagnostic=True, **options)

    whole = case.output()
    assert build(whole)
    assert whole[:w.Ky].any() and whole[-w.Ky:].any()
    whole_log = sorted(lib.take_log())
    assert matrix == "infield" or any("willbe used for vignetting" in r[1] for r in whole_log)
    blocks, block_log = [], []
    for c0, c1 in ((0, 2), (2, 3), (3, 5)):
        out = np.full(((c1 - c0) * w.Ky, w.KK), SENTINEL)
        assert build(out, columns=[c0, c1])
        blocks.append(out)
        block_log += lib.take_log()
    np.testing.assert_array_equal(np.vstack(blocks), whole)
    assert sorted(block_log) == whole_log


def read_only(kk):
    out = np.zeros((kk, kk))
    out.flags.writeable = False
    return out


BAD_OUT = {
    "float32": (lambda kk: np.zeros((kk, kk), np.float32), TypeError),
    "one dimension": (lambda kk: np.zeros(kk * kk), TypeError),
    "fortran order": (lambda kk: np.zeros((kk, kk), order="F"), TypeError),
    "read-only": (read_only, TypeError),
    "wrong shape": (lambda kk: np.zeros((kk, kk + 1)), ValueError),
    "not an array": (lambda kk: [[0.0] * kk] * kk, TypeError),
}


@pytest.mark.parametrize("name", BAD_OUT)
def test_a_bad_out_array_is_refused(case, capsys, name):
    make, error = BAD_OUT[name]
    args = case.infield_args(make(case.windows.KK))
    with pytest.raises(error):
        lib.build_infield(*args)
    with pytest.raises(error):
        lib.build_horizontal(*case.horizontal_args(args[-1])[:7])
    assert log_lines(capsys) == []


@pytest.mark.parametrize("columns, control, error", [
    ((1, 1), None, ValueError), ((-1, 2), None, ValueError), ((2, 1), None, ValueError),
    ((0, 4), None, ValueError), ("ab", None, TypeError), ((0, 1, 2), None, TypeError),
    (None, np.zeros(3, np.int32), TypeError), (None, np.zeros(2, np.int64), ValueError),
    (None, np.zeros(3, np.int64)[::-1], TypeError),
])
def test_bad_columns_and_control_are_refused_before_any_work(case, capsys, columns, control,
                                                             error):
    out = case.output()  # Kx = 3
    with pytest.raises(error):
        lib.build_infield(*case.infield_args(out), columns=columns, control=control)
    assert (out == SENTINEL).all()
    assert log_lines(capsys) == []
