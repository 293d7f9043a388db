"""Build a matrix larger than a comfortable share of RAM into a Zarr store on two Dask workers.

Reports, in one run: the wall time of build_to_zarr on a LocalCluster of worker processes, the
peak resident memory of every process (this one, which also runs the scheduler, the nannies and
the workers), the build rate in matrix elements per second next to the in-memory build rate of the
same instrument's first blocks and the disk's own write rate for the same number of bytes, the
share of the tasks' time spent in the library, in SHA-256 and in compressing and writing, and
the store's size. The first blocks built in memory are checked against the digests the store
recorded for them.

    python bench/bench_blocks.py                  # Kx = Ky = 200: KK = 40,000, a 12.8 GB matrix
    python bench/bench_blocks.py --kx 40 --ky 40  # a quick run
"""

from __future__ import annotations

import argparse
import concurrent.futures
import multiprocessing
import os
import shutil
import tempfile
import threading
import time

import numpy as np
import psutil
from numcodecs import Blosc

from corvane import synthetic
from corvane.blocks import column_blocks, infield_request
from corvane.blockstore import block_digest
from corvane.zarrbuild import build_to_zarr


def instrument(kx: int, ky: int):
    """The synthetic instrument scaled to Kx by Ky L1C pixels of one science pixel each, with
    the 42 detector rows below the science window that the default lower edge correction reads."""
    windows = synthetic.nested_windows(k=(kx, ky), kbin=(1, 1), lbin=(1, 1),
                                       science_offset=(4, 42), detector_margin=(4, 4),
                                       noof_border=(8, 0), fullconv_border=(0, 0))
    return synthetic.instrument(windows), windows


def in_memory(kx: int, ky: int, columns: int, count: int, threads: int):
    """(seconds, elements, digests) of the first `count` blocks built in memory, one after the
    other with `threads` OpenMP threads, and (seconds, bytes) to compress the first block."""
    inst, windows = instrument(kx, ky)
    request = infield_request(inst, windows)
    seconds, elements, digests = 0.0, 0, {}
    for c0, c1 in column_blocks(kx, columns)[:count]:
        start = time.perf_counter()
        block, ok, _ = request.build(c0, c1, threads)
        seconds += time.perf_counter() - start
        assert ok
        elements += block.size
        digests[c0] = block_digest(block)
    # The codec of the store (build_to_zarr's default), on the last of those blocks.
    start = time.perf_counter()
    Blosc(cname="lz4", clevel=5, shuffle=Blosc.SHUFFLE).encode(block)
    return seconds, elements, digests, time.perf_counter() - start, block.nbytes


