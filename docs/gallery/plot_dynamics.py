"""
Trends and dependent noise
==========================

Real series rarely sit on flat levels with independent noise. Two models
look at other things: "clinear" fits a continuous line through each segment
and finds where the slope changes, and "ar" fits an autoregression and finds
where the dynamics change.
"""

import matplotlib.pyplot as plt
import numpy as np

import marbolt_rs
from marbolt_rs import datasets

trend, trend_bkps = datasets.piecewise_linear(
    n_samples=400, n_bkps=3, noise_std=2.0, delta=(0.2, 0.6), seed=5)

# %%
# "clinear" has no default penalty, and no pruning is sound for it (its lines
# are pinned to the sample before each segment, so cutting a segment can
# raise its cost without limit): a ``pen`` gets the exact penalised search,
# which keeps every start. With a known number of changes the exact dynamic
# programming serves it; ``dynp_all`` would give every count from one pass.

slopes = marbolt_rs.detect(trend, "clinear", method="dynp", n_bkps=3)
print("clinear:", slopes.breakpoints, " true:", trend_bkps)

# %%
# An autoregression whose coefficient changes sign twice: the level never
# moves, so a mean-shift model has nothing to find but noise.

rng = np.random.default_rng(8)
a = np.repeat([0.8, -0.5, 0.8], 200)
noise, ar_signal = rng.normal(size=600), np.zeros(600)
for t in range(1, 600):
    ar_signal[t] = a[t] * ar_signal[t - 1] + noise[t]
dynamics = marbolt_rs.detect(ar_signal, "ar", params={"order": 1})
level = marbolt_rs.detect(ar_signal, "l2")
print("ar:", dynamics.breakpoints, " l2:", level.breakpoints)
print(dynamics.summary().round(2).to_string())

fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6), layout="constrained")
slopes.plot(ax=top, true_breakpoints=trend_bkps)
top.set_title(f"clinear, dynp: slopes change at {slopes.breakpoints[:-1]}")
dynamics.plot(ax=bottom, true_breakpoints=[200, 400, 600])
bottom.set_title(f"ar (order 1): dynamics change at {dynamics.breakpoints[:-1]}")
