"""Ctrl-C during a build, in a child process: the build stops before its end and raises
KeyboardInterrupt, the output is all zeros, log capture is switched off again and the next build
is correct. (bench/bench_interrupt.py measures how fast it stops.)"""

import json
import signal
import subprocess
import sys

import pytest

CHILD = """
import json, sys
import _corvane_if, corvane, numpy as np
from corvane import synthetic

# Several seconds of work on one thread: 64 x 48 L1C pixels of 8 x 8 detector pixels.
windows = synthetic.nested_windows(k=(64, 48), kbin=(1, 1), lbin=(8, 8), science_offset=(4, 46),
                                   detector_margin=(4, 4), noof_border=(64, 0))
instrument = synthetic.instrument(windows)
build = getattr(corvane, sys.argv[1])
out = np.full((windows.kk, windows.kk), 7.25)
seen = []

def progress(done, total):
    seen.append((done, total))  # before the signal can arrive
    if len(seen) == 1:
        print("started", flush=True)

try:
    build(instrument, windows, out=out, threads=1, progress=progress)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
capturing = _corvane_if.capture_log(False)
small = synthetic.small()
again = build(*small)
expected = build(*small, threads=2)
print(json.dumps(dict(outcome=outcome, zeros=not out.any(), done=seen[-1][0], total=seen[-1][1],
                      capturing=capturing, again=bool((again == expected).all() and again.any()))))
"""


@pytest.mark.parametrize("builder", ["infield_matrix", "horizontal_matrix"])
def test_ctrl_c_stops_the_build(builder):
    child = subprocess.Popen([sys.executable, "-c", CHILD, builder], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n", child.stderr.read()
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=300)
    finally:
        child.kill()
    assert child.returncode == 0, stderr
    report = json.loads(stdout.splitlines()[-1])
    assert report["outcome"] == "interrupted"
    assert report["done"] < report["total"]
    assert report["zeros"] and report["again"] and report["capturing"] is False