def disk_rate(directory: str, total: int, piece: int = 128 << 20) -> float:
    """Bytes per second to write `total` bytes to a file in `directory`, synced to the disk."""
    buffer = np.random.default_rng(0).random(piece // 8)
    path = os.path.join(directory, "disk-rate.tmp")
    start = time.perf_counter()
    with open(path, "wb") as file:
        written = 0
        while written < total:
            count = min(buffer.size, (total - written) // 8)
            buffer[:count].tofile(file)
            written += count * 8
        file.flush()
        os.fsync(file.fileno())
    seconds = time.perf_counter() - start
    os.remove(path)
    return total / seconds


class MemoryWatch:
    """Peak resident memory of this process and of all its descendants, sampled."""

    def __init__(self, interval: float = 0.1) -> None:
        self.peaks: dict[int, tuple[str, int]] = {}
        self.total = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(interval,), daemon=True)

    def __enter__(self) -> MemoryWatch:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def _run(self, interval: float) -> None:
        me = psutil.Process()
        while not self._stop.wait(interval):
            total = 0
            for process in [me] + me.children(recursive=True):
                try:
                    rss = process.memory_info().rss
                    name = self.peaks.get(process.pid, (_role(process), 0))[0]
                except psutil.Error:
                    continue
                total += rss
                self.peaks[process.pid] = (name, max(rss, self.peaks.get(process.pid,
                                                                         ("", 0))[1]))
            self.total = max(self.total, total)


def _role(process: psutil.Process) -> str:
    """The client runs the scheduler and the nannies; each nanny starts a worker process."""
    if process.pid == os.getpid():
        return "client+scheduler"
    command = " ".join(process.cmdline())
    if "spawn_main" in command:
        return "worker"
    return "resource tracker" if "resource_tracker" in command else process.name()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kx", type=int, default=200)
    parser.add_argument("--ky", type=int, default=200)
    parser.add_argument("--columns", type=int, default=2, help="x-columns per block")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--first-blocks", type=int, default=3,
                        help="blocks built in memory for the reference rate")
    parser.add_argument("--directory", default=None,
                        help="where the store goes (a temporary folder by default)")
    arguments = parser.parse_args()

    import distributed

    kx, ky = arguments.kx, arguments.ky
    kk = kx * ky
    matrix_bytes = kk * kk * 8
    directory = tempfile.mkdtemp(prefix="corvane-bench-", dir=arguments.directory)
    free = shutil.disk_usage(directory).free
    print(f"KK = {kk}, matrix {matrix_bytes / 1e9:.2f} GB, free disk {free / 1e9:.1f} GB, "
          f"cores {os.cpu_count()}, RAM {psutil.virtual_memory().total / 2**30:.1f} GiB, "
          f"load average {os.getloadavg()[0]:.1f}")
    if free < 1.5 * matrix_bytes:
        raise SystemExit("not enough free disk for the disk rate test and the store")
    context = multiprocessing.get_context("spawn")
    try:
        # Reference runs in child processes, so that their memory is not counted as the build's.
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            memory_s, memory_elements, memory_digests, compress_s, block_bytes = pool.submit(
                in_memory, kx, ky, arguments.columns, arguments.first_blocks,
                arguments.workers).result()
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            disk = pool.submit(disk_rate, directory, matrix_bytes).result()
        inst, windows = instrument(kx, ky)
        path = os.path.join(directory, "infield.zarr")
        with MemoryWatch() as watch:
            with distributed.LocalCluster(n_workers=arguments.workers, threads_per_worker=1,
                                          processes=True, dashboard_address=None) as cluster:
                with distributed.Client(cluster) as client:
                    start = time.perf_counter()
                    summary = build_to_zarr(path, inst, windows, client=client,
                                            chunks=arguments.columns, threads=1)
                    wall = time.perf_counter() - start
        store_bytes = sum(os.path.getsize(os.path.join(root, name))
                          for root, _, names in os.walk(path) for name in names)
        import zarr

        recorded = zarr.open_array(path, mode="r").attrs["blocks"]["digests"]
        same = all(recorded[str(c0)] == digest for c0, digest in memory_digests.items())
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    rate = kk * kk / wall
    memory_rate = memory_elements / memory_s
    disk_elements = disk / 8
    target = min(0.5 * memory_rate, disk_elements)
    tasks = summary.engine_seconds + summary.digest_seconds + summary.store_seconds
    compression = compress_s * matrix_bytes / block_bytes
    print(f"blocks {summary.blocks} of {arguments.columns} x-columns "
          f"({block_bytes / 2**20:.0f} MiB), built {summary.built}")
    print(f"wall {wall:.1f} s, build rate {rate / 1e6:.1f} M elements/s")
    print(f"in-memory rate of the first {arguments.first_blocks} blocks "
          f"({arguments.workers} threads) {memory_rate / 1e6:.1f} M elements/s; disk write rate "
          f"{disk / 1e6:.0f} MB/s = {disk_elements / 1e6:.1f} M elements/s; target "
          f"{target / 1e6:.1f} M elements/s: {'met' if rate >= target else 'NOT met'} "
          f"({rate / memory_rate:.0%} of in-memory)")
    print(f"task time {tasks:.1f} s: engine {summary.engine_seconds / tasks:.0%}, sha256 "
          f"{summary.digest_seconds / tasks:.0%}, compress+write "
          f"{summary.store_seconds / tasks:.0%} (of which compression about "
          f"{min(compression, summary.store_seconds) / tasks:.0%}, estimated from one block)")
    print(f"store {store_bytes / 1e9:.2f} GB ({store_bytes / matrix_bytes:.0%} of the matrix)")
    print(f"first blocks equal to the in-memory build (SHA-256): {same}")
    print(f"load average at the end {os.getloadavg()[0]:.1f} (other processes share the cores)")
    print("peak resident memory:")
    for pid, (role, rss) in sorted(watch.peaks.items(), key=lambda item: item[1][0]):
        print(f"  {role:18s} pid {pid:7d} {rss / 2**20:8.0f} MiB")
    print(f"  sum of peaks {sum(rss for _, rss in watch.peaks.values()) / 2**30:.2f} GiB, "
          f"peak of the total {watch.total / 2**30:.2f} GiB")


if __name__ == "__main__":
    main()
