"""
Counts, waiting times and volatility
====================================

Three likelihood models of the package read data that a mean-shift model
misreads: ``"poisson"`` counts events per interval and finds where their
rate changes, ``"exponential"`` reads the gaps between events and finds
where they shorten or lengthen, and ``"variance"`` finds where the spread
about a mean that does not change grows or shrinks, as the volatility of
returns does. Each panel is a seeded series with its true changes dashed.
"""

import matplotlib.pyplot as plt
import numpy as np

import marbolt_rs

rng = np.random.default_rng(11)

# %%
# Counts: events per hour at a rate of 2, then 6, then 3. The mean-shift
# model finds nearly the same changes here, but it prices the noise of every
# segment alike; "poisson" knows that the spread of counts grows with their
# rate, and its summary gives each segment's rate.

counts = rng.poisson(np.repeat([2.0, 6.0, 3.0], [250, 150, 200])).astype(float)
by_rate = marbolt_rs.detect(counts, "poisson")
by_level = marbolt_rs.detect(counts, "l2")
print("poisson:", by_rate.breakpoints, " l2:", by_level.breakpoints)
print(by_rate.summary().round(2).to_string())

# %%
# Waiting times: the gaps between 400 events, of mean 1 and then of mean
# 0.25 (the events come four times as often).

gaps = rng.exponential(np.repeat([1.0, 0.25], [250, 150]))
by_gap = marbolt_rs.detect(gaps, "exponential")
by_level = marbolt_rs.detect(gaps, "l2")
print("exponential:", by_gap.breakpoints, " l2:", by_level.breakpoints)

# %%
# Volatility: daily returns about a mean of zero whose standard deviation
# goes from 1 to 2.5 and back. The mean never moves, so "variance" holds it
# fixed (the column mean, or ``params={"mean": 0.0}``) and fits a spread per
# segment; a mean-shift model has nothing to see.

returns = rng.normal(0.0, np.repeat([1.0, 2.5, 1.0], [300, 100, 200]))
by_spread = marbolt_rs.detect(returns, "variance", params={"mean": 0.0})
by_level = marbolt_rs.detect(returns, "l2")
print("variance:", by_spread.breakpoints, " l2:", by_level.breakpoints)

# %%
# Rounded data: a thermometer that reads whole degrees, one shift of a
# degree. A run of equal readings has no spread at all, which the Gaussian
# likelihood of "normal" would buy as a change of its own; the package keeps
# every variance at least at the resolution of the data (q² / 2π for a step
# q), so only the shift remains. ``params={"resolution": 0}`` turns that off.

shift = np.repeat([20.0, 21.0], 500)
degrees = np.round(shift + rng.normal(scale=0.6, size=1000))
with_floor = marbolt_rs.detect(degrees, "normal")
without = marbolt_rs.detect(degrees, "normal", params={"resolution": 0.0})
print("normal:", with_floor.breakpoints, " without the floor:", without.n_bkps,
      "changes")

# %%
# The four series with the segments their models find, true changes dashed:

fig, axes = plt.subplots(4, 1, figsize=(10, 11), layout="constrained")
panels = [
    (by_rate, [250, 400, 600], "poisson: the rate of counts"),
    (by_gap, [250, 400], "exponential: the gaps between events"),
    (by_spread, [300, 400, 600], "variance: the spread about a fixed mean"),
    (with_floor, [500, 1000], "normal on whole degrees, at their resolution"),
]
for ax, (result, truth, title) in zip(axes, panels):
    result.plot(ax=ax, true_breakpoints=truth)
    ax.set_title(f"{title}: changes at {result.breakpoints[:-1]}")
