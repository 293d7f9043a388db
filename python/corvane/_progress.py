"""Progress of a build, in the units its engine counts: a tqdm bar or a caller's function."""

from __future__ import annotations

from collections.abc import Callable
from typing import Union

from tqdm.auto import tqdm

ProgressArg = Union[bool, Callable[[int, int], object], None]


def check_progress(progress: ProgressArg) -> None:
    """Raise TypeError unless `progress` is None, a bool or a callable."""
    if progress is not None and not isinstance(progress, bool) and not callable(progress):
        raise TypeError(f"progress must be None, a bool or a callable(done, total), got "
                        f"{type(progress).__name__}")


class Progress:
    """Reports the columns done as they grow; nothing until the total is known."""

    def __init__(self, progress: ProgressArg, description: str, unit: str) -> None:
        self._callback = progress if callable(progress) else None
        self._show_bar = progress is True
        self._description = description
        self._unit = unit
        self._bar: tqdm | None = None
        self._done = -1

    def update(self, done: int, total: int) -> None:
        if total <= 0 or done == self._done:
            return
        self._done = done
        if self._show_bar:
            if self._bar is None:
                self._bar = tqdm(total=total, desc=self._description, unit=self._unit)
            self._bar.update(done - self._bar.n)
        if self._callback is not None:
            self._callback(done, total)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
