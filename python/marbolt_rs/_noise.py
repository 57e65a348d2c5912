"""Noise scales of a signal: what the default penalties price one sample's worth
of noise at.

A change must stand out from the variability the signal shows without one.
On real series that is more than the fast wiggle between neighbouring
samples: serial correlation and slow drift let a stretch of samples wander
together, and a search that prices changes at the wiggle's scale cuts the
wander into a staircase. The scales here measure the variability of local
means: the means of two neighbouring windows of L samples differ, over noise
alone, by about √(2/L) times the long-run standard deviation, so half of L
times their squared difference estimates the long-run variance at scale L.
Taken over windows that do not straddle a known change, with a robust spread
that ignores the few windows an unknown change disturbs and the many equal
values of rounded data, the largest over the scales searched is the
variability a change must beat.
"""

from __future__ import annotations

import math

import numpy as np

from ._signal import columns

# Φ⁻¹((1 + level) / 2): the quantile of |z| for a standard normal z.
NORMAL_QUANTILE = {0.75: 1.1503493803760079, 0.9: 1.6448536269514722}
# Local means are compared through the 75 % quantile of their absolute
# differences: robust to a quarter of the windows being disturbed by
# changes, and not fooled by ties as the median is when most differences
# of rounded data are exactly zero.
LEVEL = 0.75
MIN_WINDOWS = 8
SPREAD_SAMPLES = 1 << 16
# Scales (window lengths) searched: a geometric grid from 1 up to the largest.
N_SCALES = 8
# The AR(1) coefficient a residual's persistence is capped at: past it, the
# long-run variance is a hundredfold the variance and the series a drift.
MAX_PERSISTENCE = 0.99
# The noise floor, as a share of the signal's spread.
FLOOR_SHARE = 2.0 ** -20


def spread(values, level=0.9, centre=True):
    """A robust standard deviation: the `level` quantile of the absolute values
    (about their median when `centre`), scaled to a normal's standard deviation.

    Of more than SPREAD_SAMPLES values an evenly strided subset is used: a
    quantile is known to a fraction of a percent from that many, and long
    signals would otherwise spend seconds sorting.
    """
    values = np.asarray(values, dtype=np.float64)
    if values.size == 0:
        return 0.0
    values = values[::-(-values.size // SPREAD_SAMPLES)]
    if centre:
        values = values - np.median(values)
    return float(np.quantile(np.abs(values), level)) / NORMAL_QUANTILE[level]


def scales(largest):
    """Window lengths from 1 to `largest`, geometrically spaced."""
    return sorted({int(round(v)) for v in np.geomspace(1, max(1.0, largest), N_SCALES)})


def local_means(x, length):
    """Means of x[t : t + length] for every t (one column)."""
    sums = np.concatenate([[0.0], np.cumsum(x)])
    return (sums[length:] - sums[:-length]) / length


def window_energy(x, bkps, largest, order=1):
    """The long-run variance at the most variable scale up to `largest`, from
    windows inside the segments of `bkps` (one column).

    order 1 compares neighbouring local means (variability about a level: a
    trend counts); order 2 takes their second differences (variability about
    a line: a trend does not count, a curve does). Their variances, over
    noise alone, are 2 and 6 times the long-run variance over L.
    """
    weight = 2.0 if order == 1 else 6.0
    starts = [0, *bkps[:-1]]
    best = 0.0
    for length in scales(largest):
        steps = []
        for start, end in zip(starts, bkps):
            if end - start < (order + 1) * length:
                continue
            means = local_means(x[start:end], length)
            step = means[length:] - means[:-length]
            steps.append(step if order == 1 else step[length:] - step[:-length])
        steps = np.concatenate(steps) if steps else steps
        # A handful of differences gives no spread worth trusting, except at
        # the finest scale of a short signal, where it is all there is.
        if len(steps) >= MIN_WINDOWS or (length == 1 and len(steps)):
            variability = spread(steps, LEVEL, centre=False)
            best = max(best, length / weight * variability ** 2)
    return best


def persistence_variance(residual):
    """The long-run variance of a residual read as AR(1) noise: its variance
    times (1 + φ) / (1 − φ), φ from the variance of its differences, both
    robust. Large when the residual drifts, as the misfit of a smooth curve
    by a few segments does."""
    variance = spread(residual) ** 2
    if variance <= 0:
        return 0.0
    phi = 1.0 - spread(np.diff(residual)) ** 2 / (2.0 * variance)
    phi = min(max(phi, 0.0), MAX_PERSISTENCE)
    return variance * (1.0 + phi) / (1.0 - phi)


def short_scale_variance(x):
    """Per column, the long-run variance at the most variable scale up to 8
    samples (at most a sixteenth of the signal), at least the noise floor:
    the noise the default penalties of the squared-error models price a
    change against."""
    x = columns(x)
    largest = min(8.0, len(x) / 16.0)
    return np.array([max(window_energy(column, [len(x)], largest), noise_floor(column))
                     for column in x.T])


def noise_floor(x):
    """The smallest noise variance worth pricing: that of changes a millionth
    of the signal's spread (per column, summed), below which rounding, not
    the signal, decides; a constant signal gets the smallest positive float."""
    x = columns(x)
    deviation = np.max(np.abs(x - np.median(x, axis=0)), axis=0) if len(x) else 0.0
    return max(float(np.sum((FLOOR_SHARE * deviation) ** 2)), np.finfo(np.float64).tiny)


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


def log_n(n):
    return math.log(max(n, 2))
