"""The library's log records, routed to ``logging.getLogger("corvane")`` while a build runs."""

from __future__ import annotations

import logging
from types import TracebackType

import _corvane_if

logger = logging.getLogger("corvane")
logger.addHandler(logging.NullHandler())

_LEVELS = {
    _corvane_if.LOG_ERROR: logging.ERROR,
    _corvane_if.LOG_WARNING: logging.WARNING,
    _corvane_if.LOG_INFO: logging.INFO,
}


def library_records(raw: list[tuple[int, str, str, int]]) -> list[logging.LogRecord]:
    """The library's lines as log records with its source path and line; the later lines of a
    message of several lines join its first."""
    records: list[logging.LogRecord] = []
    for level, message, path, line in raw:
        if level == _corvane_if.LOG_CONTINUATION and records:
            records[-1].msg += "\n" + message
            continue
        records.append(logger.makeRecord(logger.name, _LEVELS.get(level, logging.INFO), path,
                                         line, message, (), None))
    return records


def emit(records: list[logging.LogRecord]) -> None:
    """Hand records to the ``corvane`` logger."""
    for record in records:
        if logger.isEnabledFor(record.levelno):
            logger.handle(record)


class LogCapture:
    """Queues the library's records instead of printing them, and hands them to the logger.

    Capturing is process-wide: the caller serialises the captures. Leaving the context drains
    what is left and puts back the previous capture setting.
    """

    def __init__(self) -> None:
        self.records: list[logging.LogRecord] = []

    def __enter__(self) -> LogCapture:
        self._previous = _corvane_if.capture_log(True)
        return self

    def drain(self) -> None:
        """Hand every queued record to the logger."""
        records = library_records(_corvane_if.take_log())
        self.records += records
        emit(records)

    def problems(self) -> list[logging.LogRecord]:
        """The ERROR and WARNING records taken so far."""
        return [r for r in self.records if r.levelno >= logging.WARNING]

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            self.drain()
        finally:
            _corvane_if.capture_log(self._previous)
