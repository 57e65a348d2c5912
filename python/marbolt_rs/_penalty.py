"""Default penalties: what one extra breakpoint must buy before PELT accepts it.

Every rule has the form (parameters paid per change) · log(n) · (the cost of
one sample's worth of noise), a BIC-like price: a change that only fits noise
gains about the noise scale times a chi-squared variable, and the log(n)
factor pays for having tried n positions. The noise scale is estimated
robustly, so that the level shifts being looked for do not inflate it.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy.typing as npt

from . import _native as core
from ._arguments import default_min_size
from ._models import MODELS, PenaltyContext
from ._signal import as_signal, columns

__all__ = ["default_penalty"]


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
    engine = core.Engine(x, model, params, variant)
    size = max(engine.min_size, default_min_size(engine.model, columns(x).shape[1]))
    return penalty_for(PenaltyContext(columns(x), engine, params, "pelt", size, 1)).value


@dataclass(frozen=True)
class Penalty:
    """A price per change and the name of the rule that set it."""

    value: float
    rule: str


def penalty_for(context):
    """The default penalty of `context`'s model, with its rule's name."""
    rule = MODELS[context.engine.model].penalty
    if rule is None:
        raise ValueError(
            f"model '{context.engine.model}' has no default penalty: its lines pass through "
            "observed samples, so extra knots pay off on any noisy signal; pass pen "
            "(penalty_path shows which penalties give how many changes)")
    return Penalty(rule.price(context), rule.name)
