"""
Where the Nile changed
======================

The annual flow of the Nile at Aswan, 1871-1970, ships with the package. Its
level dropped after 1898, when the first Aswan dam was begun: the classic
test of a change-point method.
"""

import pandas as pd

import marbolt_rs
from marbolt_rs.datasets import load_nile

years, flow = load_nile()
nile = pd.Series(flow, index=pd.Index(years, name="year"))

# %%
# One call finds the change: PELT over the mean-shift model "l2", at the
# model's default penalty. A pandas Series keeps its index, so the change
# comes back as the first year of the new regime.

result = marbolt_rs.detect(nile, model="l2")
print(result.labels, result.penalty_rule)

# %%
# How sure is it? The 95 % interval of the change (Bai, 1997), in years:

print(result.confidence_intervals(labels=True))

# %%
# What each segment holds: its place, its cost and the model's estimates.

print(result.summary().round(1).to_string())

# %%
# The picture: the signal over its shaded segments, the interval as a grey
# band.

ax = result.plot(confidence=0.95)
ax.set_ylabel("flow (10⁸ m³)")

# %%
# The "normal" model, which also looks for changes of variance, finds the
# same change; asked for exactly two changes, the exact search adds an
# earlier one.

print(marbolt_rs.detect(nile, model="normal").labels)
print(marbolt_rs.detect(nile, method="dynp", n_bkps=2).labels)
