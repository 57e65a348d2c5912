"""What each model fits to a segment, one row per segment, for `Detection.summary`."""

from html import escape

import numpy as np

from ._signal import columns, label_at


def segment_rows(result):
    """One dict per segment: where it lies, its cost and the model's estimates."""
    x = columns(result.signal)
    names = column_names(result.columns, x.shape[1])
    estimate = ESTIMATES[result.model]
    rows = []
    for (start, end), cost in zip(result.segments, result.segment_costs):
        row = {"start": start, "end": end, "length": end - start}
        if result.index is not None:
            row["first_label"] = label_at(result.index, start)
            row["last_label"] = label_at(result.index, end - 1)
        row["cost"] = cost
        row.update(estimate(x, start, end, names, result.params or {}))
        rows.append(row)
    return rows


def column_names(names, d):
    """Suffixes that tell the columns' estimates apart: none for one column."""
    if d == 1:
        return [""]
    return [f"_{name}" for name in (names if names is not None else range(d))]


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
    order = params.get("order")
    order = 4 if order is None else int(order)
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


ESTIMATES = {
    "l1": location_spread(np.median),
    "l2": location_spread(np.mean),
    "normal": location_spread(np.mean),
    "rbf": location_spread(np.mean),
    "cosine": location_spread(np.mean),
    "rank": location_spread(np.mean),
    "mahalanobis": location_spread(np.mean),
    "linear": linear_fit,
    "ar": ar_fit,
    "clinear": pinned_line,
}


def as_table(rows):
    """A pandas DataFrame of the rows when pandas is installed, else the rows."""
    try:
        import pandas as pd
    except ImportError:
        return rows
    return pd.DataFrame(rows)


def html_table(rows, caption):
    """The rows as an HTML table, for notebooks."""
    head = "".join(f"<th>{escape(str(key))}</th>" for key in rows[0])
    body = "".join("<tr>" + "".join(f"<td>{escape(cell(v))}</td>" for v in row.values())
                   + "</tr>" for row in rows)
    return (f"<table><caption>{escape(caption)}</caption><thead><tr>{head}</tr></thead>"
            f"<tbody>{body}</tbody></table>")


def cell(value):
    return f"{value:.6g}" if isinstance(value, float) else str(value)
