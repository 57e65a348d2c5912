"""detect_many(): one detection per signal, run concurrently."""

from __future__ import annotations

import concurrent.futures
import os
import sys
from collections.abc import Hashable, Iterable, Mapping
from typing import Any, TypeVar, overload

import numpy.typing as npt

from ._arguments import KEYWORDS, OPTIONS, check_request
from ._detect import Detection, detect_checked
from ._names import keywords_checked

__all__ = ["detect_many"]

K = TypeVar("K", bound=Hashable)


@overload
def detect_many(signals: Mapping[K, npt.ArrayLike], model: str | None = ...,
                method: str | None = ..., *,
                executor: concurrent.futures.Executor | None = ..., progress: bool = ...,
                **detect_kwargs: Any) -> dict[K, Detection]: ...


@overload
def detect_many(signals: Iterable[npt.ArrayLike], model: str | None = ...,
                method: str | None = ..., *,
                executor: concurrent.futures.Executor | None = ..., progress: bool = ...,
                **detect_kwargs: Any) -> list[Detection]: ...


@keywords_checked(*KEYWORDS, *OPTIONS)
def detect_many(signals: Any, model: str | None = None, method: str | None = None, *,
                executor: concurrent.futures.Executor | None = None, progress: bool = False,
                **detect_kwargs: Any) -> Any:
    """`detect` on every signal, concurrently: ``[detect(s, model, method, **detect_kwargs)
    for s in signals]``.

    Parameters
    ----------
    signals : iterable or mapping of array_like, or pandas.DataFrame
        The signals, each as `detect` takes it (pandas ones keep their
        index): the values of a mapping, or each column of a DataFrame (a
        Series with the frame's index), searched on its own.
    model : str, optional
        As for `detect`: None lets each signal's data choose.
    method : str, optional
        As for `detect`: None picks "pelt", or "dynp" when only `n_bkps` is
        given.
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
    list or dict of Detection
        One per signal, in input order: a dict keyed by the mapping's keys
        or the DataFrame's column names, else a list.

    Raises
    ------
    ValueError, TypeError
        A request that `detect` refuses, before any signal is searched; then
        the first failure of a signal, in input order.
    ImportError
        `progress=True` without tqdm.

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

    A mapping or a DataFrame keys the results by name:

    >>> found = marbolt_rs.detect_many({"first": signals[0], "second": signals[1]}, n_bkps=1)
    >>> {name: result.breakpoints for name, result in found.items()}
    {'first': [50, 100], 'second': [80, 160]}
    """
    request = check_request(model, method, **detect_kwargs)
    params, variant = detect_kwargs.get("params"), detect_kwargs.get("variant")
    names, signals = _named(signals)
    own = executor is None
    if own:
        executor = concurrent.futures.ThreadPoolExecutor(
            max_workers=max(1, min(len(signals), os.cpu_count() or 1)))
    try:
        futures = [executor.submit(detect_checked, s, request, params, variant)
                   for s in signals]
        if progress:
            _show_progress(futures)
        results = [future.result() for future in futures]
    finally:
        if own:
            executor.shutdown(wait=True, cancel_futures=True)
    return results if names is None else dict(zip(names, results))


def _named(signals):
    """The names of the signals and the signals: a DataFrame's columns (each
    a Series with the frame's index), a mapping's keys and values, or no
    names and the items of any other iterable."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(signals, pd.DataFrame):
        names = list(signals.columns)
        repeated = [name for j, name in enumerate(names) if name in names[:j]]
        if repeated:
            raise ValueError(f"the DataFrame has two columns named {repeated[0]!r}; "
                             "detect_many keys its results by column name")
        return names, [signals.iloc[:, j] for j in range(len(names))]
    if isinstance(signals, Mapping):
        return list(signals), list(signals.values())
    return None, list(signals)


def _show_progress(futures: list[concurrent.futures.Future[Detection]]) -> None:
    try:
        from tqdm import tqdm
    except ImportError as error:
        raise ImportError("progress=True needs tqdm (Debian: python3-tqdm)") from error
    with tqdm(total=len(futures), unit="signal") as bar:
        for _ in concurrent.futures.as_completed(futures):
            bar.update()
