"""
Scoring many signals against their annotations
==============================================

`marbolt_rs.datasets` makes signals whose changes are known, and
`marbolt_rs.metrics` scores a found segmentation against them.
`marbolt_rs.detect_many` searches a batch of signals on a thread pool (every
search releases the interpreter lock).
"""

import matplotlib.pyplot as plt
import numpy as np

import marbolt_rs
from marbolt_rs import datasets, metrics

signals, annotations = zip(*(
    datasets.piecewise_constant(n_samples=400, n_bkps=3, noise_std=1.0,
                                delta=(0.5, 3), seed=seed)
    for seed in range(40)))

# %%
# One batch per method, each signal with its true changes beside it:

scores = {}
for method, options in [("pelt", {}), ("binseg", {}), ("bottomup", {}),
                        ("window", {"width": 40})]:
    results = marbolt_rs.detect_many(signals, "l2", method, **options)
    scores[method] = np.array([
        (*metrics.precision_recall(true, r.breakpoints, margin=5),
         metrics.hausdorff(true, r.breakpoints),
         metrics.rand_index(true, r.breakpoints))
        for true, r in zip(annotations, results)])
    p, r, h, ri = scores[method].mean(axis=0)
    print(f"{method:9} precision {p:.2f}  recall {r:.2f}  "
          f"Hausdorff {np.median(scores[method][:, 2]):5.1f} (median)  "
          f"Rand {ri:.3f}")

# %%
# Precision and recall at a margin of 5 samples, over the 40 signals:

fig, ax = plt.subplots(figsize=(7, 3.5), layout="constrained")
names = list(scores)
x = np.arange(len(names))
ax.bar(x - 0.2, [scores[k][:, 0].mean() for k in names], 0.4, label="precision")
ax.bar(x + 0.2, [scores[k][:, 1].mean() for k in names], 0.4, label="recall")
ax.set_xticks(x, names)
ax.set_ylim(0, 1.05)
ax.legend(loc="lower right")
