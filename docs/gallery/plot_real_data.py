"""
Real data: a season, a trend and a law
======================================

Drivers killed or seriously injured in Great Britain, monthly from 1969 to
1984 (R's ``UKDriverDeaths``): every December peaks, the level drifts down,
and the wearing of seat belts in the front seats became compulsory on 31
January 1983. ``detect(x)`` without a model is made for such series: it
removes the season, tries a level and a trend per segment, and prices a
change against the noise as it really is. This example runs it on the copy
of the series in ``bench/data/real`` (where the evaluation of the defaults
reads it), beside the plain level search.
"""

import pathlib

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import marbolt_rs

# The docs build runs the gallery from docs/gallery.
REAL = pathlib.Path("../../bench/data/real")


def load(name):
    """One shipped real series as a pandas Series over its time labels."""
    frame = pd.read_csv(REAL / f"{name}.csv")
    index = pd.Index(frame["time"], name="time")
    return pd.Series(frame["value"].to_numpy(), index=index)


deaths = load("ukdriverdeaths")
deaths.index = pd.PeriodIndex(deaths.index, freq="M")

# %%
# The automatic default. A monthly ``PeriodIndex`` says the period (12); the
# result says what was removed, which model won and how the penalty was set.

result = marbolt_rs.detect(deaths)
print("changes:", [str(label) for label in result.labels])
print("model:", result.model, " season:", result.season.period, "months")
print("penalty rule:", result.penalty_rule)
print(result.summary().round(1).to_string())

# %%
# The plain level search on the series as given: ``"l2"`` at its default
# penalty, which sees the drift and the winters as one long change.

plain = marbolt_rs.detect(deaths, "l2")
print("l2:", [str(label) for label in plain.labels])

# %%
# Top, the plain search on the series; middle, the automatic default on the
# series without its season (``result.signal``), a fitted line per segment;
# bottom, the seasonal profile it removed, one value per month.

fig, (top, middle, bottom) = plt.subplots(
    3, 1, figsize=(10, 9), layout="constrained", height_ratios=[3, 3, 2])
plain.plot(ax=top)
top.set_title('detect(deaths, "l2"): the plain level search')
result.plot(ax=middle)
middle.set_title(f"detect(deaths): model {result.model!r}, the season removed")
months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun",
          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
first = deaths.index[0].month - 1
profile = np.roll(result.season.profile[:, 0], first)
bottom.bar(months, profile, color="tab:grey")
bottom.set_title("the seasonal profile removed (deaths above or below the trend)")

# %%
# The same call on other classic series of R: a trend with a growing
# season, a rising trend with a season, a lake level that drifts, a cycle of
# ten years, a share price through September 2001. The automatic default
# finds the documented change or none; the plain level search (at its own
# default penalty) finds what the drift and the waves suggest.

for name in ["airpassengers", "co2", "lakehuron", "lynx", "sp2001_dal"]:
    series = load(name)
    found = marbolt_rs.detect(series)
    changes = ", ".join(str(label) for label in found.labels) or "no change"
    level = marbolt_rs.detect(series, "l2")
    print(f"{name:13} {len(series):3} samples   detect(x): {found.model:5}",
          f"{changes:10}   l2: {level.n_bkps} change(s)")
