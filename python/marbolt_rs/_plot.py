"""Pictures of a segmentation. matplotlib is imported only when one is drawn."""

import sys

import numpy as np

from ._signal import columns

SHADES = ("tab:blue", "tab:orange")
SINGLE_COLUMN = "0.25"
FIT_COLOUR = "tab:red"


def axes(ax=None):
    """`ax`, or the Axes of a new pyplot figure."""
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(
            "plotting needs matplotlib (Debian: python3-matplotlib)") from error
    return plt.subplots(figsize=(9, 3.5), layout="constrained")[1]


def plot_segments(signal, breakpoints, ax=None, true_breakpoints=None, title=None,
                  index=None, bands=(), names=None, level=None, band_label=None):
    """Draw every column of `signal` over alternately shaded segments.

    A breakpoint b starts a segment at sample b, so boundaries are drawn
    halfway between the last sample of one segment and the first of the
    next. `true_breakpoints` (the known changes, if any) are dashed lines;
    `bands`, (low, high) breakpoint ranges, grey bands from the boundary
    before sample low to the one before sample high; `level`, a
    `SegmentLevel`, the model's fit on each segment. The x axis is the
    index: a pandas index as pandas draws it (so that the picture lines up
    with a pandas plot of the same data on the same Axes), numbers or times
    as they are, else the sample position. Returns the Axes.
    """
    ax = axes(ax)
    x = columns(np.asarray(signal))
    labels = [str(n) for n in names] if names is not None and len(names) == x.shape[1] \
        else ["signal"] if x.shape[1] == 1 else [f"column {j}" for j in range(x.shape[1])]
    lines, t = _draw_columns(ax, x, index, labels)
    edges = sample_edges(t)
    start = 0
    for i, end in enumerate(breakpoints):
        ax.axvspan(edges[start], edges[end], color=SHADES[i % 2], alpha=0.2, lw=0)
        start = end
    for k, (low, high) in enumerate(bands):
        ax.axvspan(edges[low], edges[high], color="0.35", alpha=0.35, lw=0,
                   label=band_label if k == 0 else None)
    if level is not None:
        _draw_fit(ax, x, breakpoints, level, t, edges, lines)
    inside = [b for b in true_breakpoints if b < len(x)] if true_breakpoints is not None else []
    for k, b in enumerate(inside):
        ax.axvline(edges[b], color="k", ls="--", lw=1, label="true change" if k == 0 else None)
    ax.set_xlim(edges[0], edges[-1])
    name = getattr(index, "name", None)
    if name is not None:
        ax.set_xlabel(str(name))
    elif not ax.get_xlabel():
        ax.set_xlabel("sample" if index is None else "")
    if title:
        ax.set_title(title)
    ax.legend(loc="best", fontsize="small")
    return ax


def _draw_columns(ax, x, index, labels):
    """Draw the columns; their lines and the x coordinate of every sample, as numbers."""
    pd = sys.modules.get("pandas")
    n_before = len(ax.lines)
    colours = {"color": SINGLE_COLUMN} if x.shape[1] == 1 else {}
    if pd is not None and isinstance(index, pd.Index) and len(x) > 1:
        # pandas puts some indexes on axes of its own (period ordinals for a
        # PeriodIndex or a regular DatetimeIndex, positions for text): drawing
        # through it gives the coordinates a pandas plot of the data has.
        frame = pd.DataFrame(x, index=index, columns=labels)
        frame.plot(ax=ax, legend=False, lw=1, **colours)
        lines = ax.lines[n_before:]
        t = np.asarray(lines[0].get_xdata(orig=False), dtype=np.float64)
        return lines, t
    t, numbers = axis_values(index, len(x))
    lines = [ax.plot(t, x[:, j], lw=1, label=label, **colours)[0]
             for j, label in enumerate(labels)]
    return lines, numbers


def _draw_fit(ax, x, breakpoints, level, t, edges, lines):
    """The model's fit on each segment, one polyline per segment and column,
    in the column's colour (red for a single column)."""
    from matplotlib.collections import LineCollection

    coordinate = half_sample_coordinates(t, edges)
    for j, line in enumerate(lines):
        pieces = []
        for start, end in zip([0, *breakpoints[:-1]], breakpoints):
            positions, values = level.lines(x, start, end, j)
            pieces.append(np.column_stack([coordinate(positions), values]))
        colour = FIT_COLOUR if x.shape[1] == 1 else line.get_color()
        ax.add_collection(LineCollection(pieces, colors=colour, lw=2,
                                         label=level.label if j == 0 else None))


def half_sample_coordinates(t, edges):
    """A function from sample positions (whole samples, or halves: the edges
    between them, -0.5 before the first) to x coordinates."""
    nodes = np.empty(len(t) + len(edges))
    nodes[0::2], nodes[1::2] = edges, t
    where = np.arange(len(nodes)) / 2 - 0.5
    return lambda positions: np.interp(positions, where, nodes)


def axis_values(index, n):
    """The x values to draw every sample at, and the same as plain numbers:
    the index when it holds numbers or times (and more than one sample),
    else the sample positions."""
    if index is not None and n > 1:
        values = np.asarray(index)
        if values.dtype.kind in "iuf":
            values = values.astype(np.float64)
            return values, values
        if values.dtype.kind == "M":
            from matplotlib.dates import date2num
            return values, date2num(values)
    positions = np.arange(n, dtype=np.float64)
    return positions, positions


def sample_edges(t):
    """The n + 1 boundaries around n samples at `t`: halfway between neighbours,
    and half a step beyond the first and the last. Edge b is where a
    breakpoint b is drawn."""
    if len(t) < 2:
        return np.array([t[0] - 0.5, t[0] + 0.5])
    half = np.diff(t) / 2
    return np.concatenate([t[:1] - half[:1], t[:-1] + half, t[-1:] + half[-1:]])
