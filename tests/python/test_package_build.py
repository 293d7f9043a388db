"""corvane.infield_matrix and corvane.horizontal_matrix: the same matrices as the raw module,
checked options, failures as BuildError with the library's lines, records on the "corvane"
logger and nothing on stdout, progress, threads and builds from several Python threads."""

import concurrent.futures
import logging
import re

import _corvane_if as lib
import corvane
import numpy as np
import pytest
from conftest import SENTINEL, log_lines, set_options
from corvane import synthetic
from threadpoolctl import threadpool_limits

TALVEN = "cpp/sources/talven_deconvolution_matrix"


@pytest.fixture(scope="module")
def small():
    return synthetic.instrument(synthetic.small()[1], vignetting=True), synthetic.small()[1]


def raw_infield(instrument, w, simpson=True, lower_edge=True, rows_below=42, rows_above=42):
    set_options(simpson, lower_edge, rows_below, rows_above)
    out = np.full((w.kk, w.kk), SENTINEL)
    assert lib.cimpl_create_deconvolution(w.specs, instrument.psfs, instrument.raw_locations(3),
                                          instrument.coefficients, instrument.indices, out)
    return out


def raw_horizontal(instrument, w, steps=(1, 1, 1, 1)):
    out = np.full((w.kk, w.kk), SENTINEL)
    assert lib.cimpl_create_horizontal_stray_light_matrix(
        w.specs, instrument.raw_vignetting(), instrument.psfs, instrument.raw_locations(2),
        instrument.noof_coefficients, instrument.noof_indices, out, *steps)
    return out


def with_arrays(instrument, **changes):
    return corvane.Instrument(**dict(instrument.arrays(), **changes))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("scheme, lower_edge, rows", [
    ("quadratic", True, (42, 42)), ("midpoint", True, (5, 7)), ("quadratic", False, (42, 42))])
def test_infield_matrix_is_the_raw_modules(small, capsys, threads, scheme, lower_edge, rows):
    instrument, w = small
    expected = raw_infield(instrument, w, scheme == "quadratic", lower_edge, *rows)
    log_lines(capsys)
    got = corvane.infield_matrix(instrument, w, scheme=scheme, lower_edge=lower_edge,
                                 rows_below=rows[0], rows_above=rows[1], threads=threads)
    np.testing.assert_allclose(got, expected, rtol=1e-13, atol=1e-18)
    assert got.shape == (w.kk, w.kk) and got.any()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("steps", [(1, 1, 1, 1), (2, 3, 1, 2)])
def test_horizontal_matrix_is_the_raw_modules(small, capsys, threads, steps):
    instrument, w = small
    expected = raw_horizontal(instrument, w, steps)
    log_lines(capsys)
    got = corvane.horizontal_matrix(instrument, w, steps=steps, threads=threads)
    np.testing.assert_allclose(got, expected, rtol=1e-13, atol=1e-18)
    assert got.any() and capsys.readouterr().out == ""


def test_vignetting_is_read_at_x_y(small):
    # Darkening every source left of the science window removes exactly the rows booked against
    # the left edge pixels (L1C column 0) and leaves the right edge rows as they were.
    instrument, w = small
    plain = corvane.horizontal_matrix(with_arrays(instrument, vignetting=None), w)
    factors = np.ones(w.noof_shape)
    factors[: w.dofs_x + w.sofs_x] = 0.0
    dark_left = corvane.horizontal_matrix(with_arrays(instrument, vignetting=factors), w)
    assert plain[: w.k_y].any() and not dark_left[: w.k_y].any()
    np.testing.assert_array_equal(dark_left[w.k_y:], plain[w.k_y:])
    half = corvane.horizontal_matrix(with_arrays(instrument, vignetting=factors * 0 + 0.5),
                                     w)
    np.testing.assert_allclose(half, 0.5 * plain, rtol=1e-14)


