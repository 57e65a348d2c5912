"""fits(): the best segmentation for every number of changes, with the
criteria that choose among them, as strucchange's ``summary(breakpoints(...))``
tabulates them."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native as core
from ._arguments import check_request, count, segment_floor
from ._methods import check_fit
from ._names import keywords_checked
from ._signal import as_signal, change_labels, columns, pandas_parts
from ._summary import as_table

__all__ = ["fits"]


@keywords_checked()
def fits(signal: npt.ArrayLike, max_changes: SupportsIndex, model: str = "l2", *,
         jump: SupportsIndex = 1, min_size: SupportsIndex | None = None,
         params: Mapping[str, Any] | None = None) -> Any:
    """The best segmentation with k changes, for every k from 0 to `max_changes`.

    One pass of the exact dynamic programming (``dynp_all``, pruned on
    one-column "l2") gives them all; the table adds the information
    criteria that weigh the fit against the number of changes.

    Parameters
    ----------
    signal : array_like
        As for `detect` (a pandas signal names the changes by its index).
    max_changes : int
        The largest number of changes, at least 0.
    model : str, default "l2"
        The segment cost, as for `detect`.
    jump, min_size, params
        The grid step of the breakpoints (default 1), the shortest segment
        and the model's parameters, as for `detect`.

    Returns
    -------
    pandas.DataFrame or list of dict
        A DataFrame when pandas is installed, else one dict per row; one row
        per number of changes k = 0 … `max_changes`: `n_bkps`,
        `breakpoints`, `labels` (the changes as index labels), `cost` (the
        total segment cost) and, for "l2" and "normal", `bic` and `mbic`,
        the Bayesian information criterion and its modification for change
        points by Zhang and Siegmund (Biometrics 63(1), 2007): the
        smallest marks the count each prefers. Both are −2·log-likelihood
        plus a price, up to a constant shared by every row; see the Notes.

    Raises
    ------
    ValueError
        More changes than fit in the signal with `min_size` and `jump`, an
        unknown model, a signal or parameters the model refuses.
    TypeError
        Arguments of the wrong type, an unknown keyword argument.

    Notes
    -----
    With n samples, d columns, k changes and segments of n_1 … n_{k+1}
    samples, and p parameters per segment:

    - "l2" reads the cost as the residual sum of squares under Gaussian
      noise of one unknown variance: −2·log-likelihood = n·d·log(cost/(n·d)),
      p = d means per segment, and one variance;
    - "normal" reads the cost as −2·log-likelihood itself (as its
      covariances compute it), p = d means and d(d + 1)/2 covariances.

    BIC = −2·log-likelihood + (p·(k + 1) + k + v)·log(n), every mean,
    covariance, change position and (for "l2") the variance v = 1 counted
    once. MBIC = −2·log-likelihood + (p + 2)·k·log(n) + p·Σ_i log(n_i / n):
    the Laplace approximation behind it prices each change at three halves
    of BIC's for p = 1, and balanced segments above unbalanced ones.

    See Also
    --------
    detect : one segmentation, with ``n_bkps`` for a known count.
    penalty_path : the segmentations PELT finds over a range of penalties.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> table = marbolt_rs.fits(load_nile().flow, max_changes=3)
    >>> table[["n_bkps", "breakpoints"]].values.tolist()
    [[0, [100]], [1, [28, 100]], [2, [19, 28, 100]], [3, [28, 83, 95, 100]]]
    >>> int(table["bic"].idxmin()), int(table["mbic"].idxmin())
    (1, 1)
    """
    k_max = count("max_changes", max_changes, 0)
    request = check_request(model, "dynp", n_bkps=k_max, jump=jump, min_size=min_size,
                            params=params)
    index, _ = pandas_parts(signal)
    x = as_signal(signal)
    engine = core.Engine(x, model, params)
    size = segment_floor(engine, request, columns(x).shape[1])
    check_fit(engine, k_max, request.jump, size)
    found = [[len(x)], *(core.dynp_all(engine, k_max, request.jump, size) if k_max else [])]
    rows = []
    for k, bkps in enumerate(found):
        cost = engine.sum_of_costs(bkps)
        rows.append({"n_bkps": k, "breakpoints": bkps, "labels": change_labels(index, bkps),
                     "cost": cost, **criteria(model, columns(x), bkps, cost)})
    return as_table(rows)


def criteria(model, x, bkps, cost):
    """BIC and MBIC of a segmentation (see `fits`), or nothing for a model whose
    cost is not read as a Gaussian likelihood."""
    n, d = x.shape
    if model == "l2":
        per_segment, shared = d, 1
        with np.errstate(divide="ignore"):
            fitted = n * d * float(np.log(cost / (n * d)))
    elif model == "normal":
        per_segment, shared, fitted = d + d * (d + 1) // 2, 0, cost
    else:
        return {}
    k, log_n = len(bkps) - 1, math.log(n)
    balance = float(np.sum(np.log(np.diff([0, *bkps]) / n)))
    return {"bic": fitted + (per_segment * (k + 1) + k + shared) * log_n,
            "mbic": fitted + (per_segment + 2) * k * log_n + per_segment * balance}
