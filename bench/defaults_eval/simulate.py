"""Seeded signals with the features that mislead a change-in-mean search, each with its true changes.

Every family builds a one-dimensional background (noise, and a trend, a
season, drift or rounding) and, in its "+changes" variant, adds 1 to 3 true
changes; the plain variant has none, so that any change found there is a
false alarm. Changes are level shifts of size u·scale, u uniform in [2, 4]
with a random sign, where `scale` is the noise that a shift must stand out
from (below), except in "linear_trend_kinks", whose changes are slope changes.
Positions are drawn with every segment at least half the average segment
long. Lengths cycle through 50, 100, 200, 500 and 1000 with the seed.

| family | background | scale of the shifts |
|---|---|---|
| ar1_phi{0.0,0.3,0.6,0.9} | Gaussian AR(1) noise, innovations N(0, 1), stationary from the first sample | max(marginal sd, half the long-run sd): 1/√(1 − φ²) and 1/(1 − φ) |
| rw_drift | N(0, 1) noise on a random walk with N(0, 0.15²) steps (slow drift) | 1.25 |
| linear_trend | N(0, 1) noise on a line rising or falling by 5 to 20 over the signal | 1 |
| linear_trend_kinks | the same, continuous, whose slope changes at each change so that the line leaves the old one by 4 to 8 over the next segment | (slope changes) |
| logistic_trend | N(0, 1) noise on an S-curve of height 10 to 30, centred in the middle half, of width 8 % to 20 % of the signal | 1 |
| quadratic_trend | N(0, 1) noise on a parabola rising or falling by 5 to 20 | 1 |
| seasonal | N(0, 1) noise on a monthly cycle (period 12, fundamental of amplitude 2 to 5 plus a half-size second harmonic) | 1 |
| seasonal_trend | the cycle on a line rising by 5 to 20, as co2 or AirPassengers | 1 |
| rounded | integers: AR(1) noise (φ = 0.3, marginal sd 0.5 to 1) around a level of 3 to 10, rounded, so many differences are zero | the sd of the rounded noise |
| heavy_tails | Student t noise with 3 degrees of freedom (sd √3) | √3 |
| balance | an account balance: each day, with probability 1/2, a movement N(0, 1) rounded to cents, summed (flat stretches, many repeated values) | 5 |

The must-not-regress family, "piecewise_constant", is
`marbolt_rs.datasets.piecewise_constant` (iid N(0, 1) noise, shifts of 2 to
4), always with changes.

Change positions are 0-based indices of the first sample of the new regime;
each signal's annotation is its true breakpoint list (ending with n).
"""

from __future__ import annotations

import math
import zlib
from collections.abc import Callable
from typing import NamedTuple

import numpy as np

from marbolt_rs import datasets

LENGTHS = (50, 100, 200, 500, 1000)
REGRESS_FAMILY = "piecewise_constant"


class Simulated(NamedTuple):
    family: str          # with "+changes" for the variant with changes
    seed: int
    values: np.ndarray   # float64, one dimension
    annotations: list[list[int]]


def _ar1(rng, n, phi, sd=1.0):
    """Stationary Gaussian AR(1) noise with innovations N(0, sd²)."""
    innovations = rng.normal(scale=sd, size=n)
    noise = np.empty(n)
    noise[0] = innovations[0] / math.sqrt(1.0 - phi * phi)
    for t in range(1, n):
        noise[t] = phi * noise[t - 1] + innovations[t]
    return noise


def _shifts(rng, n, bkps, scale):
    """Level shifts of size U(2, 4)·scale, random signs, at the change points of `bkps`."""
    levels = np.zeros(n)
    for b in bkps[:-1]:
        levels[b:] += rng.uniform(2.0, 4.0) * scale * rng.choice([-1.0, 1.0])
    return levels


def _time(n):
    return np.arange(n) / n


def _rise(rng, low=5.0, high=20.0):
    return rng.uniform(low, high) * rng.choice([-1.0, 1.0])


def _season(rng, n):
    amplitude = rng.uniform(2.0, 5.0)
    t = 2.0 * math.pi * np.arange(n) / 12.0
    return amplitude * (np.sin(t + rng.uniform(0, 2 * math.pi))
                        + 0.5 * np.sin(2.0 * t + rng.uniform(0, 2 * math.pi)))


def _ar1_family(phi):
    scale = max(1.0 / math.sqrt(1.0 - phi * phi), 0.5 / (1.0 - phi))
    return lambda rng, n, bkps: _ar1(rng, n, phi) + _shifts(rng, n, bkps, scale)


def _rw_drift(rng, n, bkps):
    drift = np.cumsum(rng.normal(scale=0.15, size=n))
    return drift + rng.normal(size=n) + _shifts(rng, n, bkps, 1.25)


def _linear_trend(rng, n, bkps):
    return _rise(rng) * _time(n) + rng.normal(size=n) + _shifts(rng, n, bkps, 1.0)