def test_out_is_filled_in_place_and_every_element_is_written(small):
    instrument, w = small
    fresh = corvane.infield_matrix(instrument, w)
    # The package's own outputs start on a cache line; an output that does not gets the same bits.
    assert fresh.ctypes.data % 64 == 0
    for shift in (0, 1):
        out = np.full(w.kk * w.kk + shift, np.nan)[shift:].reshape(w.kk, w.kk)
        assert corvane.infield_matrix(instrument, w, out=out) is out
        np.testing.assert_array_equal(out, fresh)
    out = np.full((w.kk, w.kk), np.nan)
    np.testing.assert_array_equal(corvane.horizontal_matrix(instrument, w, out=out),
                                  corvane.horizontal_matrix(instrument, w))


def test_columns_build_a_band_of_rows(small):
    instrument, w = small
    full = corvane.infield_matrix(instrument, w)
    band = corvane.infield_matrix(instrument, w, columns=(1, 3))
    np.testing.assert_allclose(band, full[w.k_y:3 * w.k_y], rtol=1e-13, atol=1e-18)
    band = corvane.horizontal_matrix(instrument, w, columns=(0, 1))
    np.testing.assert_allclose(band, corvane.horizontal_matrix(instrument, w)[: w.k_y],
                               rtol=1e-13, atol=1e-18)


@pytest.mark.parametrize("builder, kwargs, error, text", [
    ("infield", dict(scheme="simpson"), ValueError, "scheme must be 'quadratic' or 'midpoint', "
     "got 'simpson'"),
    ("infield", dict(scheme=1), TypeError, "scheme must be a str"),
    ("infield", dict(lower_edge=1), TypeError, "lower_edge must be a bool, got int"),
    ("infield", dict(rows_below=-1), ValueError, "rows_below must be at least 0, got -1"),
    ("infield", dict(rows_above=2**31), ValueError, "rows_above = 2147483648 does not fit"),
    ("infield", dict(rows_above=4.0), TypeError, "rows_above must be an integer, got float"),
    ("infield", dict(threads=0), ValueError, "threads must be at least 1, got 0"),
    ("infield", dict(progress="yes"), TypeError, "progress must be None, a bool or a callable"),
    ("infield", dict(use_simpsons=True), TypeError, "unexpected keyword argument 'use_simpsons'"),
    ("infield", dict(columns=(2, 2)), ValueError, "columns must satisfy 0 <= first < end <= "
     "k_x = 3, got (2, 2)"),
    ("infield", dict(out=np.zeros((12, 12), np.float32)), TypeError, "out must have dtype "
     "float64, got float32"),
    ("infield", dict(out=[[0.0]]), TypeError, "out must be a NumPy array, got list"),
    ("infield", dict(out=np.zeros((12, 11))), ValueError, "out must have shape (12, 12), got "
     "(12, 11)"),
    ("infield", dict(out=np.zeros((12, 12), order="F")), ValueError, "out must be C-contiguous"),
    ("horizontal", dict(steps=(1, 1, 1)), TypeError, "steps must be a sequence of 4 integers"),
    ("horizontal", dict(steps=(1, 0, 1, 1)), ValueError, "steps[1] must be at least 1, got 0"),
    ("horizontal", dict(diagnostic="no"), TypeError, "diagnostic must be a bool"),
    ("horizontal", dict(scheme="midpoint"), TypeError, "unexpected keyword argument 'scheme'"),
])
def test_options_are_checked_before_any_work(small, capsys, builder, kwargs, error, text):
    instrument, w = small
    build = corvane.infield_matrix if builder == "infield" else corvane.horizontal_matrix
    with pytest.raises(error, match=re.escape(text)):
        build(instrument, w, **kwargs)
    assert capsys.readouterr().out == ""


