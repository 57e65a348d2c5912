"""
Choosing the penalty from the path
==================================

The penalty is the price of one more change. When the default rule is in
doubt, look at every optimal segmentation over a whole range of penalties
(CROPS): few penalties are tried, and each segmentation comes with the range
of penalties for which it is optimal.
"""

import matplotlib.pyplot as plt

import marbolt_rs
from marbolt_rs import datasets

signal, true_bkps = datasets.piecewise_constant(
    n_samples=600, n_bkps=5, noise_std=2.0, delta=(1, 4), seed=4)
default = marbolt_rs.detect(signal, "l2")
print(f"default penalty {default.penalty:.1f}, {default.n_bkps} changes; rule:")
print(default.penalty_rule)

path = marbolt_rs.penalty_path(signal, 20.0, 1000.0)
print(path)
for entry in path[:8]:
    print(f"{entry.n_bkps:3} change(s) for pen in [{entry.pen_range[0]:8.2f}, "
          f"{entry.pen_range[1]:8.2f}]")

# %%
# Left, the number of changes against the penalty, the default penalty dotted:
# a long flat step is a segmentation that holds over a wide range of prices,
# and the elbow where the steps start to shorten is where noise begins to be
# cut. Right, the widest step among those with at least one change, against
# the true changes (dashed).

widest = max((e for e in path if e.n_bkps > 0),
             key=lambda e: e.pen_range[1] / e.pen_range[0])
middle = (widest.pen_range[0] * widest.pen_range[1]) ** 0.5   # on the log axis
chosen = marbolt_rs.detect(signal, "l2", pen=middle)
print("widest step:", widest.breakpoints)
print("true changes:", true_bkps)

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 3.8), layout="constrained",
                                  width_ratios=[1, 2])
path.plot(ax=left)
chosen.plot(ax=right, true_breakpoints=true_bkps)
