"""The two matrix builders: checked options, a build in a worker thread that the caller can
interrupt, the library's messages on the ``corvane`` logger and failures as exceptions."""

from __future__ import annotations

import threading
from collections.abc import Callable, Sequence
from typing import Any

import _corvane_if
import numpy as np

from ._logsink import LogCapture
from ._memory import aligned_empty
from ._progress import Progress, ProgressArg, check_progress
from .errors import SILENT_BLOCK, BuildError
from .instrument import DETECTOR_CODE, NOOF_CODE, Instrument
from .windows import Windows, as_int

__all__ = ["horizontal_matrix", "infield_matrix"]

# The library runs one request at a time per process, and log capture is process-wide.
_BUILD_LOCK = threading.Lock()
_POLL_SECONDS = 0.05
_SCHEMES = {"quadratic": True, "midpoint": False}


def _check_bool(name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, got {type(value).__name__}")
    return bool(value)


def _check_count(name: str, value: object, smallest: int) -> int:
    number = as_int(name, value)
    if number < smallest:
        raise ValueError(f"{name} must be at least {smallest}, got {number}")
    return number


def _check_types(instrument: object, windows: object) -> None:
    if not isinstance(instrument, Instrument):
        raise TypeError(f"instrument must be a corvane.Instrument, got {type(instrument).__name__}")
    if not isinstance(windows, Windows):
        raise TypeError(f"windows must be a corvane.Windows, got {type(windows).__name__}")


def _check_psf_size(instrument: Instrument, shape: tuple[int, int], window: str) -> None:
    size = instrument.psfs.shape[1:]
    if size[0] < shape[0] or size[1] < shape[1]:
        raise ValueError(f"instrument.psfs must be at least the {window} window {shape} in size, "
                         f"got PSFs of {size}")


def _check_table(name: str, table: np.ndarray, shape: tuple[int, int], window: str) -> None:
    if table.shape[:2] != shape:
        raise ValueError(f"instrument.{name} covers {table.shape[:2]} pixels but the {window} "
                         f"window is {shape}")


def _row_range(windows: Windows, columns: Sequence[int] | None) -> tuple[int, int] | None:
    """The checked (first, end) L1C columns, or None for all of them."""
    if columns is None:
        return None
    try:
        first, end = columns
    except (TypeError, ValueError):
        raise TypeError("columns must be None or a pair (first, end) of L1C columns") from None
    first, end = as_int("columns[0]", first), as_int("columns[1]", end)
    if not 0 <= first < end <= windows.k_x:
        raise ValueError(f"columns must satisfy 0 <= first < end <= k_x = {windows.k_x}, got "
                         f"({first}, {end})")
    return first, end


def _output(out: np.ndarray | None, shape: tuple[int, int]) -> np.ndarray:
    """The array to build into; a new one needs no zero fill, the library writes every element."""
    if out is None:
        return aligned_empty(shape)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, got {type(out).__name__}")
    if out.dtype != np.float64:
        raise TypeError(f"out must have dtype float64, got {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out must have shape {shape}, got {out.shape}")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError("out must be writeable")
    return out


def _shared_options(windows: Windows, threads: int | None, columns: Sequence[int] | None,
                    out: np.ndarray | None, progress: ProgressArg,
                    options: dict[str, Any]) -> np.ndarray:
    """Checks the options both builders take, adds them to `options`, and returns the output."""
    check_progress(progress)
    # Read here, in the caller's thread, whose OpenMP setting threadpoolctl limits.
    options["threads"] = (_corvane_if.max_threads() if threads is None
                          else _check_count("threads", threads, 1))
    rows = _row_range(windows, columns)
    options["columns"] = rows
    count = windows.kk if rows is None else (rows[1] - rows[0]) * windows.k_y
    return _output(out, (count, windows.kk))


def _build(function: Callable[..., bool], args: tuple[Any, ...], options: dict[str, Any],
           out: np.ndarray, progress: ProgressArg, description: str, unit: str) -> np.ndarray:
    """Runs one library build in a worker thread while this thread forwards its log records and
    progress; an exception in this thread (Ctrl-C included) cancels the build."""
    control = np.zeros(3, dtype=np.int64)  # cancel, units done, units in all
    finished = threading.Event()
    outcome: dict[str, Any] = {}

    def work() -> None:
        try:
            outcome["ok"] = function(*args, out, control=control, **options)
        except BaseException as error:  # handed to the calling thread
            outcome["error"] = error
        finally:
            finished.set()

    reporter = Progress(progress, description, unit)
    with _BUILD_LOCK, LogCapture() as log:
        worker = threading.Thread(target=work, name="corvane-build", daemon=True)
        worker.start()
        try:
            while not finished.wait(_POLL_SECONDS):
                log.drain()
                reporter.update(int(control[1]), int(control[2]))
            log.drain()
            reporter.update(int(control[1]), int(control[2]))
        except BaseException:
            control[0] = 1
            _join(worker)
            if outcome.get("ok") is not False:  # a cancelled build has zeroed it already
                out.fill(0.0)
            raise
        finally:
            reporter.close()
    if "error" in outcome:
        raise outcome["error"]
    if not outcome["ok"]:
        problems = log.problems()
        columns = options.get("columns")
        if problems or columns is None or columns[0] == 0:
            raise BuildError(f"{description} failed; the library reported:", problems)
        raise BuildError(f"{description} failed{SILENT_BLOCK}")
    return out


def _join(worker: threading.Thread) -> None:
    """Wait for a cancelled build to stop; another Ctrl-C meanwhile must not leave it running."""
    while worker.is_alive():
        try:
            worker.join()
        except KeyboardInterrupt:
            continue


def infield_matrix(instrument: Instrument, windows: Windows, *, scheme: str = "quadratic",
                   lower_edge: bool = True, rows_below: int = 42, rows_above: int = 42,
                   diagnostic: bool = False, threads: int | None = None,
                   columns: tuple[int, int] | None = None, out: np.ndarray | None = None,
                   progress: ProgressArg = None) -> np.ndarray:
    """The in-field convolution matrix.

    Row ``s`` holds the light that source L1C pixel ``s`` sends to every receiving L1C pixel
    (column ``r``), divided by the number of detector pixels in an L1C pixel; L1C pixel
    ``(x, y)`` is number ``x * k_y + y``.

    Parameters
    ----------
    instrument : Instrument
        PSFs at least the detector window in size; its `coefficients` and `indices` cover the
        detector window.
    windows : Windows
    scheme : {"quadratic", "midpoint"}
        Radiance inside a source L1C pixel: the quadratic through it and its neighbours along y,
        or constant.
    lower_edge : bool
        Add the light of the detector rows below the science window, taken as bright as the
        bottom L1C pixel of their column.
    rows_below : int
        Detector rows below the science window that shine (the detector window must have them
        below the science window when `lower_edge` is set).
    rows_above : int
        Detector rows above the bottom edge that receive that light, and the half-width of the
        band in columns.
    diagnostic : bool
        Log a line per L1C row as the work is done.
    threads : int, optional
        OpenMP threads; by default the OpenMP runtime's setting of the calling thread, so
        ``threadpoolctl.threadpool_limits`` applies.
    columns : (int, int), optional
        Build only the rows of the source L1C columns ``first`` to ``end - 1``: the rows
        ``first * k_y`` to ``end * k_y - 1`` of the matrix.
    out : ndarray, optional
        C-contiguous float64 array of shape ``(kk, kk)`` (or the rows of `columns`) to build into.
    progress : bool or callable, optional
        True shows a tqdm bar over the L1C columns; a callable is called as
        ``progress(done, total)`` whenever more columns are done.

    Returns
    -------
    ndarray of shape (kk, kk)
        `out` when given.

    Raises
    ------
    TypeError, ValueError
        An argument of the wrong type or value, named in the message.
    BuildError
        The library refused or failed the build; `out` is all zeros.
    KeyboardInterrupt
        The build was interrupted; `out` is all zeros.
    """
    _check_types(instrument, windows)
    if not isinstance(scheme, str):
        raise TypeError(f"scheme must be a str, got {type(scheme).__name__}")
    if scheme not in _SCHEMES:
        raise ValueError(f"scheme must be 'quadratic' or 'midpoint', got {scheme!r}")
    options = dict(
        use_simpsons=_SCHEMES[scheme], lower_edge=_check_bool("lower_edge", lower_edge),
        rows_below=_check_count("rows_below", rows_below, 0),
        rows_above=_check_count("rows_above", rows_above, 0),
        diagnostic=_check_bool("diagnostic", diagnostic))
    out = _shared_options(windows, threads, columns, out, progress, options)
    _check_psf_size(instrument, windows.detector_shape, "detector")
    _check_table("coefficients", instrument.coefficients, windows.detector_shape, "detector")
    args = (windows.specs, instrument.psfs, instrument.raw_locations(DETECTOR_CODE),
            instrument.coefficients, instrument.indices)
    return _build(_corvane_if.build_infield, args, options, out, progress, "the in-field matrix",
                  "column")


def horizontal_matrix(instrument: Instrument, windows: Windows, *,
                      steps: Sequence[int] = (1, 1, 1, 1), diagnostic: bool = False,
                      threads: int | None = None, columns: tuple[int, int] | None = None,
                      out: np.ndarray | None = None, progress: ProgressArg = None) -> np.ndarray:
    """The horizontal stray-light matrix.

    The sources are the NOOF pixels left and right of the science window, in its rows; the light
    each sends to the science window is booked in the row of the L1C pixel at the window's left
    or right edge, column ``r`` being the receiving L1C pixel. Every source is weighted by the
    instrument's vignetting, when it has one.

    Parameters
    ----------
    instrument : Instrument
        PSFs at least the science window in size, with `noof_coefficients` and `noof_indices`
        over the NOOF window.
    windows : Windows
    steps : (int, int, int, int)
        ``(delta_nx, delta_ny, delta_sx, delta_sy)``: sample every ``delta_nx``-th source column
        and ``delta_ny``-th source row, and every ``delta_sx``-th, ``delta_sy``-th receiving
        science pixel; each sample stands for its block, so the totals do not depend on them.
    diagnostic : bool
        Log a line per science row as the work is done.
    threads, columns, out
        As for `infield_matrix`.
    progress : bool or callable, optional
        As for `infield_matrix`, counting the L1C rows of the edge columns (0 and ``k_x - 1``)
        that a build holds.

    Returns
    -------
    ndarray of shape (kk, kk)
        `out` when given.

    Raises
    ------
    TypeError, ValueError
        An argument of the wrong type or value, named in the message.
    BuildError
        The library refused or failed the build; `out` is all zeros.
    KeyboardInterrupt
        The build was interrupted; `out` is all zeros.
    """
    _check_types(instrument, windows)
    if isinstance(steps, (str, bytes)) or not isinstance(steps, Sequence) or len(steps) != 4:
        raise TypeError("steps must be a sequence of 4 integers (delta_nx, delta_ny, delta_sx, "
                        "delta_sy)")
    options = dict(steps=tuple(_check_count(f"steps[{i}]", s, 1) for i, s in enumerate(steps)),
                   diagnostic=_check_bool("diagnostic", diagnostic))
    out = _shared_options(windows, threads, columns, out, progress, options)
    if instrument.noof_coefficients is None:
        raise ValueError("the horizontal matrix needs the instrument's NOOF-window tables "
                         "(noof_coefficients, noof_indices)")
    _check_psf_size(instrument, windows.science_shape, "science")
    _check_table("noof_coefficients", instrument.noof_coefficients, windows.noof_shape, "NOOF")
    args = (windows.specs, instrument.raw_vignetting(), instrument.psfs,
            instrument.raw_locations(NOOF_CODE), instrument.noof_coefficients,
            instrument.noof_indices)
    return _build(_corvane_if.build_horizontal, args, options, out, progress,
                  "the horizontal stray-light matrix", "row")