def test_read_only_out_and_mismatched_inputs_are_refused(small):
    instrument, w = small
    out = np.zeros((w.kk, w.kk))
    out.setflags(write=False)
    with pytest.raises(ValueError, match="out must be writeable"):
        corvane.infield_matrix(instrument, w, out=out)
    other, other_windows = synthetic.medium()
    with pytest.raises(ValueError, match=re.escape(
            "instrument.coefficients covers (60, 68) pixels but the detector window is (9, 52)")):
        corvane.infield_matrix(other, w)
    with pytest.raises(ValueError, match=re.escape(
            "instrument.psfs must be at least the detector window (60, 68) in size, got PSFs of "
            "(21, 56)")):
        corvane.infield_matrix(instrument, other_windows)
    bare = corvane.Instrument(instrument.psfs, instrument.locations, instrument.coefficients,
                              instrument.indices)
    with pytest.raises(ValueError, match="needs the instrument's NOOF-window tables"):
        corvane.horizontal_matrix(bare, w)
    with pytest.raises(TypeError, match="windows must be a corvane.Windows, got ndarray"):
        corvane.infield_matrix(instrument, w.specs)


def test_failed_build_raises_with_the_library_lines_and_changes_no_setting(small, capsys):
    instrument, w = small
    lib.cimpl_set_option("use_simpsons", 0)
    out = np.full((w.kk, w.kk), SENTINEL)
    with pytest.raises(corvane.BuildError) as raised:
        corvane.infield_matrix(instrument, w, rows_below=w.sofs_y + 1, out=out)
    error = raised.value
    assert isinstance(error, RuntimeError) and (out == 0.0).all()
    message = (f"talvendll_create_deconvolution_matrix, The lower edge correction needs "
               f"{w.sofs_y + 1} detector rows below the science window (option "
               f"lower_edge_rows_below) but the detector window has {w.sofs_y}")
    assert [(r.levelno, r.getMessage(), r.pathname) for r in error.records] == [
        (logging.ERROR, message, TALVEN)]
    assert str(error).splitlines() == ["the in-field matrix failed; the library reported:",
                                       f"ERROR: {message}"]
    assert capsys.readouterr().out == ""
    # The raw module still prints, and still builds with its own settings.
    lib.cimpl_set_option("lower_edge_rows_below", 3)
    raw = np.zeros((w.kk, w.kk))
    assert lib.cimpl_create_deconvolution(w.specs, instrument.psfs, instrument.raw_locations(3),
                                          instrument.coefficients, instrument.indices, raw)
    assert any("[Classic Algorithm]" in line for line in log_lines(capsys))
    np.testing.assert_array_equal(
        corvane.infield_matrix(instrument, w, scheme="midpoint", rows_below=3), raw)


@pytest.mark.parametrize("columns, says_why", [((0, 1), True), ((1, 2), False)])
def test_a_refused_block_says_where_the_reasons_are(small, columns, says_why):
    instrument, w = small
    with pytest.raises(corvane.BuildError) as raised:
        corvane.infield_matrix(instrument, w, rows_below=w.sofs_y + 1, columns=columns)
    assert bool(raised.value.records) == says_why
    assert ("x-column 0" in str(raised.value)) != says_why


def test_records_reach_the_corvane_logger_at_their_levels(small, caplog, capsys):
    instrument, w = small
    with caplog.at_level(logging.INFO, logger="corvane"):
        corvane.infield_matrix(instrument, w, threads=1)
    records = [r for r in caplog.records if r.name == "corvane"]
    assert records and all(r.levelno == logging.INFO for r in records)
    version = next(r for r in records if "Version [" in r.getMessage())
    assert version.pathname == TALVEN and version.lineno > 0
    assert any(r.getMessage().endswith("Processing with a maximum of 1 threads") for r in records)
    assert capsys.readouterr().out == ""
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="corvane"):
        corvane.horizontal_matrix(instrument, w)
    assert not caplog.records


