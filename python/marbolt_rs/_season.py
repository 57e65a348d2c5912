"""Seasonal profiles: a pattern that repeats every `period` samples is a season,
not a series of changes, so the default search removes it first.

The profile of a period p is estimated as classical decomposition does, made
robust to the changes being looked for: the signal minus its centred moving
average over one period (which follows level shifts and trends), then the
median of each phase over the cycles, centred to sum to zero. A level shift
disturbs the moving average for one period only, and the median of each
phase ignores the few cycles it touches.
"""

from __future__ import annotations

import numpy as np

from ._noise import spread

# A profile must be seen at least this many times before it counts as a season.
MIN_CYCLES = 4
# The share of the detrended variability a profile must explain, beyond what
# fitting p free values to as many cycles explains by chance, to count as a
# season when the period is found from the data.
STRONG = 0.6
# Among periods explaining about as much, the shortest is taken (a multiple of
# the true period explains as much as the period itself).
NEARLY_AS_STRONG = 0.95
# Searching every period costs one pass over the signal per period.
MAX_SEARCHED_PERIOD = 400
MAX_SEARCHED_LENGTH = 20_000

# Periods implied by a pandas frequency (its rule code before any anchor).
FREQUENCY_PERIODS = {"Q": 4, "QS": 4, "BQ": 4, "BQS": 4, "M": 12, "MS": 12, "BM": 12,
                     "BMS": 12, "SM": 24, "SMS": 24, "W": 52, "D": 7, "B": 5, "H": 24,
                     "BH": 8}


def moving_average(x, period):
    """The centred moving average over one period (2 × p for an even p, as
    classical decomposition uses), per column; NaN where it does not reach."""
    n = len(x)
    out = np.full(x.shape, np.nan)
    sums = np.concatenate([np.zeros((1, x.shape[1])), np.cumsum(x, axis=0)])
    means = (sums[period:] - sums[:-period]) / period
    half = period // 2
    if period % 2:
        out[half:n - half] = means
    else:
        out[half:n - half] = (means[:-1] + means[1:]) / 2
    return out


def seasonal_profile(x, period):
    """The seasonal profile of `x` (samples × columns): (period × columns),
    each column centred to sum to zero; and its strength, the share of the
    detrended variability it explains beyond chance (1 for a pure season,
    about 0 without one)."""
    detrended = x - moving_average(x, period)
    usable = len(x) // period * period
    cycles = detrended[:usable].reshape(-1, period, x.shape[1])
    profile = np.nanmedian(cycles, axis=0)
    profile -= profile.mean(axis=0)
    known = ~np.isnan(detrended[:, 0])
    residual = detrended[known] - profile[np.arange(len(x))[known] % period]
    total = np.sum([spread(c) ** 2 for c in detrended[known].T])
    left = np.sum([spread(c) ** 2 for c in residual.T])
    explained = 1.0 - left / total if total > 0 else 0.0
    chance = period / max(known.sum(), 1)
    return profile, (explained - chance) / (1.0 - chance)


def frequency_period(index):
    """The seasonal period a pandas index's frequency implies, or None."""
    freq = getattr(index, "freqstr", None)
    if freq is None:
        try:
            import pandas as pd
            freq = pd.infer_freq(index) if isinstance(index, pd.DatetimeIndex) else None
        except (TypeError, ValueError):
            freq = None
    if not freq:
        return None
    rule = freq.split("-")[0].lstrip("0123456789")
    return FREQUENCY_PERIODS.get(rule)


def find_period(x):
    """The strongest seasonal period of `x`, or None when no profile is strong.

    Every period from 2 to n / MIN_CYCLES (at most MAX_SEARCHED_PERIOD) is
    scored by its profile's strength; the strongest counts if it explains at
    least STRONG of the detrended variability, and it gives way to its
    shortest divisor that explains nearly as much.
    """
    n = len(x)
    if n > MAX_SEARCHED_LENGTH:
        return None
    top = min(n // MIN_CYCLES, MAX_SEARCHED_PERIOD)
    strength = {p: seasonal_profile(x, p)[1] for p in range(2, top + 1)}
    if not strength:
        return None
    best = max(strength, key=strength.get)
    if strength[best] < STRONG:
        return None
    for divisor in range(2, best):
        if best % divisor == 0 and strength[divisor] >= NEARLY_AS_STRONG * strength[best]:
            return divisor
    return best
