"""Bad and degenerate inputs in one place: thread counts beyond the machine, windows at the 32-bit
limit, PSF counts the other arrays contradict, look-ups that fail, texts cut inside a character and
outputs that are views. Reproducers that could crash or hang the interpreter run in a child
process with a timeout."""

import os
import pathlib
import re
import subprocess
import sys

import pytest
from conftest import lib

IN = "talvendll_create_deconvolution_matrix"
H = "talvendll_create_horizontal_stray_light_matrix"
INT_MAX = 2**31 - 1
EMPTY_MATRIX = ("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were "
                "errors executing the code. Return empty matrix")

PRELUDE = f"""
import sys
sys.path.insert(0, {str(pathlib.Path(__file__).resolve().parents[2] / "examples")!r})
import numpy as np
import _corvane_if as m
from synthetic_instrument import Instrument, nested_windows
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
i = Instrument(w)
print(m.cimpl_create_deconvolution(w.specs(), *i.psfs(), *i.interpolation_tables(),
                                   np.zeros((w.KK, w.KK))))
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