def test_progress_is_monotone_up_to_the_total(small, capsys):
    instrument, w = small
    for build in (corvane.infield_matrix, corvane.horizontal_matrix):
        calls = []
        build(instrument, w, progress=lambda done, total: calls.append((done, total)))
        done = [d for d, _ in calls]
        assert done == sorted(done) and len(set(done)) == len(done)
        assert {t for _, t in calls} == {calls[-1][0]} and calls[-1][0] > 0
    corvane.infield_matrix(instrument, w, progress=True)
    captured = capsys.readouterr()
    assert captured.out == "" and f"{w.k_x}/{w.k_x}" in captured.err


def test_a_failing_progress_callback_cancels_the_build(small):
    instrument, w = small
    out = np.full((w.kk, w.kk), SENTINEL)

    def stop(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        corvane.infield_matrix(instrument, w, out=out, progress=stop)
    assert (out == 0.0).all()
    np.testing.assert_array_equal(corvane.infield_matrix(instrument, w),
                                  raw_infield(instrument, w))


def test_threads_default_to_the_openmp_setting_that_threadpoolctl_limits(small, caplog):
    instrument, w = small
    shown = re.compile(r"Processing with a maximum of (\d+) threads")

    def threads_used(**kwargs):
        caplog.clear()
        with caplog.at_level(logging.INFO, logger="corvane"):
            result = corvane.infield_matrix(instrument, w, **kwargs)
        return result, next(int(m[1]) for r in caplog.records
                            if (m := shown.search(r.getMessage())))

    with threadpool_limits(limits=1, user_api="openmp"):
        one, count = threads_used()
        assert count == 1
        two, count = threads_used(threads=2)
        assert count == 2
    np.testing.assert_array_equal(one, two)
    _, count = threads_used()
    assert count == lib.max_threads()


def test_builds_from_several_python_threads(small):
    instrument, w = small
    jobs = [dict(scheme="quadratic"), dict(scheme="midpoint"), dict(lower_edge=False),
            dict(scheme="midpoint", rows_below=3)] * 2
    expected = [corvane.infield_matrix(instrument, w, **job) for job in jobs[:4]] * 2
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        results = list(pool.map(lambda job: corvane.infield_matrix(instrument, w, **job), jobs))
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got, want)



def test_a_message_of_several_lines_is_one_record(small, caplog):
    instrument, w = small
    lib.cimpl_set_versionstr("first\nsecond\n")
    with caplog.at_level(logging.INFO, logger="corvane"):
        corvane.horizontal_matrix(instrument, w)
    assert [r.getMessage() for r in caplog.records if "Version" in r.getMessage()] == [
        "talvendll_create_horizontal_stray_light_matrix, Version [first\nsecond\n]"]


@pytest.mark.parametrize("builder, row_line, k, noof_border", [
    ("infield_matrix", "Processing L1C pixel row [", (64, 48), (64, 0)),
    ("horizontal_matrix", "build_horizontal_stray_light, Processing row [", (48, 32), (2048, 0)),
])
def test_diagnostic_lines_come_out_while_the_build_runs(builder, row_line, k, noof_border):
    # Long enough on one thread for several rounds of forwarding (a few tenths of a second).
    windows = synthetic.nested_windows(k=k, kbin=(1, 1), lbin=(8, 4), science_offset=(4, 46),
                                       detector_margin=(4, 4), noof_border=noof_border)
    instrument = synthetic.instrument(windows)
    calls, rows = [], []

    class Rows(logging.Handler):
        def emit(self, record):
            if row_line in record.getMessage():
                rows.append(len(calls))  # progress reports made before this line

    handler = Rows()
    logger = logging.getLogger("corvane")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        getattr(corvane, builder)(instrument, windows, diagnostic=True, threads=1,
                                  progress=lambda done, total: calls.append((done, total)))
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    total = calls[-1][1]
    assert rows and calls[-1][0] == total
    # After the first row line came a report of work still to do.
    assert any(done < total for done, _ in calls[rows[0]:])
