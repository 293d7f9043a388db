"""Blocks of whole L1C x-columns: the unit of work of builds that never hold the whole matrix.

Row s of either matrix is source L1C pixel s = x * Ky + y, so the rows of the x-columns [c0, c1)
are the contiguous run [c0 * Ky, c1 * Ky). The extension module builds such a block on its own,
bit for bit equal to those rows of the whole matrix; the lines that belong to the whole request
(its checks, version and outcome) come only with the block that holds column 0.
"""

from __future__ import annotations

import dataclasses
import logging
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .build import _BUILD_LOCK
from ._logsink import library_records
from ._memory import aligned_empty
from .errors import SILENT_BLOCK, BuildError
from .instrument import DETECTOR_CODE, NOOF_CODE


TITLES = {"infield": "the in-field matrix", "horizontal": "the horizontal stray-light matrix"}

Record = Tuple[int, str, str, int]


def column_blocks(kx: int, columns: int) -> List[Tuple[int, int]]:
    """The blocks [c0, c1) of `columns` x-columns (the last one may be shorter)."""
    return [(c0, min(c0 + columns, kx)) for c0 in range(0, kx, columns)]


@dataclasses.dataclass(frozen=True, eq=False)
class BlockRequest:
    """One matrix request, ready to be built a block at a time in any process.

    It holds the extension module's arguments (read-only arrays, shipped once to each process
    that builds blocks) and what a store records of the request.
    """

    kind: str
    windows: Any
    arguments: Tuple[Any, ...]
    core_options: Dict[str, Any]
    options: Dict[str, Any]
    inputs: Dict[str, np.ndarray]

    @property
    def kx(self) -> int:
        return self.windows.k_x

    @property
    def ky(self) -> int:
        return self.windows.k_y

    @property
    def kk(self) -> int:
        return self.windows.kk

    @property
    def title(self) -> str:
        return TITLES[self.kind]

    def rows(self, c0: int, c1: int) -> slice:
        return slice(c0 * self.ky, c1 * self.ky)

    def build(self, c0: int, c1: int, threads: int) -> Tuple[np.ndarray, bool, List[Record]]:
        """The rows of x-columns [c0, c1), whether the library built them, and its log lines
        of the call as (level, message, source path, line)."""
        import _corvane_if

        build = {"infield": _corvane_if.build_infield,
                 "horizontal": _corvane_if.build_horizontal}[self.kind]
        block = aligned_empty(((c1 - c0) * self.ky, self.kk), choose_pages=False)
        # The library's log queue is process-wide: one capture at a time in a process (shared with
        # the package's builders), so that each call's lines are its own. Threads of one process
        # therefore build one block at a time, each with the OpenMP threads it is given, while
        # others hash, compress and write theirs.
        with _BUILD_LOCK:
            previous = _corvane_if.capture_log(True)
            try:
                ok = build(*self.arguments, block, threads=threads, columns=(c0, c1),
                           **self.core_options)
            finally:
                records = [tuple(r) for r in _corvane_if.take_log()]
                _corvane_if.capture_log(previous)
        return block, bool(ok), records


def infield_request(instrument: Any, windows: Any, *, scheme: str = "quadratic",
                    lower_edge: bool = True, rows_below: int = 42,
                    rows_above: int = 42) -> BlockRequest:
    """The in-field request of `corvane.infield_matrix` with these arguments."""
    if scheme not in ("quadratic", "midpoint"):
        raise ValueError(f"scheme must be 'quadratic' or 'midpoint', got {scheme!r}")
    locations = instrument.raw_locations(DETECTOR_CODE)
    inputs = {"psfs": instrument.psfs, "locations": instrument.locations,
              "coefficients": instrument.coefficients, "indices": instrument.indices}
    options = {"scheme": scheme, "lower_edge": bool(lower_edge), "rows_below": int(rows_below),
               "rows_above": int(rows_above)}
    core_options = {"use_simpsons": scheme == "quadratic", "lower_edge": bool(lower_edge),
                    "rows_below": int(rows_below), "rows_above": int(rows_above)}
    arguments = (windows.specs, instrument.psfs, locations, instrument.coefficients,
                 instrument.indices)
    return BlockRequest("infield", windows, arguments, core_options, options, inputs)


def horizontal_request(instrument: Any, windows: Any, *,
                       steps: Sequence[int] = (1, 1, 1, 1)) -> BlockRequest:
    """The horizontal request of `corvane.horizontal_matrix` with these arguments; steps are
    (delta_nx, delta_ny, delta_sx, delta_sy)."""
    if instrument.noof_coefficients is None:
        raise ValueError("the horizontal matrix needs the instrument's NOOF-window tables "
                         "(noof_coefficients and noof_indices)")
    steps = tuple(int(step) for step in steps)
    if len(steps) != 4:
        raise ValueError(f"steps must be four sizes (delta_nx, delta_ny, delta_sx, delta_sy), "
                         f"got {steps}")
    locations = instrument.raw_locations(NOOF_CODE)
    vignetting = instrument.raw_vignetting()
    inputs = {"psfs": instrument.psfs, "locations": instrument.locations,
              "noof_coefficients": instrument.noof_coefficients,
              "noof_indices": instrument.noof_indices, "vignetting": vignetting}
    arguments = (windows.specs, vignetting, instrument.psfs, locations,
                 instrument.noof_coefficients, instrument.noof_indices)
    return BlockRequest("horizontal", windows, arguments, {"steps": steps},
                        {"steps": list(steps)}, inputs)


def build_error(request: BlockRequest, records: Sequence[Record],
                blocks: Optional[Sequence[Tuple[int, int]]] = None) -> BuildError:
    """The error of a failed request, with the library's ERROR and WARNING lines."""
    where = "" if blocks is None else " (x-columns " + ", ".join(
        f"[{c0}, {c1})" for c0, c1 in blocks) + ")"
    problems = [r for r in library_records(list(records)) if r.levelno >= logging.WARNING]
    hint = "" if problems or blocks is None or any(c0 == 0 for c0, _ in blocks) else SILENT_BLOCK
    return BuildError(f"the library could not build {request.title}{where}{hint}", problems)
