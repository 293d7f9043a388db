"""Times the first in-field build of a fresh process against a build into warm memory.

Each measurement runs in a new Python process: it builds the large synthetic instrument's
in-field matrix into the package's own output (``out=None``) or into a new np.empty or np.zeros
array (whose pages the kernel has not handed out yet), then builds it again into the same, now
faulted-in, array. It prints one CSV row per allocation: the two wall times and their ratio, and
the process's peak RSS over the output.

    python3 bench/first_touch.py [--threads 2] [--psfs 4] [--repeats 3] [--pause 5]
"""

import argparse
import resource
import subprocess
import sys
import time


def child(allocation, threads, psf_grid):
    import numpy as np

    import corvane
    from corvane import synthetic

    instrument, windows = synthetic.large()
    if psf_grid != (2, 2):
        instrument = synthetic.instrument(windows, grid=psf_grid)
    kk = windows.kk
    times = []
    start = time.perf_counter()
    out = {"package": None, "empty": np.empty, "zeros": np.zeros}[allocation]
    out = out((kk, kk)) if out is not None else None
    for _ in range(2):
        out = corvane.infield_matrix(instrument, windows, threads=threads, out=out)
        times.append(time.perf_counter() - start)
        start = time.perf_counter()
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    inputs_mb = sum(a.nbytes for a in instrument.arrays().values()) / 2**20
    print(f"{times[0]:.4f} {times[1]:.4f} {peak_mb:.1f} {out.nbytes / 2**20:.1f} {inputs_mb:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--psfs", type=int, default=4, help="measured PSFs (a square number)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--pause", type=float, default=5.0,
                        help="seconds between runs, after which the memory a run freed is found "
                             "as a new process finds it (a host that takes free memory back "
                             "does so within seconds)")
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    options = parser.parse_args()
    side = int(round(options.psfs ** 0.5))
    if options.child:
        child(options.child, options.threads, (side, side))
        return 0
    print("allocation,psfs,threads,first_build_s,warm_build_s,first_over_warm,peak_rss_mb,"
          "output_mb,inputs_mb")
    for allocation in ("package", "zeros", "empty"):
        runs = []
        for _ in range(options.repeats):
            time.sleep(options.pause)
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
