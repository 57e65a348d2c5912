"""Noise scales of a signal, robust to the changes being looked for: what the
default penalties price one sample's worth of noise at."""

from __future__ import annotations

import math

import numpy as np

from ._signal import columns

# 1 / Phi^-1(3/4): turns a median absolute deviation into a Gaussian standard deviation.
MAD_TO_SD = 1.4826


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
