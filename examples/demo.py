"""Change points in the annual flow of the Nile at Aswan, 1871-1970, and in a
signal of two million samples.

Runs the searches of marbolt_rs on the real signal shipped with the package
(`marbolt_rs.datasets.load_nile`) with the "l2" (mean shifts) and "normal" (mean and variance shifts) models,
prints the breakpoints and the years they fall on, and draws the signal with
its segments to a PNG. Then times `detect` on a long seeded signal with a few
mean shifts, where PELT stays near linear in the number of samples.
"""

import math
import pathlib
import sys
import time

import numpy as np

from marbolt_rs import _marbolt_rs as m
from marbolt_rs import default_penalty, detect
from marbolt_rs.datasets import load_nile

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIRST_YEAR = 1871  # sample i is the year 1871 + i
MIN_SIZE = 2


def years(bkps):
    """A breakpoint b starts a new segment at sample b, i.e. in year 1871 + b."""
    return ", ".join(str(FIRST_YEAR + b) for b in bkps[:-1]) or "none"


def show(name, bkps):
    print(f"  {name:<28} {str(bkps):<22} new regime from: {years(bkps)}")


def run_model(x, model, pen):
    engine = m.CostEngine(x, model)
    print(f'\nModel "{model}" (penalty {pen:.4g}, min_size {MIN_SIZE}):')
    found = m.pelt(engine, pen, 1, MIN_SIZE)
    show("pelt", found)
    show("dynp, 1 breakpoint", m.dynp(engine, 1, 1, MIN_SIZE))
    show("dynp, 2 breakpoints", m.dynp(engine, 2, 1, MIN_SIZE))
    show("binseg, pen", m.binseg(engine, 1, MIN_SIZE, pen=pen))
    show("bottomup, 1 breakpoint", m.bottomup(engine, 1, MIN_SIZE, n_bkps=1))
    inds, score = m.window_fit(engine, 20, 1)
    show("window (width 20), 1 bkp", m.window_predict(engine, inds, score, 20, 1, MIN_SIZE, n_bkps=1))
    print(f"  crops over [{pen / 2:.4g}, {pen * 2:.4g}]:")
    for lower, upper, bkps in m.crops(engine, pen / 2, pen * 2, 1, MIN_SIZE):
        print(f"    pen in [{lower:12.4g}, {upper:12.4g}]: {len(bkps) - 1} breakpoint(s), "
              f"from: {years(bkps)}")
    return found


def show_interval(x):
    """The l2 change with its 95 % confidence interval, and what each segment holds."""
    result = detect(x, "l2")
    print("\nl2 at its default penalty, with 95 % confidence intervals:")
    for b, (low, high) in zip(result.breakpoints, result.confidence_intervals(0.95)):
        print(f"  change in {FIRST_YEAR + b}, between {FIRST_YEAR + low} and {FIRST_YEAR + high}")
    table = result.summary()  # a DataFrame with pandas, else a list of dicts
    for row in table.to_dict("records") if hasattr(table, "to_dict") else table:
        print(f"  {FIRST_YEAR + row['start']}-{FIRST_YEAR + row['end'] - 1}: "
              f"mean {row['mean']:.1f}, standard deviation {row['std']:.1f}")


def long_signal(n=2_000_000, n_changes=5):
    """detect() on n samples of unit noise around n_changes + 1 random levels."""
    rng = np.random.default_rng(2026)
    levels = np.repeat(rng.normal(0.0, 2.0, n_changes + 1), -(-n // (n_changes + 1)))[:n]
    x = levels + rng.standard_normal(n)
    start = time.perf_counter()
    result = detect(x)
    elapsed = time.perf_counter() - start
    print(f"\nA long signal: {n:,} samples, {n_changes} mean shifts at every {-(-n // (n_changes + 1)):,}"
          f" samples.\n  detect(x) found {result.breakpoints} in {elapsed:.2f} s")


def plot(x, bkps, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = FIRST_YEAR + np.arange(len(x))
    fig, ax = plt.subplots(figsize=(9, 3.5))
    ax.plot(t, x, color="0.35", lw=1, label="annual flow")
    start = 0
    for end in bkps:
        ax.hlines(x[start:end].mean(), t[start], t[end - 1], color="tab:red", lw=2.5)
        start = end
    for b in bkps[:-1]:
        ax.axvline(FIRST_YEAR + b - 0.5, color="tab:red", ls="--", lw=1)
    ax.set(xlabel="year", ylabel="flow (10^8 m^3)", title="Nile at Aswan: PELT, l2 model")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)


def main():
    x = load_nile().flow
    n = len(x)
    print(f"Nile flow at Aswan, {FIRST_YEAR}-{FIRST_YEAR + n - 1}: {n} samples")
    # 2 log(n) times a robust noise variance from the first differences.
    found = run_model(x, "l2", default_penalty(x, "l2"))
    run_model(x, "normal", 2 * math.log(n) * 3)
    show_interval(x)
    long_signal()
    path = ROOT / "out" / "nile_segments.png"
    plot(x, found, path)
    print(f"\nPlot of the l2 segmentation written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
