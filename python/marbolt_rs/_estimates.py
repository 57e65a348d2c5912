"""What each model fits to a segment, as `Detection.summary` reports it: one
function per kind of fit, giving a dict of named estimates for the rows
[start, end) of the samples × columns x."""

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
