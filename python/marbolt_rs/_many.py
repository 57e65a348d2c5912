"""detect_many(): one detection per signal, run concurrently."""

from __future__ import annotations

import concurrent.futures
import os
from collections.abc import Iterable
from typing import Any

import numpy.typing as npt

from . import _native
from ._arguments import check_request
from ._detect import Detection, detect_checked

__all__ = ["detect_many"]


def detect_many(signals: Iterable[npt.ArrayLike], model: str = "l2", method: str = "pelt", *,
                executor: concurrent.futures.Executor | None = None, progress: bool = False,
                **detect_kwargs: Any) -> list[Detection]:
    """`detect` on every signal, concurrently: ``[detect(s, model, method, **detect_kwargs)
    for s in signals]``.

    Parameters
    ----------
    signals : iterable of array_like
        The signals, each as `detect` takes it (pandas ones keep their index).
    model, method : str
        As for `detect`.
    executor : concurrent.futures.Executor, optional
        Where to run: a thread pool of one thread per CPU when None (the
        searches release the interpreter lock, so threads scale), or any
        executor, such as a process pool or a Dask cluster's
        ``client.get_executor()``; a given executor is not shut down here.
    progress : bool, default False
        Show a progress bar on stderr (needs tqdm).
    **detect_kwargs
        The keyword arguments of `detect` (`pen`, `n_bkps`, `min_size`, ...).

    Returns
    -------
    list of Detection
        One per signal, in input order.

    Raises
    ------
    ValueError, TypeError
        A request that `detect` refuses, before any signal is searched; then
        the first failure of a signal, in input order.
    ImportError
        `progress=True` without tqdm.
    KeyboardInterrupt
        On Ctrl-C, once the searches running on the thread pool have stopped
        (within a fraction of a second).

    See Also
    --------
    detect : one signal.

    Examples
    --------
    >>> import numpy as np
    >>> import marbolt_rs
    >>> rng = np.random.default_rng(0)
    >>> signals = [np.repeat([0.0, 5.0], n) + rng.normal(size=2 * n) for n in (50, 80)]
    >>> [r.breakpoints for r in marbolt_rs.detect_many(signals, method="binseg", n_bkps=1)]
    [[50, 100], [80, 160]]
    """
    request = check_request(model, method, **detect_kwargs)
    params, variant = detect_kwargs.get("params"), detect_kwargs.get("variant")
    signals = list(signals)
    own = executor is None
    if own:
        executor = concurrent.futures.ThreadPoolExecutor(
            max_workers=max(1, min(len(signals), os.cpu_count() or 1)))
    # Signals reach only the main thread, which waits here: on Ctrl-C (or the
    # first failure) it stops the searches of the pool's threads through one
    # shared control. Other executors run searches elsewhere, where Ctrl-C
    # stops them in their own main thread.
    stop = _native.Control() if isinstance(executor, concurrent.futures.ThreadPoolExecutor) else None
    try:
        futures = [executor.submit(detect_checked, s, request, params, variant, None, stop)
                   for s in signals]
        if progress:
            _show_progress(futures)
        return [future.result() for future in futures]
    except BaseException:
        if stop is not None:
            stop.stop()
        raise
    finally:
        if own:
            executor.shutdown(wait=True, cancel_futures=True)


def _show_progress(futures: list[concurrent.futures.Future[Detection]]) -> None:
    try:
        from tqdm import tqdm
    except ImportError as error:
        raise ImportError("progress=True needs tqdm (Debian: python3-tqdm)") from error
    with tqdm(total=len(futures), unit="signal") as bar:
        for _ in concurrent.futures.as_completed(futures):
            bar.update()