def _linear_trend_kinks(rng, n, bkps):
    slopes = np.full(n, _rise(rng, 0.0, 10.0) / n)
    for b, following in zip(bkps[:-1], bkps[1:]):
        slopes[b:] += rng.uniform(4.0, 8.0) / (following - b) * rng.choice([-1.0, 1.0])
    # The line is continuous: each sample adds the slope in force.
    return np.cumsum(slopes) + rng.normal(size=n)


def _logistic_trend(rng, n, bkps):
    centre = rng.uniform(0.25, 0.75)
    width = rng.uniform(0.08, 0.2)
    curve = _rise(rng, 10.0, 30.0) / (1.0 + np.exp(-(_time(n) - centre) / width))
    return curve + rng.normal(size=n) + _shifts(rng, n, bkps, 1.0)


def _quadratic_trend(rng, n, bkps):
    vertex = rng.uniform(-0.5, 1.5)
    t = _time(n)
    # Normalised so that the parabola moves by the drawn rise over the signal.
    curve = (t - vertex) ** 2
    curve = _rise(rng) * (curve - curve.min()) / (curve.max() - curve.min())
    return curve + rng.normal(size=n) + _shifts(rng, n, bkps, 1.0)


def _seasonal(rng, n, bkps):
    return _season(rng, n) + rng.normal(size=n) + _shifts(rng, n, bkps, 1.0)


def _seasonal_trend(rng, n, bkps):
    trend = abs(_rise(rng)) * _time(n)
    return trend + _season(rng, n) + rng.normal(size=n) + _shifts(rng, n, bkps, 1.0)


def _rounded(rng, n, bkps):
    sd = rng.uniform(0.5, 1.0)
    noise = _ar1(rng, n, 0.3, sd * math.sqrt(1.0 - 0.09))
    scale = math.sqrt(sd * sd + 1.0 / 12.0)   # rounding adds a uniform error
    return np.round(rng.uniform(3.0, 10.0) + noise + _shifts(rng, n, bkps, scale))


def _heavy_tails(rng, n, bkps):
    return rng.standard_t(3, size=n) + _shifts(rng, n, bkps, math.sqrt(3.0))


def _balance(rng, n, bkps):
    moves = np.where(rng.random(n) < 0.5, rng.normal(size=n), 0.0)
    moves[0] = rng.uniform(50.0, 500.0)
    return np.round(np.cumsum(moves) + _shifts(rng, n, bkps, 5.0), 2)


FAMILIES: dict[str, Callable[[np.random.Generator, int, list[int]], np.ndarray]] = {
    **{f"ar1_phi{phi}": _ar1_family(phi) for phi in (0.0, 0.3, 0.6, 0.9)},
    "rw_drift": _rw_drift,
    "linear_trend": _linear_trend,
    "linear_trend_kinks": _linear_trend_kinks,
    "logistic_trend": _logistic_trend,
    "quadratic_trend": _quadratic_trend,
    "seasonal": _seasonal,
    "seasonal_trend": _seasonal_trend,
    "rounded": _rounded,
    "heavy_tails": _heavy_tails,
    "balance": _balance,
}


def _true_bkps(rng, n):
    """1 to 3 changes (fewer on short signals), every segment at least half the average long."""
    k = int(rng.integers(1, min(3, n // 40) + 1))
    shortest = n // (2 * (k + 1))
    slack = n - (k + 1) * shortest
    offsets = np.sort(rng.integers(0, slack + 1, size=k))
    return [int(b) for b in shortest * np.arange(1, k + 1) + offsets] + [n]


def _rng(family, changes, seed):
    return np.random.default_rng([zlib.crc32(family.encode()), int(changes), seed])


def simulate(family: str, changes: bool, seed: int) -> Simulated:
    """One signal of a family (`FAMILIES` or "piecewise_constant"), with or without changes."""
    rng = _rng(family, changes, seed)
    n = LENGTHS[seed % len(LENGTHS)]
    if family == REGRESS_FAMILY:
        k = int(rng.integers(1, min(5, n // 40) + 1))
        x, bkps = datasets.piecewise_constant(n_samples=n, n_bkps=k, noise_std=1.0,
                                              delta=(2, 4), seed=rng)
        return Simulated(f"{family}+changes", seed, np.ravel(x), [bkps])
    bkps = _true_bkps(rng, n) if changes else [n]
    x = FAMILIES[family](rng, n, bkps)
    return Simulated(family + ("+changes" if changes else ""), seed, x.astype(np.float64), [bkps])


def study(seeds: int = 5, families: list[str] | None = None) -> list[Simulated]:
    """Every family with and without changes, and the must-not-regress family, `seeds` each."""
    names = list(FAMILIES) if families is None else [f for f in families if f in FAMILIES]
    signals = [simulate(f, changes, s) for f in names for changes in (False, True)
               for s in range(seeds)]
    if families is None or REGRESS_FAMILY in families:
        signals += [simulate(REGRESS_FAMILY, True, s) for s in range(seeds)]
    return signals
