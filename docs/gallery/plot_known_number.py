"""
A known number of changes
=========================

When you know how many changes there are, ask for exactly that many. The
exact search (dynamic programming, ``dynp``) finds the best segmentation with
that count; the greedy ones (``binseg``, ``bottomup``, ``window``) stop when
they reach it.
"""

import matplotlib.pyplot as plt

import marbolt_rs
from marbolt_rs import _marbolt_rs as m
from marbolt_rs import datasets

signal, true_bkps = datasets.piecewise_constant(
    n_samples=500, n_bkps=4, noise_std=1.5, delta=(1, 3), seed=11)

fig, axes = plt.subplots(4, 1, figsize=(10, 9), sharex=True, layout="constrained")
for ax, method in zip(axes, ["dynp", "binseg", "bottomup", "window"]):
    result = marbolt_rs.detect(signal, method=method, n_bkps=4)
    result.plot(ax=ax, true_breakpoints=true_bkps)
    ax.set_title(f"{method}: {result.breakpoints[:-1]}  (cost {result.cost:.0f})",
                 fontsize=10)
    ax.set_xlabel("")
print("true:", true_bkps)

# %%
# The exact search gives the lowest cost for its count, by construction. If
# you only know a largest count, ``dynp_all`` returns the best segmentation for
# every count from one pass; the cost falls steeply while real changes are
# added, then slowly.

engine = m.CostEngine(signal, "l2")
best = m.dynp_all(engine, 10, 1, 1)
costs = [engine.error(0, len(signal))] + [engine.sum_of_costs(b) for b in best]

fig, ax = plt.subplots(figsize=(6, 3.2), layout="constrained")
ax.plot(range(len(costs)), costs, "o-")
ax.set(xlabel="number of changes", ylabel="cost of the best segmentation")
for k, bkps in enumerate(best[:6], start=1):
    print(k, bkps[:-1])
