"""Confidence intervals for the location of a change: in mean (least squares,
"l2") or in the mean and covariance of a Gaussian ("normal").

Bai, "Estimation of a change point in multiple regression models", Review of
Economics and Statistics 79(4), 1997. Near the true change k0, moving the
estimated breakpoint m samples to the right adds m·|δ|² to the residual sum
of squares, plus 2·δ·(the m noise terms on the right); m samples to the left
the same with the noise on the left. Divided by 2·|δ|², that is a two-sided
random walk, in the limit a Brownian motion with drift 1/2 per sample and
variance a_left, a_right per sample on the two sides, where
a = δᵀ·Σ·δ / |δ|⁴ for the side's noise covariance Σ (σ²/δ² for one column).
The estimate k̂ minimises the sum of squares, so k̂ − k0 is distributed as the
argmax of that process, whose distribution function is in closed form
(derived below); the interval is k̂ minus its two outer quantiles.

The closed form. For X(u) = W(u) − u (standard W, drift 1), let τ be where
X attains its maximum M over u ≥ 0. M is exponential with rate 2 and, given
M = m, τ is the first time a Brownian motion with drift +1 reaches m, so
P(τ ∈ dt, M ∈ dm) = 2m (2πt³)^(-1/2) exp(−(m + t)²/(2t)). Integrating out m and
t gives, with k = 1 + λ, r = √y, φ the normal density and R(z) = (1 − Φ(z))/φ(z)
the Mills ratio:

    P(τ > y)                = φ(r)·2·((1 + y)·R(r) − r)
    E[exp(−λM); τ > y]      = φ(r)·4·(k·R(k·r) − R(r)) / (k² − 1)

(at y = 0 they give 1 and 2/(2 + λ), the exponential law's transform). One
side of the two-sided process, σ·W(u) − u/2, is X rescaled: its argmax is
4σ²·τ and its maximum 2σ²·M, exponential with rate 1/σ². The overall argmax
lies beyond x > 0 on the right when the right side's argmax does and its
maximum beats the left side's, which happens with probability
1 − exp(−M_right / a_left); so
P(k̂ − k0 > x) = P(τ > y) − E[exp(−λM); τ > y] with y = x / (4·a_right) and
λ = 2·a_right / a_left, and the same with the sides swapped for x < 0. With
equal sides this is the distribution of Yao (1987) that Bai's equal-variance
interval uses.

Any change, not only in mean. The same holds for any cost that sums one
term per sample (Bai's argument is the quasi-likelihood one): moving the
estimate m samples into a segment adds, for each sample moved, d = its cost
under the other segment's fit minus its cost under its own. For the
Gaussian cost ("normal", −2·log-likelihood) d = log det Σ_other − log det
Σ_own + (x − μ_other)ᵀΣ_other⁻¹(x − μ_other) − (x − μ_own)ᵀΣ_own⁻¹(x − μ_own),
whose mean c over a side is twice the Kullback-Leibler divergence (the part
δᵀΣ_other⁻¹δ from the shift, the rest from the covariances) and whose
variance s² is estimated from the side's own samples, so heavy tails widen
the interval as they should. A walk with drift c and variance s² per sample
is σ·W − u/2 rescaled: its argmax has the time scale a = s²/(4c²) and its
maximum the scale b = s²/(2c); with a = b, and the sides' a in Bai's form,
this is the mean-shift case above (the common factor of b cancels in λ).

The Brownian limit is that of small changes, whose walks take many samples
to decide. A large change of variance decides within a few samples, where
the walk's skewed steps (a scaled chi-squared) matter: a variance that
quadruples gives a ≈ 2 samples, and the limit's 95 % intervals held the
change in only 66 to 72 % of seeded runs. Below a = 10 samples the interval
is taken from the walk itself instead (Hinkley, "Inference about the
change-point in a sequence of random variables", Biometrika 57(1), 1970):
the argmin of 2000 two-sided walks whose steps are drawn from each side's
own values of d, with a seed fixed by the sides' lengths, so that the
interval is reproducible and a reversed signal gets the mirrored one.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

SQRT_2PI = math.sqrt(2.0 * math.pi)
# Below this, erfc keeps its relative accuracy and exp(z²/2) stays finite;
# above it, the first four terms of the asymptotic series are exact to 1e-11.
MILLS_SERIES_FROM = 30.0
# Quantiles are located to a millionth of a sample: the bounds are rounded to
# whole samples, so a finer quantile would change nothing.
QUANTILE_TOLERANCE = 1e-6
MEAN = "mean"
# What the "normal" cost adds to the diagonal of each covariance by default.
SMALL_DIAG = 1e-6
# A change is named for the mean, or for the (co)variance, when that part
# makes at least this share of the drift; else for both.
KIND_SHARE_FROM = 0.9
# Below this time scale (samples) the interval comes from the walk itself;
# each side's walk then reaches WALK_REACH time scales (beyond which the
# argmin lies with probability about Φ(−√(WALK_REACH / 4)) = 2e-4) and
# WALK_MARGIN samples more.
WALK_BELOW = 10.0
WALK_REACH = 50.0
WALK_MARGIN = 20
WALKS = 2000


class ChangeInterval(tuple[Any, Any]):
    """Where a change lies at some confidence: a (low, high) pair that also
    says what changed.

    A tuple of two, so ``low, high = interval`` and comparisons with plain
    pairs work; `Detection.confidence_intervals` makes them.

    Parameters
    ----------
    low, high : int or label
        The bounds: sample positions in the breakpoint convention (the first
        sample of the new segment), or index labels.
    kind : str
        What the interval is for: "mean" (a change in mean: the interval
        of Bai 1997), "variance" ("covariance" for several columns), or
        "mean and variance" ("mean and covariance"), after the part of the
        Gaussian likelihood's drift each makes.

    Examples
    --------
    >>> import numpy as np
    >>> import marbolt_rs
    >>> rng = np.random.default_rng(0)
    >>> x = np.r_[rng.normal(size=500), 2.0 * rng.normal(size=500)]
    >>> (interval,) = marbolt_rs.detect(x, "normal").confidence_intervals()
    >>> interval
    ChangeInterval(low=481, high=516, kind='variance')
    >>> low, high = interval
    """

    kind: str

    def __new__(cls, low: Any, high: Any, kind: str) -> ChangeInterval:
        interval = super().__new__(cls, (low, high))
        interval.kind = kind
        return interval

    @property
    def low(self) -> Any:
        """The lower bound."""
        return self[0]

    @property
    def high(self) -> Any:
        """The upper bound."""
        return self[1]

    def __repr__(self) -> str:
        return f"ChangeInterval(low={self[0]!r}, high={self[1]!r}, kind={self.kind!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (ChangeInterval, (self[0], self[1], self.kind))


def mills_ratio(z: float) -> float:
    """(1 − Φ(z)) / φ(z) for z >= 0."""
    if z < MILLS_SERIES_FROM:
        return 0.5 * math.erfc(z / math.sqrt(2.0)) * SQRT_2PI * math.exp(0.5 * z * z)
    z2 = z * z
    return (1.0 - 1.0 / z2 + 3.0 / z2**2 - 15.0 / z2**3) / z


def drift_tail(y: float, lam: float) -> float:
    """P(τ > y) − E[exp(−λM); τ > y] for the argmax τ and maximum M of W(u) − u."""
    if math.isinf(y):
        return 0.0
    r = math.sqrt(y)
    density = math.exp(-0.5 * y) / SQRT_2PI
    beyond = 2.0 * ((1.0 + y) * mills_ratio(r) - r)
    if math.isinf(lam):
        return density * beyond
    k = 1.0 + lam
    discounted = 4.0 * (k * mills_ratio(k * r) - mills_ratio(r)) / (k * k - 1.0)
    return max(density * (beyond - discounted), 0.0)


@dataclass(frozen=True)
class Side:
    """One side of a change as its walk sees it: the time scale `a` of the
    argmax and the scale `b` of the maximum (for a change in mean, b = a)."""

    a: float
    b: float


def side_tail(x: float, own: Side, other: Side) -> float:
    """P(the argmax lies more than x >= 0 samples out on the side `own`)."""
    if own.a == 0.0:
        return 0.0
    lam = math.inf if other.b == 0.0 else 2.0 * own.b / other.b
    return drift_tail(x / (4.0 * own.a), lam)


def argmax_cdf(x: float, left: Side, right: Side) -> float:
    """P(k̂ − k0 <= x): the argmax of the two-sided Brownian motion with drift."""
    if x >= 0.0:
        return 1.0 - side_tail(x, right, left)
    return side_tail(-x, left, right)


def argmax_quantile(p: float, left: Side, right: Side, limit: float) -> float:
    """The p-quantile of `argmax_cdf`, by bisection (the function is increasing),
    searched within [−limit, limit]: an interval that reaches further is clipped
    to its segments anyway."""
    low, high = -limit, limit
    if argmax_cdf(low, left, right) >= p:
        return low
    if argmax_cdf(high, left, right) <= p:
        return high
    while high - low > QUANTILE_TOLERANCE:
        middle = 0.5 * (low + high)
        if argmax_cdf(middle, left, right) < p:
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)


def side_scale(delta: np.ndarray, segment: np.ndarray) -> float | None:
    """δᵀΣδ / |δ|⁴ from the segment's sample covariance; None below two samples.

    δ is divided by its largest entry first, so that neither the fourth
    power of a tiny shift underflows nor that of a huge one overflows; a
    segment without spread gives 0 however small the shift.
    """
    if len(segment) < 2:
        return None
    covariance = np.atleast_2d(np.cov(segment, rowvar=False))
    largest = float(np.max(np.abs(delta)))
    direction = delta / largest
    spread = float(direction @ covariance @ direction)
    if spread == 0.0:
        return 0.0
    return spread / float(direction @ direction) ** 2 / largest / largest


def mean_interval(x: np.ndarray, start: int, change: int, end: int, level: float,
                  params: Any = None) -> tuple[int, int, str]:
    """The interval of the change in mean at `change` between the segments
    [start, change) and [change, end) of the samples × columns `x`, clipped to
    start + 1 .. end − 1, and its kind ("mean")."""
    left, right = x[start:change], x[change:end]
    widest = (start + 1, end - 1, MEAN)
    # Magnitudes whose squares overflow end up as a scale that is not finite.
    with np.errstate(over="ignore", invalid="ignore"):
        delta = right.mean(axis=0) - left.mean(axis=0)
        if not np.any(delta):
            return widest
        a_left, a_right = side_scale(delta, left), side_scale(delta, right)
    # A one-sample side has no variance of its own; the other side lends its.
    a_left = a_right if a_left is None else a_left
    a_right = a_left if a_right is None else a_right
    if a_left is None or a_right is None or not math.isfinite(a_left + a_right):
        return widest
    if a_left == 0.0 and a_right == 0.0:
        return (change, change, MEAN)
    return _brownian(start, change, end, level, Side(a_left, a_left),
                     Side(a_right, a_right)) + (MEAN,)


def gaussian_interval(x: np.ndarray, start: int, change: int, end: int, level: float,
                      params: Any = None) -> tuple[int, int, str]:
    """The interval of the change of a Gaussian's mean and covariance at
    `change`, as `mean_interval`, and its kind: "mean", "variance" (or
    "covariance" for several columns) or both, by the part of the drift each
    makes."""
    d = x.shape[1]
    spread = "variance" if d == 1 else "covariance"
    widest = (start + 1, end - 1, f"mean and {spread}")
    diagonal = SMALL_DIAG if (params or {}).get("add_small_diag", True) else 0.0
    left, right = x[start:change], x[change:end]
    fits = (_gaussian(left, diagonal), _gaussian(right, diagonal))
    if len(left) < 2 or len(right) < 2 or None in fits:
        return widest
    with np.errstate(over="ignore", invalid="ignore"):
        steps = (_nll(left, fits[1]) - _nll(left, fits[0]),
                 _nll(right, fits[0]) - _nll(right, fits[1]))
        delta = fits[1][0] - fits[0][0]
        shift = float(delta @ fits[1][1] @ delta + delta @ fits[0][1] @ delta)
        drifts = [float(np.mean(step)) for step in steps]
        variances = [float(np.var(step, ddof=1)) for step in steps]
    if not all(math.isfinite(v) and v > 0.0 for v in drifts) or \
            not all(math.isfinite(v) for v in variances + [shift]):
        return widest
    share = shift / sum(drifts)
    kind = MEAN if share >= KIND_SHARE_FROM else spread if share <= 1.0 - KIND_SHARE_FROM \
        else f"mean and {spread}"
    sides = [Side(v / (4.0 * c * c), v / (2.0 * c)) for c, v in zip(drifts, variances)]
    if max(side.a for side in sides) >= WALK_BELOW:
        return _brownian(start, change, end, level, *sides) + (kind,)
    reach = math.ceil(WALK_REACH * max(side.a for side in sides)) + WALK_MARGIN
    # The left side's steps in the order they are taken: outward from the change.
    lower, upper = walk_quantiles(steps[0][::-1], steps[1], reach, 0.5 * (1.0 - level))
    return _clipped(change - upper, change - lower, start, end) + (kind,)


def walk_quantiles(left: np.ndarray, right: np.ndarray, reach: int,
                   tail: float) -> tuple[int, int]:
    """The `tail` and 1 − `tail` quantiles of k̂ − k0, the argmin of a two-sided
    walk whose steps are drawn from `left` and `right` (each side's cost
    differences, outward from the change), over at most `reach` samples a side.

    Each side's draws are seeded by the two sides' lengths alone, and the
    quantiles are order statistics counted from either end, so a reversed
    signal gets exactly the mirrored interval.
    """
    walks = []
    for own, other in ((left, right), (right, left)):
        rng = np.random.default_rng([len(own), len(other)])
        picks = rng.integers(0, len(own), size=(WALKS, min(len(own), reach)))
        walks.append(np.cumsum(own[picks], axis=1))
    both = np.concatenate([walks[0][:, ::-1], np.zeros((WALKS, 1)), walks[1]], axis=1)
    errors = np.sort(np.argmin(both, axis=1) - walks[0].shape[1])
    k = max(1, math.ceil(WALKS * tail))
    return int(errors[k - 1]), int(errors[WALKS - k])


def _gaussian(segment, diagonal):
    """The segment's mean, inverse covariance (divisor L, `diagonal` added) and
    log-determinant; None when the covariance is not positive definite."""
    mean = segment.mean(axis=0)
    centred = segment - mean
    covariance = centred.T @ centred / len(segment) + diagonal * np.eye(segment.shape[1])
    try:
        factor = np.linalg.cholesky(covariance)
    except np.linalg.LinAlgError:
        return None
    log_det = 2.0 * float(np.sum(np.log(np.diagonal(factor))))
    if not math.isfinite(log_det):
        return None
    return mean, np.linalg.inv(covariance), log_det


def _nll(samples, fit):
    """Each sample's −2·log-likelihood under the Gaussian `fit`, less d·log(2π)."""
    mean, inverse, log_det = fit
    z = samples - mean
    return log_det + np.einsum("ij,jk,ik->i", z, inverse, z)


def _brownian(start, change, end, level, left, right):
    """The interval from the two-sided Brownian motion's argmax quantiles."""
    tail, limit = 0.5 * (1.0 - level), float(end - start)
    upper = argmax_quantile(1.0 - tail, left, right, limit)
    lower = argmax_quantile(tail, left, right, limit)
    # k0 = k̂ − (k̂ − k0): the upper quantile of the error bounds k0 from below.
    return _clipped(math.ceil(change - upper), math.floor(change - lower), start, end)


def _clipped(low, high, start, end):
    return (min(max(low, start + 1), end - 1), max(min(high, end - 1), start + 1))
