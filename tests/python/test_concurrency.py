"""Builds from four Python threads at once. The request functions run without the interpreter
lock, so their builds overlap; each must get the matrix it gets alone, whatever options the other
threads use, while the raw module's process-wide settings change beside them."""

import threading

import _corvane_if as lib
import numpy as np
import pytest
from conftest import set_options

import corvane

THREADS = 4
ROUNDS = 3


@pytest.fixture(scope="module")
def medium():
    instrument, windows = corvane.synthetic.medium()
    vignetting = corvane.synthetic.instrument(windows, vignetting=True).raw_vignetting()
    return instrument, windows, vignetting


def jobs(instrument, w, vignetting):
    """Requests with different options, as (name, function of the output, output rows)."""
    infield = (w.specs, instrument.psfs, instrument.raw_locations(corvane.instrument.DETECTOR_CODE),
               instrument.coefficients, instrument.indices)
    horizontal = (w.specs, vignetting, instrument.psfs,
                  instrument.raw_locations(corvane.instrument.NOOF_CODE),
                  instrument.noof_coefficients, instrument.noof_indices)
    block = (3 * w.k_y, 7 * w.k_y)
    return [
        ("quadratic, lower edge", lambda out: lib.build_infield(*infield, out, threads=2), None),
        ("midpoint, no lower edge", lambda out: lib.build_infield(
            *infield, out, use_simpsons=False, lower_edge=False, threads=1), None),
        ("rows 3 and 5, columns 3 to 7", lambda out: lib.build_infield(
            *infield, out, rows_below=3, rows_above=5, threads=3, columns=(3, 7)), block),
        ("horizontal, vignetting", lambda out: lib.build_horizontal(
            *horizontal, out, steps=(1, 2, 1, 1), threads=2), None),
        ("horizontal, steps 3 2 2 1", lambda out: lib.build_horizontal(
            *horizontal[:1], np.zeros((0, 0)), *horizontal[2:], out, steps=(3, 2, 2, 1),
            threads=1, diagnostic=True), None),
    ]


def run(job, kk):
    _, build, rows = job
    out = np.full((kk if rows is None else rows[1] - rows[0], kk), np.nan)
    assert build(out)
    return out


def raw_build(instrument, w, simpson, threads):
    """The raw in-field request under process-wide settings it sets itself."""
    set_options(simpson=simpson, lower_edge=False)
    lib.cimpl_set_numthreads(threads)
    out = np.full((w.kk, w.kk), np.nan)
    assert lib.cimpl_create_deconvolution(
        w.specs, instrument.psfs, instrument.raw_locations(corvane.instrument.DETECTOR_CODE),
        instrument.coefficients, instrument.indices, out)
    return out


def test_four_threads_get_the_matrices_of_one_after_another(medium, capsys):
    instrument, w, vignetting = medium
    work = jobs(instrument, w, vignetting)
    alone = [run(job, w.kk) for job in work]
    raw_alone = {simpson: raw_build(instrument, w, simpson, 1) for simpson in (True, False)}
    barrier = threading.Barrier(THREADS)
    failures = []

    def builder(first):
        try:
            before = lib.max_threads()
            barrier.wait()
            for i in range(ROUNDS * len(work)):
                k = (first + i) % len(work)
                if not np.array_equal(run(work[k], w.kk), alone[k]):
                    failures.append(f"{work[k][0]} on thread {first} differs")
            if lib.max_threads() != before:
                failures.append(f"thread {first}: OpenMP setting changed")
        except Exception as error:  # reported below, with the thread it happened on
            failures.append(f"thread {first}: {error!r}")

    def settings_changer():
        # The raw module reads the process-wide settings, which it changes between its calls;
        # the request functions beside it read none of them.
        barrier.wait()
        for i in range(2 * ROUNDS):
            simpson = i % 2 == 0
            if not np.array_equal(raw_build(instrument, w, simpson, 1 + i % 3), raw_alone[simpson]):
                failures.append(f"raw build {i} differs")

    threads = [threading.Thread(target=builder, args=(n,)) for n in range(THREADS - 1)]
    threads.append(threading.Thread(target=settings_changer))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    capsys.readouterr()
    assert failures == []

