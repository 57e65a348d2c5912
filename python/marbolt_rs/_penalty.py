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

import numpy as np
import numpy.typing as npt

from . import _native as core
from ._arguments import check_model, check_params, default_min_size
from ._models import MODELS, NAMED_PENALTIES, PenaltyContext, named_price
from ._names import keywords_checked
from ._signal import as_signal, columns
from ._units import in_callers_unit, unit_exponent

__all__ = ["default_penalty"]


@keywords_checked()
def default_penalty(signal: npt.ArrayLike, model: str | None = None, *,
                    params: Mapping[str, Any] | None = None, variant: str | None = None) -> float:
    """The `pen` that `detect` uses when given none of `pen`, `n_bkps` and `epsilon`.

    For a named model, its default rule, in the Notes: a price per change of
    the form (parameters a change adds) · log(n) · (one parameter's worth of
    noise). Without one, the penalty the automatic default calibrates (it
    runs the search to find it).

    Parameters
    ----------
    signal : array_like
        As for `detect`.
    model : str, optional
        The segment cost, as for `detect`; None for the automatic default.
    params : mapping, optional
        The model's parameters, as for `detect`.
    variant : str, optional
        The model's variant, as for `detect`.

    Returns
    -------
    float
        The penalty per change, in the signal's unit (squared for the
        squared-error costs).

    Raises
    ------
    ValueError
        For "clinear", which has no default; an unknown model, a signal or
        parameters the model refuses.
    TypeError
        Arguments of the wrong type.

    Notes
    -----
    With n samples and d columns, p the parameters a segment fits (d means
    for "l2", "l1", "mahalanobis" and "rank"; d + d(d + 1)/2 for "normal";
    2·d for "trend"; k = d − 1 coefficients for "linear", k = order + 1 for
    "ar"; 1 for the kernels):

    - The named penalties, which `detect`'s `pen` also takes, price a change
      at a number of parameters' worth of noise: "aic" 2·p, "bic" p·log(n),
      "hq" 2·p·log(log(n)), "mbic" (p + 2)·log(n) (Zhang & Siegmund,
      Biometrics 2007: BIC plus 2·log(n) for the change's position; their
      term in the segment lengths, which only lowers the price of
      unbalanced splits, is left out). One parameter's worth of noise is σ²
      for the squared-error costs ("l2", "mahalanobis", "linear", "ar",
      "trend"), σ for "l1", 1 for "normal" and "rank" (their costs are
      −2·log-likelihoods, or a chi-squared statistic), and the kernel
      spread below for the kernels. "clinear" has none.
    - "l2", "l1", "mahalanobis": "mbic", with σ_j² the long-run noise
      variance of column j at short scales: over windows of L = 1 to 8
      samples (at most n/16), L/2 times the squared spread of the
      differences of neighbouring window means, at the most variable L.
      The spread is the 75 % quantile of their absolute values (scaled to a
      normal standard deviation), robust to the few windows a change
      disturbs and to the ties of rounded data; the differences are not
      centred, so a steady trend counts as variability (a trend is not a
      staircase of changes). σ² is the mean of σ_j² over the columns
      ("mahalanobis" weighs column j by the metric's M[j, j]); "l1" prices
      the mean σ_j.
    - "linear", "ar", "trend": "mbic", with σ² the residual variance of
      local fits (the median over blocks of max(10·k, 30) samples). The
      first differences would be wrong here: for an autoregression they
      measure the process, not its innovations.
    - "normal": 2·p·log(n). The cost is −2·log-likelihood itself, so no
      noise scale enters; the l2 cost is σ² times that, and BIC's price of
      its mean doubled, 2·log(n)·σ², is what each parameter costs here. The
      plainer p·log(n) let short spurious segments through on a fifth of
      the seeded mean-shift signals. The variances are held at least at the
      data's resolution floor (see `detect`), so rounded data do not buy
      changes with runs of repeated values.
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
    - "poisson", "exponential", "variance": 2·d·log(n), one parameter per
      column and segment (a rate, a mean waiting time, a variance about the
      fixed mean). Each cost is −2·log-likelihood itself, so each parameter
      costs 2·log(n), as for "normal". On seeded series of 200 to 3000
      samples without a change (counts of rate 0.1 to 20, exponential gaps,
      Gaussian noise) it finds at most 0.125 spurious changes per series on
      average, none on most; half that price finds 1.5 to 6.5.
    - "clinear" has no default: its lines pass through observed samples, so
      an extra knot placed on a lucky sample gains in proportion to the
      segment length, not to log(n), and any rule of this form splits a
      noisy line into many pieces. Pass `pen` (`penalty_path` helps).

    The squared-error and "l1" models are searched in the unit, a power of
    two, that brings the signal's spread near 1, so the penalty scales
    exactly with the signal's unit (squared, or as it for "l1").

    See Also
    --------
    penalty_path : every segmentation over a range of penalties.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> flow = load_nile().flow
    >>> round(marbolt_rs.default_penalty(flow, "l2"))
    413014
    >>> round(marbolt_rs.default_penalty(flow, "normal"), 2)  # 2 · 2 · log(100)
    18.42
    >>> round(marbolt_rs.default_penalty(flow))  # the automatic default's
    413014
    """
    if model is None and params is None and variant is None:
        from ._detect import detect  # the automatic default runs its own searches
        return detect(signal).penalty
    model = "l2" if model is None else model
    check_model(model)
    check_params(model, params)
    x = columns(as_signal(signal))
    exponent = unit_exponent(x, model)
    searched = np.ldexp(x, -exponent)
    engine = core.Engine(searched, model, params, variant)
    size = max(engine.min_size, default_min_size(engine.model, x.shape[1]))
    value = penalty_for(PenaltyContext(searched, engine, params, "pelt", size, 1)).value
    return in_callers_unit(model, exponent)(value)


@dataclass(frozen=True)
class Penalty:
    """A price per change and the name of the rule that set it."""

    value: float
    rule: str


def penalty_for(context, name=None):
    """The default penalty of `context`'s model, or the named one, with its rule."""
    if name is not None:
        return named_penalty(context, name)
    rule = MODELS[context.engine.model].penalty
    if rule is None:
        raise ValueError(
            f"model '{context.engine.model}' has no default penalty: its lines pass through "
            "observed samples, so extra knots pay off on any noisy signal; pass pen "
            "(penalty_path shows which penalties give how many changes)")
    return Penalty(rule.price(context), rule.name)


def named_penalty(context, name):
    """The named penalty `name` ("aic", "bic", "hq", "mbic") of `context`'s model."""
    model = context.engine.model
    if MODELS[model].scale is None:
        raise ValueError(f"model '{model}' has no noise scale to price a named penalty "
                         f"'{name}' at: its lines pass through observed samples; pass pen "
                         "as a number")
    return Penalty(named_price(name, context), f"{name}: {NAMED_PENALTIES[name][0]}")
