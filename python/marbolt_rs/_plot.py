"""Pictures of a segmentation. matplotlib is imported only when one is drawn."""

import numpy as np

from ._signal import columns

SHADES = ("tab:blue", "tab:orange")


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
                  index=None, bands=()):
    """Draw every column of `signal` over alternately shaded segments.

    A breakpoint b starts a segment at sample b, so boundaries are drawn
    halfway between the last sample of one segment and the first of the
    next. `true_breakpoints` (the known changes, if any) are dashed lines;
    `bands`, (low, high) breakpoint ranges, grey bands from the boundary
    before sample low to the one before sample high. The x axis is `index`
    when it holds numbers or times, else the sample position. Returns the Axes.
    """
    ax = axes(ax)
    x = columns(np.asarray(signal))
    t, labelled = axis_values(index, len(x))
    edges = sample_edges(t)
    for j in range(x.shape[1]):
        ax.plot(t, x[:, j], lw=1, color="0.25" if x.shape[1] == 1 else None)
    start = 0
    for i, end in enumerate(breakpoints):
        ax.axvspan(edges[start], edges[end], color=SHADES[i % 2], alpha=0.2, lw=0)
        start = end
    for low, high in bands:
        ax.axvspan(edges[low], edges[high], color="0.35", alpha=0.35, lw=0)
    for b in true_breakpoints if true_breakpoints is not None else ():
        if b < len(x):
            ax.axvline(edges[b], color="k", ls="--", lw=1)
    ax.set_xlim(edges[0], edges[-1])
    name = getattr(index, "name", None)
    ax.set_xlabel(str(name) if name is not None else "" if labelled else "sample")
    if title:
        ax.set_title(title)
    return ax


def axis_values(index, n):
    """The x coordinate of every sample, and whether it comes from `index`:
    the index when it holds numbers or times (and more than one sample),
    else the sample positions."""
    if index is not None and n > 1:
        values = np.asarray(index)
        if values.dtype.kind in "iuf":
            return values.astype(np.float64), True
        if values.dtype.kind == "M":
            return values, True
    return np.arange(n, dtype=np.float64), False


def sample_edges(t):
    """The n + 1 boundaries around n samples at `t`: halfway between neighbours,
    and half a step beyond the first and the last. Edge b is where a
    breakpoint b is drawn."""
    if len(t) < 2:
        return np.array([t[0] - 0.5, t[0] + 0.5])
    half = np.diff(t) / 2
    return np.concatenate([t[:1] - half[:1], t[:-1] + half, t[-1:] + half[-1:]])
