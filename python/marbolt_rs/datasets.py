"""Signals with known change points, for trying out and scoring the searches.

The generators return ``(signal, true_bkps)``: a float64 array of shape
(n_samples, n_features) and its breakpoint list (ascending, ending with
n_samples, as the searches return). The same `seed` gives the same signal and
breakpoints; ``seed=None`` draws fresh entropy. Breakpoints are drawn
uniformly among the segmentations whose every segment holds at least
``max(1, n_samples // (2 * (n_bkps + 1)))`` samples, half the average segment
length, so that no change sits too close to another to be seen.

`load_nile` returns a real signal: the annual flow of the Nile at Aswan.
"""

from __future__ import annotations

from importlib import resources
from typing import NamedTuple, Union

import numpy as np

# Anything numpy.random.default_rng accepts; None draws fresh entropy.
Seed = Union[None, int, np.random.SeedSequence, np.random.Generator]

__all__ = ["piecewise_constant", "piecewise_normal", "piecewise_linear", "load_nile", "Nile"]


def _checked_range(delta, name):
    low, high = (float(v) for v in delta)
    if not 0.0 <= low <= high:
        raise ValueError(f"{name} must be a pair (low, high) with 0 <= low <= high, got {tuple(delta)}")
    return low, high


def _breakpoints(rng, n_samples, n_bkps):
    """Random breakpoints with every segment at least the documented minimum long."""
    if n_bkps < 0 or n_samples < n_bkps + 1:
        raise ValueError(
            f"n_bkps must be between 0 and n_samples - 1 = {n_samples - 1}, got {n_bkps}")
    shortest = max(1, n_samples // (2 * (n_bkps + 1)))
    slack = n_samples - (n_bkps + 1) * shortest
    # Stars and bars: k distinct draws from slack + k places, less their rank,
    # are a uniform non-decreasing k-tuple in [0, slack]; each gives how much
    # of the slack lies before its breakpoint.
    offsets = np.sort(rng.choice(slack + n_bkps, size=n_bkps, replace=False)) - np.arange(n_bkps)
    bkps = shortest * np.arange(1, n_bkps + 1) + offsets
    return [int(b) for b in bkps] + [n_samples]


def _segment_ids(bkps):
    """The segment number of every sample."""
    return np.repeat(np.arange(len(bkps)), np.diff([0] + bkps))


def _signed_steps(rng, size, delta):
    """Magnitudes uniform in `delta`, each with a random sign."""
    return rng.uniform(*delta, size=size) * rng.choice([-1.0, 1.0], size=size)


def _setup(n_samples, n_bkps, n_features, seed):
    if n_features < 1:
        raise ValueError(f"n_features must be at least 1, got {n_features}")
    rng = np.random.default_rng(seed)
    return rng, _breakpoints(rng, n_samples, n_bkps)


def piecewise_constant(n_samples: int = 200, n_bkps: int = 3, n_features: int = 1,
                       noise_std: float = 1.0, delta: tuple[float, float] = (1, 10),
                       seed: Seed = None) -> tuple[np.ndarray, list[int]]:
    """Mean shifts: a constant level per segment plus Gaussian noise.

    The first segment has mean 0 in every column; at each breakpoint every
    column's mean moves by an amount whose size is uniform in `delta` and
    whose sign is random. The noise is N(0, noise_std^2), independent
    everywhere. The `l2` model is the one made for this signal.

    Parameters
    ----------
    n_samples : int, default 200
        The length of the signal.
    n_bkps : int, default 3
        The number of changes, from 0 to n_samples - 1.
    n_features : int, default 1
        The number of columns, at least 1.
    noise_std : float, default 1.0
        The standard deviation of the noise.
    delta : (float, float), default (1, 10)
        The range of the step sizes, 0 <= low <= high.
    seed : None, int, numpy.random.SeedSequence or numpy.random.Generator
        As for `numpy.random.default_rng`; None draws fresh entropy.

    Returns
    -------
    signal : numpy.ndarray
        float64, of shape (n_samples, n_features).
    true_bkps : list of int
        The breakpoints, ending with n_samples.

    Raises
    ------
    ValueError
        An `n_bkps`, `n_features` or `delta` out of range.

    Examples
    --------
    >>> from marbolt_rs import datasets
    >>> signal, true_bkps = datasets.piecewise_constant(300, n_bkps=2, seed=0)
    >>> signal.shape, true_bkps
    ((300, 1), [146, 227, 300])
    """
    delta = _checked_range(delta, "delta")
    rng, bkps = _setup(n_samples, n_bkps, n_features, seed)
    steps = _signed_steps(rng, (n_bkps, n_features), delta)
    means = np.vstack([np.zeros((1, n_features)), np.cumsum(steps, axis=0)])
    noise = rng.normal(scale=noise_std, size=(n_samples, n_features))
    return means[_segment_ids(bkps)] + noise, bkps


def piecewise_normal(n_samples: int = 200, n_bkps: int = 3, n_features: int = 1,
                     delta: tuple[float, float] = (2, 5),
                     seed: Seed = None) -> tuple[np.ndarray, list[int]]:
    """Variance changes: zero-mean Gaussian noise whose scale changes at each breakpoint.

    Segments alternate between standard deviation 1 and a larger one, which
    is drawn per segment and column uniformly in `delta` (so across every
    change the standard deviation grows or shrinks by at least ``delta[0]``);
    whether the first segment is the quiet or the loud one is random. The
    `normal` model is the one made for this signal.

    Parameters
    ----------
    n_samples, n_bkps, n_features, seed
        As for `piecewise_constant`.
    delta : (float, float), default (2, 5)
        The range of the loud segments' standard deviations, 1 <= low <= high.

    Returns
    -------
    signal, true_bkps
        As for `piecewise_constant`.

    Raises
    ------
    ValueError
        As for `piecewise_constant`.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs import datasets
    >>> signal, true_bkps = datasets.piecewise_normal(300, n_bkps=2, seed=0)
    >>> true_bkps, marbolt_rs.detect(signal, "normal").breakpoints
    ([146, 227, 300], [150, 234, 300])
    """
    low, high = _checked_range(delta, "delta")
    if low < 1.0:
        raise ValueError(f"delta is a ratio of standard deviations and must be at least 1, got {delta}")
    rng, bkps = _setup(n_samples, n_bkps, n_features, seed)
    loud = (np.arange(n_bkps + 1) + rng.integers(2)) % 2 == 1
    scales = np.where(loud[:, None], rng.uniform(low, high, size=(n_bkps + 1, n_features)), 1.0)
    noise = rng.normal(size=(n_samples, n_features))
    return scales[_segment_ids(bkps)] * noise, bkps


def piecewise_linear(n_samples: int = 200, n_bkps: int = 3, n_features: int = 1,
                     noise_std: float = 1.0, delta: tuple[float, float] = (0.1, 1.0),
                     seed: Seed = None) -> tuple[np.ndarray, list[int]]:
    """Slope changes: a continuous piecewise-linear trend plus Gaussian noise.

    The trend starts at 0 with a slope (per sample) whose size is uniform in
    `delta` and whose sign is random; at each breakpoint the slope moves by
    such an amount again. The trend is continuous: a segment starts where the
    previous one ended, so each change is a kink, not a jump. The noise is
    N(0, noise_std^2). The `clinear` model is the one made for this signal.

    Parameters
    ----------
    n_samples, n_bkps, n_features, noise_std, seed
        As for `piecewise_constant`.
    delta : (float, float), default (0.1, 1.0)
        The range of the slope changes (per sample), 0 <= low <= high.

    Returns
    -------
    signal, true_bkps
        As for `piecewise_constant`.

    Raises
    ------
    ValueError
        As for `piecewise_constant`.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs import datasets
    >>> signal, true_bkps = datasets.piecewise_linear(300, n_bkps=2, seed=0)
    >>> found = marbolt_rs.detect(signal, "clinear", "dynp", n_bkps=2)
    >>> true_bkps, found.breakpoints
    ([146, 227, 300], [148, 230, 300])
    """
    delta = _checked_range(delta, "delta")
    rng, bkps = _setup(n_samples, n_bkps, n_features, seed)
    slopes = np.cumsum(_signed_steps(rng, (n_bkps + 1, n_features), delta), axis=0)
    per_sample = slopes[_segment_ids(bkps)]
    # Sample t sits at the sum of the slopes of samples 0 .. t-1: no sample
    # ever jumps, only the increments change.
    trend = np.vstack([np.zeros((1, n_features)), np.cumsum(per_sample[:-1], axis=0)])
    noise = rng.normal(scale=noise_std, size=(n_samples, n_features))
    return trend + noise, bkps


class Nile(NamedTuple):
    """The annual flow of the Nile, sample by sample, as `load_nile` returns it.

    Parameters
    ----------
    years : numpy.ndarray
        The years, int64.
    flow : numpy.ndarray
        The flow in 10^8 cubic metres, float64.

    Examples
    --------
    >>> from marbolt_rs.datasets import load_nile
    >>> years, flow = load_nile()
    >>> int(years[0]), float(flow[0])
    (1871, 1120.0)
    """

    years: np.ndarray
    flow: np.ndarray


def load_nile() -> Nile:
    """The annual flow of the Nile at Aswan, 1871-1970.

    100 yearly values in 10^8 cubic metres, a classic change-point series: the
    level drops after 1898, when the first Aswan dam was begun (with ``l2``,
    the change point is sample 28, the year 1899).

    Returns
    -------
    Nile
        ``Nile(years, flow)``: `years` holds 1871 .. 1970 as int64, `flow`
        the float64 values; pass `flow` to a search (or a pandas Series of
        it indexed by the years, to be answered in years).

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> years, flow = load_nile()
    >>> bkps = marbolt_rs.detect(flow).breakpoints
    >>> bkps, int(years[bkps[0]])
    ([28, 100], 1899)
    """
    text = (resources.files(__package__) / "data" / "nile.csv").read_text()
    flow = np.array(text.split(), dtype=np.float64)
    return Nile(np.arange(1871, 1871 + len(flow), dtype=np.int64), flow)
