"""Confidence intervals for the location of a change in mean.

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
"""

from __future__ import annotations

import math

import numpy as np

SQRT_2PI = math.sqrt(2.0 * math.pi)
# Below this, erfc keeps its relative accuracy and exp(z²/2) stays finite;
# above it, the first four terms of the asymptotic series are exact to 1e-11.
MILLS_SERIES_FROM = 30.0
# Quantiles are located to a millionth of a sample: the bounds are rounded to
# whole samples, so a finer quantile would change nothing.
QUANTILE_TOLERANCE = 1e-6


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


def side_tail(x: float, own: float, other: float) -> float:
    """P(the argmax lies more than x >= 0 samples out on the side of scale `own`)."""
    if own == 0.0:
        return 0.0
    lam = math.inf if other == 0.0 else 2.0 * own / other
    return drift_tail(x / (4.0 * own), lam)


def argmax_cdf(x: float, a_left: float, a_right: float) -> float:
    """P(k̂ − k0 <= x): the argmax of the two-sided Brownian motion with drift 1/2."""
    if x >= 0.0:
        return 1.0 - side_tail(x, a_right, a_left)
    return side_tail(-x, a_left, a_right)


def argmax_quantile(p: float, a_left: float, a_right: float, limit: float) -> float:
    """The p-quantile of `argmax_cdf`, by bisection (the function is increasing),
    searched within [−limit, limit]: an interval that reaches further is clipped
    to its segments anyway."""
    low, high = -limit, limit
    if argmax_cdf(low, a_left, a_right) >= p:
        return low
    if argmax_cdf(high, a_left, a_right) <= p:
        return high
    while high - low > QUANTILE_TOLERANCE:
        middle = 0.5 * (low + high)
        if argmax_cdf(middle, a_left, a_right) < p:
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


def change_interval(x: np.ndarray, start: int, change: int, end: int,
                    level: float) -> tuple[int, int]:
    """The interval of the change at `change` between the segments [start, change)
    and [change, end) of the samples × columns `x`, clipped to start + 1 .. end − 1.
    """
    left, right = x[start:change], x[change:end]
    widest = (start + 1, end - 1)
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
        return (change, change)
    tail, limit = 0.5 * (1.0 - level), float(end - start)
    upper = argmax_quantile(1.0 - tail, a_left, a_right, limit)
    lower = argmax_quantile(tail, a_left, a_right, limit)
    # k0 = k̂ − (k̂ − k0): the upper quantile of the error bounds k0 from below.
    low, high = math.ceil(change - upper), math.floor(change - lower)
    return (min(max(low, widest[0]), widest[1]), max(min(high, widest[1]), widest[0]))
