"""How fast Ctrl-C stops a build of the large synthetic instrument: SIGINT is sent to this process
once a given share of the build is done (from a thread of its own, as a terminal would), and the
time from the signal to the KeyboardInterrupt that the builder raises is printed as one CSV row
per try.

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


def send_sigint(sent: dict[str, float]) -> threading.Thread:
    def send() -> None:
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=send)
    sender.start()
    return sender


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
    print("matrix,share_done_at_signal,done_at_signal,total,stop_latency_s,output_zero")
    for matrix, build in (("infield", corvane.infield_matrix),
                          ("horizontal", corvane.horizontal_matrix)):
        for k in range(options.tries):
            share = (k + 1) / (options.tries + 1)
            sent: dict[str, float] = {}
            senders: list[threading.Thread] = []
            at_signal: list[tuple[int, int]] = []

            def progress(done: int, total: int) -> None:
                if not senders and done >= share * total:
                    at_signal.append((done, total))
                    senders.append(send_sigint(sent))

            try:
                build(instrument, windows, out=out, threads=options.threads, progress=progress)
                latency = float("nan")
            except KeyboardInterrupt:
                latency = time.perf_counter() - sent["at"]
            for sender in senders:
                sender.join()
            done, total = at_signal[0]
            print(f"{matrix},{share:.2f},{done},{total},{latency:.4f},{not out.any()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
