"""The exception a failed matrix build raises."""

from __future__ import annotations

import logging
from collections.abc import Sequence


class BuildError(RuntimeError):
    """The library refused or failed a matrix build.

    The message lists the library's ERROR and WARNING lines of the call that failed, in the order
    they were logged; the output array is left all zeros.

    Parameters
    ----------
    summary : str
        What failed, the first line of the message.
    records : sequence of logging.LogRecord
        The ERROR and WARNING records of the failed call.

    Attributes
    ----------
    records : list of logging.LogRecord
        The ERROR and WARNING records of the failed call, with the library's source path and line
        as ``pathname`` and ``lineno``.
    """

    def __init__(self, summary: str, records: Sequence[logging.LogRecord] = ()) -> None:
        self.records = list(records)
        lines = [summary] + [f"{r.levelname}: {r.getMessage()}" for r in self.records]
        super().__init__("\n".join(lines))


# The library logs a request's own lines (its checks, its outcome) with the block of L1C x-column 0
# only, so that a request split into blocks logs them once.
SILENT_BLOCK = ("; a block without L1C x-column 0 does not repeat the request's own lines: build "
                "the block of x-column 0 or the whole matrix to see why")
