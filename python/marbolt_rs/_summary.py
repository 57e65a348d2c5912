"""What each model fits to a segment, one row per segment, for `Detection.summary`."""

from html import escape

from ._models import MODELS
from ._signal import columns, label_at


def segment_rows(result):
    """One dict per segment: where it lies, its cost and the model's estimates."""
    x = columns(result.signal)
    names = column_names(result.columns, x.shape[1])
    estimate = MODELS[result.model].estimates
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
