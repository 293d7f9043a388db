"""Random calls of every entry point, each a tiny valid request with one thing changed (see
fuzzcases): whatever a call returns, nothing beside its output changes; an exception leaves the
output untouched, a failure leaves it zeroed with a line that says why, and a success is a finite
matrix equal to that of fresh copies of the inputs on other thread counts.

Each entry point runs under a fixed seed and a rotating one: CORVANE_FUZZ_SEED, or else the day's
number. The seed is part of the test's name; tools/fuzz_campaign.py runs longer campaigns."""

import datetime
import os

import fuzzcases
import numpy as np
import pytest
from conftest import lib, log_lines, set_options
from hypothesis import HealthCheck, given, note, seed, settings
from hypothesis import strategies as st

FIXED_SEED = 20240601
ROTATING_SEED = int(os.environ.get("CORVANE_FUZZ_SEED", datetime.date.today().toordinal()))
EXAMPLES = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", 150))


class HypothesisDraw(fuzzcases.Draw):
    # Larger counts are left to the campaign, whose calls run in child interpreters.
    thread_limit = 1000

    def __init__(self, data):
        self.data = data

    def integer(self, low, high):
        return self.data.draw(st.integers(low, high))

    def pick(self, options):
        return self.data.draw(st.sampled_from(options))


@pytest.mark.parametrize("random_seed", [FIXED_SEED, ROTATING_SEED], ids=lambda s: f"seed={s}")
@pytest.mark.parametrize("entry", fuzzcases.ENTRIES)
def test_random_calls_pass_every_check(entry, random_seed):
    @seed(random_seed)
    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def check(data):
        call = fuzzcases.make_call(HypothesisDraw(data), entries=(entry,))
        note(call.describe())
        result, problems = fuzzcases.run_call(call)
        assert not problems, (f"seed {random_seed}: {call.describe()}\n gave {result}: "
                              f"{problems}")

    check()


def build(entry, args, out):
    """The in-field request without lower edge rows through the raw or the request function."""
    if entry == "raw":
        set_options(lower_edge=False)
        return lib.cimpl_create_deconvolution(*args, out)
    return lib.build_infield(*args, out, lower_edge=False)


@pytest.mark.parametrize("entry", ["raw", "build"])
@pytest.mark.parametrize("where", ["ends in the output", "same start", "starts at its end"])
def test_an_output_over_an_input_gets_the_matrix_of_the_input_as_it_was(entry, where, capsys):
    b = fuzzcases.base(2)
    args = b.raw("infield", False)
    want = np.full((b.kk, b.kk), np.nan)
    assert build(entry, args, want)
    psfs = args[1]
    offset = {"ends in the output": 1 - psfs.size, "same start": 0,
              "starts at its end": b.kk * b.kk - 1}[where]
    guarded, shared = fuzzcases.overlapping_out(b.kk, b.kk, psfs, offset)
    assert build(entry, [args[0], shared] + args[2:], guarded.out)
    np.testing.assert_array_equal(guarded.out, want)
    assert guarded.guards_intact()


@pytest.mark.parametrize("entry", ["raw_infield", "build_infield", "raw_horizontal",
                                   "build_horizontal"])
@pytest.mark.parametrize("value", [np.nan, -np.inf, 1e308])
def test_a_matrix_with_non_finite_elements_is_a_failure(entry, value, capsys):
    b = fuzzcases.base(1)
    matrix = "infield" if "infield" in entry else "horizontal"
    args = b.raw(matrix, False)
    args[1 if matrix == "infield" else 2] = np.full_like(b.instrument.psfs, value)
    out = np.full((b.kk, b.kk), fuzzcases.FILL)
    if entry == "raw_infield":
        set_options(lower_edge=False)
        ok = lib.cimpl_create_deconvolution(*args, out)
    elif entry == "raw_horizontal":
        ok = lib.cimpl_create_horizontal_stray_light_matrix(*args, out, 1, 1, 1, 1)
    else:
        ok = getattr(lib, entry)(*args, out, **({"lower_edge": False} if matrix == "infield"
                                                else {}))
    assert ok is False
    assert not out.any()
    assert any(line.startswith("ERROR") and "The generated matrix holds a non-finite value at row"
               in line for line in log_lines(capsys))
