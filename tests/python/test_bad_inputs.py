"""Bad and degenerate inputs in one place: thread counts beyond the machine, windows at the 32-bit
limit, PSF counts the other arrays contradict, look-ups that fail, texts cut inside a character and
outputs that are views. Reproducers that could crash or hang the interpreter run in a child
process with a timeout."""

import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import SENTINEL, lib, log_lines, set_options

IN = "talvendll_create_deconvolution_matrix"
H = "talvendll_create_horizontal_stray_light_matrix"
INT_MAX = 2**31 - 1
EMPTY_MATRIX = ("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were "
                "errors executing the code. Return empty matrix")

PRELUDE = """
import sys
import numpy as np
import _corvane_if as m
from corvane.synthetic import PsfModel, nested_windows
"""


def run_child(code, timeout=60):
    """Runs code after PRELUDE in a fresh interpreter; returns (returncode, stdout, stderr)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(pathlib.Path(lib.__file__).parent), os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", PRELUDE + code], capture_output=True, env=env,
                         timeout=timeout)
    return run.returncode, run.stdout.decode("utf-8", "backslashreplace"), run.stderr.decode()


INFIELD_REQUEST = """
w = nested_windows(k=(2, 2), science_offset=(1, 42))
i = PsfModel(w)
print(m.cimpl_create_deconvolution(w.specs, *i.psfs(), *i.interpolation_tables(),
                                   np.zeros((w.kk, w.kk))))
"""


@pytest.mark.parametrize("threads", [1000, 10**6, INT_MAX])
def test_thread_count_beyond_the_machine_is_capped(threads):
    code, out, err = run_child(f"m.cimpl_set_numthreads({threads})\n" + INFIELD_REQUEST)
    assert code == 0, err
    lines = out.splitlines()
    assert lines[-1] == "True"
    warning = next(line for line in lines if line.startswith("WARNING\t:TALVEN_ThreadsToUse"))
    assert warning.startswith(f"WARNING\t:TALVEN_ThreadsToUse, {threads} threads requested")
    used = int(re.search(r"using (\d+) threads$", warning).group(1))
    assert 1 <= used <= 4 * len(os.sched_getaffinity(0))
    assert f"INFO\t:{IN}, Processing with a maximum of {used} threads" in lines


# A 2 x 1 science window (two L1C pixels) deep inside a NOOF window of INT_MAX columns, with empty
# interpolation tables over it.
WIDE_NOOF_SPECS = [INT_MAX, 3, 0, 1, INT_MAX, 1, 2**30, 0, 2, 1, 0, 0, 2, 1, 1, 1, 2, 1, 1, 1, 2, 1]


@pytest.mark.parametrize("num_psfs, delta_nx", [
    (1, 2**28),         # one 2 x 1 PSF: its tables follow the PSF, not the window
    (0, 1500000000),    # the step past the last source column would pass INT_MAX
])
def test_horizontal_request_over_a_noof_window_of_int_max_columns(num_psfs, delta_nx):
    code, out, err = run_child(f"""
psfs = np.full(({num_psfs}, 2, 1), 0.5)
locations = np.tile([0.5, 1.0, 2.0], ({num_psfs}, 1))
coeffs = np.empty(({INT_MAX}, 1, 0))
indices = np.empty(({INT_MAX}, 1, 0), np.int32)
out = np.full((2, 2), 7.0)
print(m.cimpl_create_horizontal_stray_light_matrix(
    np.array({WIDE_NOOF_SPECS}, np.int32), np.zeros((0, 0)), psfs, locations, coeffs, indices,
    out, {delta_nx}, 1, 1, 1))
print((out == 0.0).all())
""", timeout=120)
    assert code == 0, err
    lines = out.splitlines()
    assert lines[-2:] == ["True", "True"]
    assert not [line for line in lines if line.startswith("ERROR")]


@pytest.mark.parametrize("creator", ["infield", "horizontal"])
@pytest.mark.parametrize("num_psfs", [2**28, INT_MAX])
def test_psf_count_the_locations_contradict_allocates_nothing(creator, num_psfs):
    # An empty PSF block may claim any count; the request must be refused before a pointer per
    # PSF is made. The child's address space is too small for that list.
    code, out, err = run_child(f"""
import resource
w = nested_windows(k=(2, 2), science_offset=(1, 42))
i = PsfModel(w)
psfs, locations = i.psfs("detector" if {creator!r} == "infield" else "noof")
coeffs, indices = i.interpolation_tables("detector" if {creator!r} == "infield" else "noof")
empty = np.empty(({num_psfs}, 0, 0))
out = np.full((w.kk, w.kk), 7.0)
resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))
if {creator!r} == "infield":
    result = m.cimpl_create_deconvolution(w.specs, empty, locations, coeffs, indices, out)
else:
    result = m.cimpl_create_horizontal_stray_light_matrix(
        w.specs, np.zeros((0, 0)), empty, locations, coeffs, indices, out, 1, 1, 1, 1)
