"""How fast Ctrl-C stops a build of the large synthetic instrument: SIGINT is sent to this process
at several moments of a build, and the time from the signal to the KeyboardInterrupt that the
builder raises is printed as one CSV row per try.

    python bench/bench_interrupt.py [--threads N] [--tries 5]
"""

from __future__ import annotations

import argparse
import os
import signal
import threading
import time

import corvane
import numpy as np
from corvane import synthetic


def interrupt_after(seconds: float, sent: dict[str, float]) -> threading.Timer:
    def send() -> None:
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(seconds, send)
    timer.start()
    return timer


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--tries", type=int, default=5)
    options = parser.parse_args()
    instrument, windows = synthetic.large()
    out = np.empty((windows.kk, windows.kk))
    start = time.perf_counter()
    corvane.infield_matrix(instrument, windows, out=out, threads=options.threads)
    full = time.perf_counter() - start
    print(f"# large instrument: KK = {windows.kk}, a whole in-field build takes {full:.3f} s")
    print("matrix,signal_after_s,columns_done,columns,stop_latency_s,output_zero")
    for matrix, build in (("infield", corvane.infield_matrix),
                          ("horizontal", corvane.horizontal_matrix)):
        for k in range(options.tries):
            after = full * (k + 1) / (options.tries + 1)
            sent: dict[str, float] = {}
            progress: list[tuple[int, int]] = [(0, 0)]
            timer = interrupt_after(after, sent)
            try:
                build(instrument, windows, out=out, threads=options.threads,
                      progress=lambda done, total: progress.append((done, total)))
                latency = float("nan")
            except KeyboardInterrupt:
                latency = time.perf_counter() - sent["at"]
            timer.join()
            done, total = progress[-1]
            print(f"{matrix},{after:.3f},{done},{total},{latency:.4f},{not out.any()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
