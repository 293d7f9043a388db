"""The ``corvane`` command: ``demo``, ``build`` and ``info``."""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np

from . import __version__
from .build import horizontal_matrix, infield_matrix
from .errors import BuildError
from .files import open_store, save
from .instrument import Instrument
from .windows import Windows

KIND_NAMES = {"infield": "in-field convolution matrix",
              "horizontal": "horizontal stray-light matrix"}


def read_instrument(path: str) -> Tuple[Instrument, Windows]:
    """An instrument file: the arrays of `Instrument.save` and ``windows``, the 22 windowing
    parameters in the library's order.

    Parameters
    ----------
    path : str
        The ``.npz`` file, for example written by
        ``np.savez(path, windows=windows.specs, **instrument.arrays())``.

    Returns
    -------
    (Instrument, Windows)
    """
    with np.load(path, allow_pickle=False) as stored:
        arrays = {name: stored[name] for name in stored.files}
    if "windows" not in arrays:
        raise ValueError(f"{path} has no 'windows' array: an instrument file needs the 22 "
                         "windowing parameters beside the instrument's arrays")
    windows = Windows.from_specs(arrays.pop("windows"))
    return Instrument(**arrays), windows


def build_command(options: argparse.Namespace) -> int:
    instrument, windows = read_instrument(options.instrument)
    # Every option is passed explicitly, so that the store records what was used.
    builder: Callable[..., np.ndarray]
    if options.horizontal:
        kind, builder = "horizontal", horizontal_matrix
        settings: Dict[str, Any] = {"steps": (1, 1, 1, 1)}
    else:
        kind, builder = "infield", infield_matrix
        settings = {"scheme": options.scheme, "lower_edge": True, "rows_below": 42,
                    "rows_above": 42}
    if os.path.exists(options.out) and not options.overwrite:
        raise FileExistsError(f"{options.out} exists; pass --overwrite to replace it")
    start = time.perf_counter()
    matrix = builder(instrument, windows, threads=options.threads, progress=options.progress,
                     **settings)
    seconds = time.perf_counter() - start
    save(options.out, matrix, kind=kind, windows=windows, options=settings,
         inputs={"instrument": options.instrument}, overwrite=options.overwrite)
    print(f"{KIND_NAMES[kind]} of {windows.kk} x {windows.kk} built in {seconds:.2f} s and "
          f"written to {options.out}")
    return 0


def info_command(options: argparse.Namespace) -> int:
    stored = open_store(options.store)
    array = stored.matrix
    kk = array.shape[0]
    print(f"{options.store}: {KIND_NAMES.get(stored.kind, stored.kind)}, {kk} x {kk} float64")
    compressors = ", ".join(type(c).__name__ for c in array.compressors) or "none"
    print(f"  storage: chunks of {array.chunks[0]} rows, {compressors}, "
          f"{_size(array.nbytes_stored())} on disk for {_size(array.nbytes)} of data")
    print(f"  saved by corvane {stored.version} at {stored.created}")
    if stored.windows is not None:
        w = stored.windows
        print(f"  windows: L1C {w.k_x} x {w.k_y} of {w.binning[0]} x {w.binning[1]} detector "
              f"pixels, science {w.s_x} x {w.s_y}, detector {w.d_x} x {w.d_y}, NOOF "
              f"{w.noof_x} x {w.noof_y}")
        print(f"    specs: {' '.join(str(v) for v in w.specs)}")
    for name, value in stored.options.items():
        print(f"  option {name} = {value}")
    for name, digest in stored.inputs.items():
        print(f"  input {name}: sha256 {digest}")
    return 0


def demo_command(options: argparse.Namespace) -> int:
    from .demo import run

    return run(plot=options.plot, threads=options.threads)


def _size(nbytes: float) -> str:
    if nbytes < 1000:
        return f"{nbytes:.0f} bytes"
    power = min(int(np.log10(nbytes) // 3), 3)
    return f"{nbytes / 1000**power:.1f} {' kMG'[power]}B"


def parser() -> argparse.ArgumentParser:
    """The argument parser of the ``corvane`` command and its three sub-commands."""
    top = argparse.ArgumentParser(
        prog="corvane", description="Build, inspect and try the in-field convolution and "
        "horizontal stray-light matrices of a limb-imaging spectrometer.")
    top.add_argument("--version", action="version", version=f"corvane {__version__}")
    top.add_argument("-v", "--verbose", action="store_true",
                     help="show the library's progress messages, not only its warnings")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser("demo", help="build both matrices of a synthetic instrument and "
                               "correct a synthetic image with them")
    demo.add_argument("--plot", metavar="FILE", default="corvane_demo.png",
                      help="where to save the figure (needs matplotlib; default %(default)s)")
    demo.add_argument("--threads", type=int, default=None, metavar="N",
                      help="OpenMP threads (default: the OpenMP runtime's)")
    demo.set_defaults(run=demo_command)

    build = commands.add_parser("build", help="build a matrix and write it to a Zarr store")
    build.add_argument("instrument", metavar="INSTRUMENT.npz",
                       help="instrument file: the arrays of Instrument.save and 'windows'")
    build.add_argument("out", metavar="OUT.zarr", help="the store to write")
    build.add_argument("--horizontal", action="store_true",
                       help="build the horizontal stray-light matrix instead of the in-field one")
    build.add_argument("--scheme", choices=("quadratic", "midpoint"), default="quadratic",
                       help="integration over a source pixel (in-field matrix; default "
                       "%(default)s)")
    build.add_argument("--threads", type=int, default=None, metavar="N",
                       help="OpenMP threads (default: the OpenMP runtime's)")
    build.add_argument("--progress", action="store_true", help="show a progress bar")
    build.add_argument("--overwrite", action="store_true", help="replace OUT.zarr if it exists")
    build.set_defaults(run=build_command)

    info = commands.add_parser("info", help="describe a matrix store")
    info.add_argument("store", metavar="OUT.zarr")
    info.set_defaults(run=info_command)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``corvane`` command with `argv` (default: the process's arguments); returns the
    exit status."""
    options = parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO if options.verbose else logging.WARNING,
                        format="%(levelname)s: %(message)s")
    try:
        return options.run(options)
    except (BuildError, FileExistsError, FileNotFoundError, ValueError) as error:
        print(f"corvane {options.command}: {error}", file=sys.stderr)
        return 1
