"""
What each model sees
====================

A model is the cost of one segment: low when the segment is homogeneous in
the model's sense. Each panel below is a seeded signal of 300 samples with
changes at 100 and 200 (dashed) of the kind one model is made for, and the
segments that model finds at its default penalty (shaded), with the fit it
draws on each; "clinear", which has no default penalty, is asked for two
changes.
"""

import matplotlib.pyplot as plt
import numpy as np

import marbolt_rs

rng = np.random.default_rng(7)
n = 300
true_bkps = [100, 200, 300]
segment = np.repeat([0, 1, 2], 100)  # the segment of each sample


def levels(values):
    """One value per segment, sample by sample."""
    return np.asarray(values, dtype=float)[segment]


def autoregression(coefficients):
    """x[t] = a x[t-1] + noise, with a different `a` on each segment."""
    a, noise, x = levels(coefficients), rng.normal(size=n), np.zeros(n)
    for t in range(1, n):
        x[t] = a[t] * x[t - 1] + noise[t]
    return x


regressor = rng.normal(size=n)
angle = levels([0.3, 1.8, 0.3]) + rng.normal(scale=0.15, size=n)
radius = rng.uniform(0.5, 3.0, size=n)
two_clusters = rng.choice([-1.0, 1.0], size=n) + rng.normal(scale=0.1, size=n)

cases = [
    ("l2", "a shift of the mean",
     levels([0, 3, 1]) + rng.normal(size=n), {}),
    ("l1", "a shift of the median, through outliers",
     levels([0, 2, 0.5]) + 0.7 * rng.standard_t(1.5, size=n), {}),
    ("normal", "a change of variance (or of mean)",
     levels([1, 3, 1]) * rng.normal(size=n), {}),
    ("rbf", "a change of shape: same mean and variance",
     np.where(segment == 1, two_clusters, rng.normal(size=n)),
     {"params": {"gamma": 4.0}}),
    ("cosine", "a change of direction (two columns)",
     np.c_[radius * np.cos(angle), radius * np.sin(angle)], {}),
    ("rank", "a shift under heavy tails (ranks only)",
     levels([0, 1.5, 0]) + 0.5 * rng.standard_cauchy(size=n), {}),
    ("mahalanobis", "a shift in a metric that mutes the noisy column",
     np.c_[levels([0, 2, 0]) + rng.normal(size=n), rng.normal(scale=5, size=n)],
     {"params": {"metric": np.diag([1.0, 0.04])}}),
    ("clinear", "a change of slope, no jump",
     np.cumsum(levels([0.08, -0.1, 0.06])) + rng.normal(scale=0.5, size=n),
     {"method": "dynp", "n_bkps": 2}),
    ("linear", "a change of the coefficient of column 1 on column 0",
     np.c_[levels([1, -1, 2]) * regressor + rng.normal(scale=0.3, size=n),
           regressor], {}),
    ("ar", "a change of the dynamics",
     autoregression([0.9, -0.6, 0.9]), {}),
    ("trend", "a jump and a turn of a trend",
     np.r_[0.03 * np.arange(100), 5 - 0.02 * np.arange(100),
           3 + 0.04 * np.arange(100)] + rng.normal(scale=0.5, size=n), {}),
    ("poisson", "a change of rate in counts",
     rng.poisson(levels([1.0, 4.0, 2.0])).astype(float), {}),
    ("exponential", "a change of rate in waiting times",
     rng.exponential(levels([1.0, 0.2, 1.0])), {}),
    ("variance", "a change of spread about a fixed mean",
     rng.normal(scale=levels([1.0, 3.0, 1.5])), {"params": {"mean": 0.0}}),
]

fig, axes = plt.subplots(7, 2, figsize=(11, 18), layout="constrained")
for ax, (model, sees, signal, options) in zip(axes.flat, cases):
    result = marbolt_rs.detect(signal, model, **options)
    result.plot(ax=ax, true_breakpoints=true_bkps)
    if model in ("l1", "rank"):  # heavy tails: show the bulk, not the extremes
        ax.set_ylim(np.percentile(signal, [1, 99]) + [-1, 1])
    ax.set_title(f'"{model}": {sees}', fontsize=10)
    ax.set_xlabel("")
    print(f"{model:12} found {result.breakpoints}")

# %%
# Two of them need a word. The "rbf" kernel compares every sample with every
# other one; its default bandwidth ``gamma`` (1 / the median squared distance)
# is too wide to tell two tight clusters from one bell at this length, and a
# narrower kernel (``gamma`` 4) sees it. "clinear" has no default penalty (its
# lines pass through samples, so extra knots always pay off a little): give
# ``n_bkps`` to the exact search, as here, or a ``pen``.
#
# The mean-shift model on the same signals shows why the choice matters:
# outliers become segments of their own, a trend a staircase, and a change of
# variance alone is not a change it can see.

for model, _, signal, options in cases:
    if model in ("l1", "normal", "ar", "trend", "exponential", "variance"):
        found = marbolt_rs.detect(signal, "l2").breakpoints
        print(f"l2 on the {model:11} signal: {found}")
