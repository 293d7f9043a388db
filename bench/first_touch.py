"""Times the first in-field build of a fresh process against a build into warm memory.

Each measurement runs in a new Python process: it allocates the output (np.empty or np.zeros,
whose pages the kernel has not handed out yet), builds the large synthetic instrument's in-field
matrix into it, then builds it again into the same, now faulted-in, array. It prints one CSV row
per allocation: the two wall times and their ratio, and the process's peak RSS over the output.

    python3 bench/first_touch.py [--threads 2] [--psfs 4] [--repeats 3]
"""

import argparse
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))


def large_instrument(psf_grid):
    from synthetic_instrument import Instrument, nested_windows

    windows = nested_windows(k=(128, 96), kbin=(1, 1), lbin=(4, 2), science_offset=(4, 46),
                             detector_margin=(4, 4), noof_border=(64, 0), fullconv_border=(0, 0))
    return windows, Instrument(windows, grid=psf_grid, subpixel=(0.3, 0.2))


def child(allocation, threads, psf_grid):
    import numpy as np

    import _corvane_if

    windows, instrument = large_instrument(psf_grid)
    psfs, locations = instrument.psfs("detector")
    coefficients, indices = instrument.interpolation_tables("detector")
    _corvane_if.cimpl_set_numthreads(threads)
    kk = windows.KK
    times = []
    start = time.perf_counter()
    out = np.empty((kk, kk)) if allocation == "empty" else np.zeros((kk, kk))
    for _ in range(2):
        ok = _corvane_if.cimpl_create_deconvolution(windows.specs(), psfs, locations,
                                                    coefficients, indices, out)
        times.append(time.perf_counter() - start)
        start = time.perf_counter()
        if not ok:
            raise SystemExit("build failed")
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    inputs_mb = sum(a.nbytes for a in (psfs, locations, coefficients, indices)) / 2**20
    # The library's log lines go to the same stream: the figures are the last line.
    print(f"{times[0]:.4f} {times[1]:.4f} {peak_mb:.1f} {out.nbytes / 2**20:.1f} {inputs_mb:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--psfs", type=int, default=4, help="measured PSFs (a square number)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    options = parser.parse_args()
    side = int(round(options.psfs ** 0.5))
    if options.child:
        child(options.child, options.threads, (side, side))
        return 0
    print("allocation,psfs,threads,first_build_s,warm_build_s,first_over_warm,peak_rss_mb,"
          "output_mb,inputs_mb")
    for allocation in ("zeros", "empty"):
        runs = []
        for _ in range(options.repeats):
            result = subprocess.run(
                [sys.executable, __file__, "--child", allocation, "--threads",
                 str(options.threads), "--psfs", str(options.psfs)],
                check=True, capture_output=True, text=True)
            runs.append([float(v) for v in result.stdout.splitlines()[-1].split()])
        # The run with the fastest warm build: the one the machine's neighbours disturbed least.
        first, warm, peak, output, inputs = min(runs, key=lambda r: r[1])
        print(f"{allocation},{side * side},{options.threads},{first:.4f},{warm:.4f},"
              f"{first / warm:.2f},{peak:.1f},{output:.1f},{inputs:.1f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