print(result, (out == 0.0).all())
""")
    assert code == 0, err
    lines = out.splitlines()
    assert lines[-1] == "False True"
    if creator == "infield":
        assert ("ERROR\t:cimpl_create_deconvolution, there were errors in the psf locations, "
                "coefficients or indexing arrays") in lines
    else:
        assert any(line.startswith(f"ERROR\t:{H}, The number of PSF arrays ({num_psfs}) does not "
                                   "equal the number of locations") for line in lines)


def with_101_coefficients(coeffs, indices):
    """The same blends, 4 non-zero coefficients per pixel among 101."""
    pad = [(0, 0), (0, 0), (0, 101 - coeffs.shape[2])]
    return np.pad(coeffs, pad), np.pad(indices, pad)


@pytest.mark.parametrize("creator", ["infield", "horizontal"])
@pytest.mark.parametrize("simpson", [False, True])
def test_failed_look_ups_fail_the_request(case, capsys, creator, simpson):
    set_options(simpson=simpson, lower_edge=False)
    out = case.output()
    if creator == "infield":
        coeffs, indices = with_101_coefficients(case.coeffs, case.indices)
        result = lib.cimpl_create_deconvolution(
            *case.infield_args(out, coeffs=coeffs, indices=indices))
        final = (f"INFO\t:{IN}. Error generating the convolution matrix of size "
                 f"({case.windows.KK},{case.windows.KK}). It is set to 0.0")
    else:
        coeffs, indices = with_101_coefficients(case.noof_coeffs, case.noof_indices)
        result = lib.cimpl_create_horizontal_stray_light_matrix(
            *case.horizontal_args(out, coeffs=coeffs, indices=indices))
        final = (f"INFO\t:{H}. Error generating the horizontal stray light convolution matrix of "
                 f"size ({case.windows.KK},{case.windows.KK})")
    assert result is False
    assert (out == 0.0).all()
    lines = log_lines(capsys)
    assert any("were smaller than the number of incoming PSF interpolation coefficients (101)"
               in line for line in lines)
    assert lines[-2:] == [EMPTY_MATRIX, final]


def test_log_text_cut_inside_a_character_reaches_sys_stdout():
    version = "\u20ac" * 400  # the euro sign, 3 bytes in UTF-8
    code, out, err = run_child(f"""
import contextlib, io, json
captured = io.StringIO()
m.cimpl_set_versionstr({version!r})
w = nested_windows(k=(2, 2), science_offset=(1, 42))
i = PsfModel(w)
with contextlib.redirect_stdout(captured):
    m.cimpl_create_deconvolution(w.specs, *i.psfs(), *i.interpolation_tables(),
                                 np.zeros((w.kk, w.kk)))
sys.stderr.write(json.dumps(captured.getvalue()))
""")
    assert code == 0, err
    assert out == ""  # nothing went past sys.stdout
    lines = json.loads(err).splitlines()
    prefix = f"INFO\t:{IN}, Version ["
    version_line = next(line for line in lines if line.startswith(prefix))
    # The record keeps 1022 bytes of the formatted text, here only whole characters of it.
    whole = (1022 - len(prefix[len("INFO\t:"):].encode())) // 3
    assert version_line == prefix + "\u20ac" * whole
    assert lines[-1].startswith(f"INFO\t:{IN}. Successfuly generated")


# The 1 x 1 horizontal request of a strided output view.
ONE_PIXEL_SPECS = [8, 8, 2, 2, 4, 4, 1, 0, 2, 4, 0, 3, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("seed", range(3))
def test_one_element_view_output_matches_a_canonical_output(capsys, threads, seed):
    # A (1, 1) view with a stride counts as C-contiguous (a dimension of size 1 has no stride that
    # matters): the library writes its one element and nothing beside it.
    rng = np.random.default_rng(seed)
    args = (np.array(ONE_PIXEL_SPECS, np.int32), np.zeros((0, 0)), rng.random((2, 3, 3)),
            np.column_stack([rng.uniform(0, 3, (2, 2)), [2.0, 2.0]]), rng.random((4, 4, 3)),
            rng.integers(0, 2, (4, 4, 3), dtype=np.int32))
    lib.cimpl_set_numthreads(1)
    canonical = np.full((1, 1), SENTINEL)
    assert lib.cimpl_create_horizontal_stray_light_matrix(*args, canonical, 1, 1, 1, 1)
    lib.cimpl_set_numthreads(threads)
    base = np.array([[np.nan, np.inf]])
    view = base[:, ::2]
    assert view.flags.c_contiguous and view.strides[1] == 16
    assert lib.cimpl_create_horizontal_stray_light_matrix(*args, view, 1, 1, 1, 1)
    log_lines(capsys)
    assert np.isfinite(canonical).all() and canonical[0, 0] != 0.0
    assert view[0, 0] == canonical[0, 0]
    assert base[0, 1] == np.inf
