"""
A long signal
=============

PELT with the "l2" model on one column (what ``detect(x)`` runs on signals of
over 20 000 samples, a few times over to calibrate its penalty) stays close
to linear in the number of samples however long the segments are: functional
pruning keeps about a dozen candidate starts alive per sample, and the answer
is the plain search's, to the bit.
"""

import matplotlib.pyplot as plt
import numpy as np

import marbolt_rs

rng = np.random.default_rng(2026)
n = 1_000_000
levels = np.repeat(rng.normal(0.0, 2.0, 6), -(-n // 6))[:n]
x = levels + rng.standard_normal(n)  # a million samples, 5 mean shifts

result = marbolt_rs.detect(x)
print(result.breakpoints)

# %%
# A million points make a solid band; one sample in a hundred shows the
# levels, with the segment means found.

fig, ax = plt.subplots(figsize=(10, 3.5), layout="constrained")
ax.plot(np.arange(0, n, 100), x[::100], lw=0.5, color="0.6")
for (start, end), row in zip(result.segments, result.summary().itertuples()):
    ax.hlines(row.mean, start, end, color="tab:red", lw=2)
ax.set(xlabel="sample", title=f"{result.n_bkps} changes in {n:,} samples")
