"""The automatic default of `detect`: changes that real series would show a
reader, not a staircase up their trends, seasons and wandering noise.

It makes three choices a plain search leaves to the user, each from the data:

1. **Season.** A profile repeating every `period` samples (the period given,
   the one a pandas index's frequency implies, or a strong one found in the
   data) is removed first: a summer is not a change.
2. **Noise.** A change is priced at MBIC's (Zhang & Siegmund, Biometrics
   2007) (p + 2)·log(n) times the variability it must stand out from, p the
   parameters a segment adds. That variability starts as the long-run
   variance of local means at short scales (see `_noise`), and is then made
   consistent with the segmentation found: the variance is measured again
   within the segments, at scales up to a sixteenth of the signal, and on the
   residuals read as AR(1) noise; while that is over 1.5 times what was
   priced, the search runs again at the new price. A segmentation whose
   residuals still drift or correlate has cut slow variation, not changes.
3. **Level or trend.** Both a piecewise-constant mean ("l2") and a
   piecewise-linear trend ("trend") are calibrated so; the one with the
   lower penalised criterion (residual sum of squares over the smaller of
   their two noise variances, plus MBIC's (p·(k + 1) + 2·k)·log(n) for k
   changes of p parameters per segment, as Mallows' Cp weighs models on one
   noise scale) is kept. A line with noise is then one trend, not a
   staircase of levels.

Measured on a simulation study of the features that mislead a change-in-mean
default (AR(1) noise, drift, trends, seasons, rounding, heavy tails,
balances) and on real series with documented changes: see bench/README.md
("How the defaults were evaluated").
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._estimates import line_fit
from ._native import Engine, optimum
from ._noise import log_n, noise_floor, persistence_variance, short_scale_variance, window_energy
from ._season import find_period, frequency_period, seasonal_profile

LEVEL_MODEL, TREND_MODEL = "l2", "trend"
# Parameters per segment and column: a mean; a level and a slope.
PARAMETERS = {LEVEL_MODEL: 1, TREND_MODEL: 2}
# MBIC prices a change's location at 2·log(n) on top of its parameters.
LOCATION_PRICE = 2.0
# The residuals must show more than this times the priced variance before the
# price is raised: the variance estimates scatter by some tens of percent.
TOLERANCE = 1.5
MAX_ROUNDS = 10
# The first price looks at scales up to 8 samples; the residuals at scales up
# to a sixteenth of the signal, where a few changes cannot dominate.
FIRST_SCALE = 8.0
WIDEST_SCALE_SHARE = 1.0 / 16.0
# The trend model's search has no functional pruning, so its cost grows with
# the square of the segment length: beyond this many samples only the level
# model is tried.
TREND_LIMIT = 20_000
# A line needs a few samples of each segment to be told from noise.
TREND_SHORTEST = 10
RULE = "mbic at the self-consistent long-run noise variance"
# Several columns are summed in one cost, so a column in large units would
# drown a change in another: each is first divided by its own noise scale.
STANDARDISED_RULE = RULE + ", each column standardised by its noise scale"
# The shortest segment: two samples, so that a lone outlier is not a segment
# (the level search prunes functionally all the same).
MIN_SIZE = 2


@dataclass(frozen=True)
class Season:
    """A seasonal profile that `detect` removed before its search.

    Parameters
    ----------
    period : int
        The number of samples of one cycle.
    profile : numpy.ndarray
        period × columns: ``profile[t % period]`` was subtracted from sample
        t; each column sums to zero.

    Examples
    --------
    >>> import numpy as np
    >>> import marbolt_rs
    >>> months = np.arange(240)
    >>> rng = np.random.default_rng(0)
    >>> x = 5 * np.sin(2 * np.pi * months / 12) + np.where(months < 150, 0.0, 3.0)
    >>> result = marbolt_rs.detect(x + rng.normal(size=240))
    >>> result.breakpoints, result.season.period
    ([150, 240], 12)
    """

    period: int
    profile: np.ndarray


@dataclass(frozen=True)
class Choice:
    """A calibrated search: its model, engine, breakpoints, price and shortest
    segment, and whether its columns were standardised (its costs are then in
    that unit, not the caller's)."""

    model: str
    engine: Any
    breakpoints: list[int]
    variance: float
    penalty: float
    min_size: int
    standardised: bool = False

    @property
    def rule(self):
        return STANDARDISED_RULE if self.standardised else RULE


def remove_season(x, period, index):
    """x without its seasonal profile, and the Season removed (or None).

    `period` None looks for one (the index's frequency, else the data);
    0 keeps the signal as it is.
    """
    if period is None:
        period = (frequency_period(index) if index is not None else None) or find_period(x)
    if not period or len(x) < 2 * period:
        return x, None
    profile, _ = seasonal_profile(x, period)
    return x - profile[np.arange(len(x)) % period], Season(period, profile)


def fitted(x, bkps, model):
    """Each segment's mean, or least-squares line, per column."""
    out = np.empty_like(x)
    for start, end in zip([0, *bkps[:-1]], bkps):
        if model == TREND_MODEL:
            t, mean, slope = line_fit(x[start:end])
            out[start:end] = mean + np.outer(t, slope)
        else:
            out[start:end] = x[start:end].mean(axis=0)
    return out


def variance_within(x, bkps, model, largest):
    order = PARAMETERS[model]
    return float(sum(window_energy(column, bkps, largest, order) for column in x.T))


def calibrate(x, model, min_size, jump, floor, control=None):
    """The exact penalised search with `model` at a price made consistent with
    its own residuals; `control` stops it and follows it."""
    n, d = x.shape
    engine = Engine(x, model)
    price = (PARAMETERS[model] + LOCATION_PRICE / d) * log_n(n)
    variance = variance_within(x, [n], model, min(FIRST_SCALE, n * WIDEST_SCALE_SHARE))
    penalty = price * max(variance, floor)
    min_size = max(min_size, engine.min_size)
    for _ in range(MAX_ROUNDS):
        bkps = optimum(engine, penalty, jump, min_size, control=control)
        residual = x - fitted(x, bkps, model)
        within = variance_within(x, bkps, model, n * WIDEST_SCALE_SHARE)
        drift = float(sum(persistence_variance(column) for column in residual.T))
        implied = price * max(within, drift, floor)
        if implied <= TOLERANCE * penalty:
            break
        penalty = implied
    return Choice(model, engine, bkps, penalty / price, penalty, min_size)


def criterion(choice, variance, n, d):
    """Residual sum of squares on the common noise scale, plus MBIC's parameters."""
    k = len(choice.breakpoints) - 1
    parameters = PARAMETERS[choice.model] * d * (k + 1) + LOCATION_PRICE * k
    return choice.engine.sum_of_costs(choice.breakpoints) / variance + parameters * log_n(n)


def choose(x, min_size, jump, control=None):
    """The calibrated level or trend search that explains `x` best; `min_size`
    None is MIN_SIZE. Several columns are searched standardised."""
    n, d = x.shape
    if d > 1:
        x = x / np.sqrt(short_scale_variance(x))
    floor = noise_floor(x)
    if min_size is None:
        min_size = MIN_SIZE
    candidates = [calibrate(x, LEVEL_MODEL, min_size, jump, floor, control)]
    if TREND_SHORTEST <= n <= TREND_LIMIT:
        candidates.append(calibrate(x, TREND_MODEL, min_size, jump, floor, control))
    variance = max(min(c.variance for c in candidates) / d, floor)
    best = min(candidates, key=lambda c: criterion(c, variance, n, d))
    return dataclasses.replace(best, standardised=d > 1)
