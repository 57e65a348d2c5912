"""What each model fits to a segment, as `Detection.summary` reports it: one
function per kind of fit, giving a dict of named estimates for the rows
[start, end) of the samples × columns x."""

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


def location_spread(location):
    """The segment's `location` per column and its standard deviation (divisor L)."""
    def estimate(x, start, end, names, params):
        segment = x[start:end]
        row = {f"{location.__name__}{n}": float(v)
               for n, v in zip(names, location(segment, axis=0))}
        row.update({f"std{n}": float(v) for n, v in zip(names, np.std(segment, axis=0))})
        return row
    return estimate


def rate(x, start, end, names, params):
    """The rate of each column's counts: its segment mean, as the cost fits it."""
    return {f"rate{n}": float(v) for n, v in zip(names, np.mean(x[start:end], axis=0))}


def waiting_mean(x, start, end, names, params):
    """The mean waiting time (or gap) of each column, as the cost fits it."""
    return {f"mean{n}": float(v) for n, v in zip(names, np.mean(x[start:end], axis=0))}


def spread_about(x, start, end, names, params):
    """Each column's standard deviation about the model's fixed mean (divisor
    L), as the cost estimates it where the data's resolution does not bind."""
    deviation = x[start:end] - np.asarray(params["mean"])
    return {f"std{n}": float(v) for n, v in zip(names, np.sqrt(np.mean(deviation ** 2, axis=0)))}


def linear_fit(x, start, end, names, params):
    """Least squares of column 0 on the other columns, without an intercept, as the cost fits."""
    segment = x[start:end]
    beta = np.linalg.lstsq(segment[:, 1:], segment[:, 0], rcond=None)[0]
    return {f"coef{n}": float(b) for n, b in zip(names[1:], beta)}


def ar_fit(x, start, end, names, params):
    """The autoregression the cost fits: each column on the `order` preceding
    values of the flattened signal (centred by its column means) and an
    intercept. `ar1` weighs the latest value, `ar{order}` the oldest.

    The design is the cost's own: row i regresses on flat positions
    i − order … i − 1, and the first `order` rows repeat row `order`.
    """
    order = params["order"]
    c = x - x.mean(axis=0)
    flat = c.ravel()
    rows = np.arange(start, end)
    first = np.maximum(rows - order, 0)
    design = np.column_stack([flat[first + j] for j in range(order)] + [np.ones(len(rows))])
    beta = np.linalg.lstsq(design, c[np.maximum(rows, order)], rcond=None)[0]
    row = {}
    for t, n in enumerate(names):
        row.update({f"ar{lag}{n}": float(beta[order - lag, t]) for lag in range(1, order + 1)})
        row[f"intercept{n}"] = float(beta[order, t])
    return row


def pinned_line(x, start, end, names, params):
    """The line the cost pins to the sample before the segment (the segment's
    first one at the start of the signal) and the segment's last sample."""
    anchor = max(start, 1) - 1
    steps = end - 1 - anchor
    row = {}
    for n, a, b in zip(names, x[anchor], x[end - 1]):
        row[f"start_value{n}"] = float(a)
        row[f"end_value{n}"] = float(b)
        row[f"slope{n}"] = float((b - a) / steps) if steps else float("nan")
    return row


def line_fit(segment):
    """The least-squares line in time of each column of a segment (samples ×
    columns), fitted about the segment's centre as the "trend" cost fits it:
    the times t from the centre, and per column the mean (the line's value at
    the centre) and the slope per sample (0 for a single sample)."""
    t = np.arange(len(segment)) - (len(segment) - 1) / 2.0
    mean = segment.mean(axis=0)
    spread = t @ t
    slope = t @ (segment - mean) / spread if spread > 0 else np.zeros_like(mean)
    return t, mean, slope


def trend_fit(x, start, end, names, params):
    """The least-squares line of each column in time, as the cost fits: its
    value at the segment's first sample (`level`) and its `slope` per sample."""
    t, mean, slopes = line_fit(x[start:end])
    row = {}
    for n, centre, slope in zip(names, mean, slopes):
        row[f"level{n}"] = float(centre + slope * t[0])
        row[f"slope{n}"] = float(slope)
    return row


@dataclass(frozen=True)
class SegmentLevel:
    """What a plot draws of the model's fit on a segment: the legend's label,
    and lines(x, start, end, column) -> (sample positions, values) of one
    polyline (positions may be halves: -0.5 is the left edge of sample 0)."""

    label: str
    lines: Callable[..., tuple]


def location_level(location, label):
    """A level across the whole segment, at the segment's `location` of the column."""
    def lines(x, start, end, column):
        value = float(location(x[start:end, column]))
        return np.array([start - 0.5, end - 0.5]), np.array([value, value])
    return SegmentLevel(label, lines)


def _pinned_lines(x, start, end, column):
    anchor = max(start, 1) - 1
    return np.array([anchor, end - 1], dtype=np.float64), x[[anchor, end - 1], column]


# The line `pinned_line` reports, from its anchor sample to the segment's last one.
PINNED_LEVEL = SegmentLevel("fitted line", _pinned_lines)


def _trend_lines(x, start, end, column):
    level = trend_fit(x[:, [column]], start, end, [""], None)
    last = level["level"] + level["slope"] * (end - 1 - start)
    return np.array([start, end - 1], dtype=np.float64), np.array([level["level"], last])


# The line `trend_fit` reports, over its segment.
TREND_LEVEL = SegmentLevel("fitted line", _trend_lines)
