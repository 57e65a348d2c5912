"""Stop and progress for the package's searches.

Every search of the compiled module stops on Ctrl-C when it runs on the main
thread: it polls a control about every 50 ms, and raises KeyboardInterrupt,
leaving the engine usable and the worker pool free. A search on another
thread stops when its `_native.Control` is stopped (`detect_many` stops its
own on the main thread's KeyboardInterrupt). The same control carries the
progress of a search to a tqdm bar, which appears once the search has run for
`BAR_DELAY` seconds, so that quick searches print nothing.
"""

from __future__ import annotations

import contextlib
import sys
import time
from collections.abc import Iterator
from typing import Any

from . import _native

__all__: list[str] = []

# Seconds a search runs before its bar appears.
BAR_DELAY = 1.0


def tqdm_class() -> Any:
    try:
        from tqdm import tqdm
    except ImportError as error:
        raise ImportError("progress=True needs tqdm (Debian: python3-tqdm)") from error
    return tqdm


class ProgressBar:
    """The progress callback of a control: a bar of the ends a search has settled."""

    def __init__(self, description: str) -> None:
        self._tqdm = tqdm_class()
        self._description = description
        self._start = time.monotonic()
        self._bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            if time.monotonic() - self._start < BAR_DELAY:
                return
            self._bar = self._tqdm(total=total or None, desc=self._description, unit="end",
                                   leave=False, file=sys.stderr)
        if total and self._bar.total != total:
            # A search that runs several passes announces each as it starts.
            self._bar.total = total
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


@contextlib.contextmanager
def search_control(progress: bool, description: str) -> Iterator[_native.Control | None]:
    """A control with a progress bar for one search, or None without `progress`
    (the search still stops on Ctrl-C on the main thread)."""
    if not progress:
        yield None
        return
    bar = ProgressBar(description)
    try:
        yield _native.Control(bar)
    finally:
        bar.close()
