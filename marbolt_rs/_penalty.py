"""Default penalties: what one extra breakpoint must buy before PELT accepts it.

Every rule has the form (parameters paid per change) · log(n) · (the cost of
one sample's worth of noise), a BIC-like price: a change that only fits noise
gains about the noise scale times a chi-squared variable, and the log(n)
factor pays for having tried n positions. The noise scale is estimated
robustly, so that the level shifts being looked for do not inflate it.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _marbolt_rs as core
from ._signal import as_signal, columns

__all__ = ["default_penalty"]

KERNEL_MODELS = ("rbf", "cosine")

# 1 / Phi^-1(3/4): turns a median absolute deviation into a Gaussian standard deviation.
MAD_TO_SD = 1.4826


def default_penalty(signal: npt.ArrayLike, model: str = "l2", *,
                    params: Mapping[str, Any] | None = None, variant: str | None = None) -> float:
    """The `pen` that `detect` uses when given none of `pen`, `n_bkps` and `epsilon`.

    Every rule has the form (parameters paid per change) · log(n) · (the cost
    of one sample's worth of noise): a BIC-like price. The rule of each
    model is in the Notes.

    Parameters
    ----------
    signal : array_like
        As for `detect`.
    model : str, default "l2"
        The segment cost, as for `detect`.
    params : mapping, optional
        The model's parameters, as for `detect`.
    variant : str, optional
        The model's variant, as for `detect`.

    Returns
    -------
    float
        The penalty per change.

    Raises
    ------
    ValueError
        For "clinear", which has no default; an unknown model, a signal or
        parameters the model refuses.
    TypeError
        Arguments of the wrong type.

    Notes
    -----
    With n samples and d columns:

    - "l2" (either variant): 2·log(n)·Σ_j σ_j², σ_j the noise standard
      deviation of column j from the first differences (1.4826 · their
      median absolute deviation / √2, robust to the level shifts looked
      for); "mahalanobis" weighs column j by the metric's M[j, j].
    - "l1": 2·log(n)·Σ_j σ_j, the same rule on the absolute scale of the cost.
    - "linear", "ar": (k + 1)·log(n)·σ², k the regression coefficients per
      segment (d − 1, or `order` + 1) and σ² the residual variance of local
      fits (the median over blocks of max(10·k, 30) samples); with k = 1
      this is the l2 rule. The first differences would be wrong here: for
      an autoregression they measure the process, not its innovations.
    - "normal": 2·p·log(n) with p = d + d(d + 1)/2 parameters per segment (a
      mean and a covariance). The cost is −2·log-likelihood itself, so no
      noise scale enters; the l2 cost is σ² times that, and its rule prices
      its one mean parameter at 2·log(n)·σ², so each parameter here costs
      2·log(n) too. The plainer p·log(n) let short spurious segments through
      on a fifth of the seeded mean-shift signals.
    - "rank": 2·d·log(n). The cost divides the segment mean ranks by their
      covariance, so a change that fits noise gains a chi-squared variable
      with d degrees of freedom: the l2 rule with unit variance.
    - "rbf", "cosine": 2·log(n)·s², s² the spread of the samples in the
      kernel's feature space, mean(1 − k(x_i, x_{i+1})) over neighbouring
      samples: half the squared feature-space distance of two samples from
      one segment is, on average, the trace of the feature covariance, which
      is what σ² is to l2 (with the linear kernel the rule is the l2 rule).
      The kernel is bounded, so the few pairs that straddle a change move
      the mean by at most 1/n each and no median is needed. On seeded
      signals of 500 samples (as in tests/python/test_penalty.py) the factor
      2 finds mean shifts of 2.5 to 3 noise deviations and a tripled noise
      level with no spurious change in 59 of 60 signals; a factor 1 made
      spurious changes in 13 of 30 one-column signals, a factor 4 missed
      the tripled noise level in every one.
    - "clinear" has no default: its lines pass through observed samples, so
      an extra knot placed on a lucky sample gains in proportion to the
      segment length, not to log(n), and any rule of this form splits a
      noisy line into many pieces. Pass `pen` (`penalty_path` helps).

    See Also
    --------
    penalty_path : every segmentation over a range of penalties.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> flow = load_nile().flow
    >>> round(marbolt_rs.default_penalty(flow))
    122484
    >>> round(marbolt_rs.default_penalty(flow, "normal"), 2)  # 2 · 2 · log(100)
    18.42
    """
    x = as_signal(signal)
    return penalty_for(x, core.CostEngine(x, model, params, variant), params)


def penalty_for(signal, engine, params=None):
    """The rules of `default_penalty`, for an `engine` fitted to the checked `signal`."""
    x = columns(signal)
    n, d = x.shape
    model = engine.model
    log_n = math.log(max(n, 2))
    if model == "l2":
        return 2 * log_n * float(np.sum(noise_sd(x) ** 2))
    if model == "mahalanobis":
        weights = np.diagonal(np.asarray(params["metric"], dtype=np.float64))
        return 2 * log_n * float(np.sum(weights * noise_sd(x) ** 2))
    if model == "l1":
        return 2 * log_n * float(np.sum(noise_sd(x)))
    if model in ("linear", "ar"):
        k = d - 1 if model == "linear" else _ar_order(params) + 1
        return (k + 1) * log_n * regression_noise(engine, k)
    if model == "normal":
        return 2 * (d + d * (d + 1) / 2) * log_n
    if model == "rank":
        return 2 * d * log_n
    if model in KERNEL_MODELS:
        return 2 * log_n * kernel_spread(x, model, engine.gamma)
    raise ValueError(
        f"model '{model}' has no default penalty: its lines pass through observed "
        "samples, so extra knots pay off on any noisy signal; pass pen "
        "(penalty_path shows which penalties give how many changes)")


def noise_sd(x):
    """Per-column noise standard deviation, robust to level shifts and trends.

    σ = 1.4826·MAD(diff)/√2: differencing removes the piecewise-constant
    level (and turns a trend into a constant that the MAD's own median
    removes), and the √2 undoes the doubled variance of a difference. When
    over half the differences are equal (integer or quantised data) the MAD
    is 0 and the plain standard deviation of the differences is used; a
    floor a few ulps above zero keeps a constant column from making every
    split look free.
    """
    x = columns(x)
    if len(x) < 2:
        return np.zeros(x.shape[1])
    diff = np.diff(x, axis=0)
    mad = np.median(np.abs(diff - np.median(diff, axis=0)), axis=0)
    sd = np.where(mad > 0, MAD_TO_SD * mad, np.std(diff, axis=0)) / math.sqrt(2)
    floor = np.finfo(np.float64).eps * np.maximum(1.0, np.max(np.abs(x), axis=0))
    return np.maximum(sd, floor * math.sqrt(len(x)))


def regression_noise(engine, k):
    """Residual variance, the median over blocks of a local fit's RSS / (L − k).

    Blocks of max(10·k, 30) samples hold enough samples to fit k
    coefficients well; the median over blocks ignores the few that contain a
    change.
    """
    n = engine.n_samples
    block = max(10 * k, 30, engine.min_size)
    n_blocks = max(1, n // block)
    edges = np.linspace(0, n, n_blocks + 1).astype(int)
    values = [engine.error(int(a), int(b)) / max(int(b - a) - k, 1)
              for a, b in zip(edges[:-1], edges[1:])]
    return max(float(np.median(values)), np.finfo(np.float64).tiny)


def kernel_spread(x, model, gamma):
    """mean(1 − k(x_i, x_{i+1})): the feature-space variance of one segment."""
    if len(x) < 2:
        return 1.0
    if model == "rbf":
        # The engine clips gamma·d² below at 0.01; doing the same keeps the
        # estimate on the scale of the costs it is compared with.
        v = np.maximum(gamma * np.sum(np.diff(x, axis=0) ** 2, axis=1), 0.01)
        similarity = np.exp(-v)
    else:
        norms = np.linalg.norm(x, axis=1)
        similarity = np.sum(x[1:] * x[:-1], axis=1) / (norms[1:] * norms[:-1])
    return max(float(np.mean(1.0 - similarity)), np.finfo(np.float64).tiny)


def _ar_order(params):
    order = (params or {}).get("order")
    return 4 if order is None else int(order)
