"""
One engine, many searches
=========================

The compiled module lets you fit a cost model once and run any number of
searches on it. The sliding window is split in two for that reason:
``window_fit`` scores every window centre once, and ``window_predict`` reads
any number of segmentations off the scores.
"""

import matplotlib.pyplot as plt

from marbolt_rs import _marbolt_rs as m
from marbolt_rs import datasets

signal, true_bkps = datasets.piecewise_constant(n_samples=800, n_bkps=5, seed=2)
engine = m.CostEngine(signal, "l2")
width = 60
inds, score = m.window_fit(engine, width, 1)

for n_bkps in (2, 5, 8):
    found = m.window_predict(engine, inds, score, width, 1, 2, n_bkps=n_bkps)
    print(n_bkps, found)
print("true", true_bkps)

# %%
# The score of a centre is how much the cost of the window around it drops
# when the window is cut there; the peaks are the candidates, taken highest
# first.

fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 5.5), sharex=True,
                                  layout="constrained")
top.plot(signal, lw=0.8, color="0.3")
bottom.plot(inds, score, color="tab:blue")
for b in m.window_predict(engine, inds, score, width, 1, 2, n_bkps=5)[:-1]:
    for ax in (top, bottom):
        ax.axvline(b, color="tab:red", lw=1)
bottom.set(xlabel="sample", ylabel="window score")
