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


def plot_segments(signal, breakpoints, ax=None, true_breakpoints=None, title=None):
    """Draw every column of `signal` over alternately shaded segments.

    A breakpoint b starts a segment at sample b, so boundaries are drawn at
    b − 0.5, between the last sample of one segment and the first of the
    next. `true_breakpoints` (the known changes, if any) are dashed lines.
    Returns the Axes.
    """
    ax = axes(ax)
    x = columns(np.asarray(signal))
    t = np.arange(len(x))
    for j in range(x.shape[1]):
        ax.plot(t, x[:, j], lw=1, color="0.25" if x.shape[1] == 1 else None)
    start = 0
    for i, end in enumerate(breakpoints):
        ax.axvspan(start - 0.5, end - 0.5, color=SHADES[i % 2], alpha=0.2, lw=0)
        start = end
    for b in true_breakpoints if true_breakpoints is not None else ():
        if b < len(x):
            ax.axvline(b - 0.5, color="k", ls="--", lw=1)
    ax.set_xlim(-0.5, len(x) - 0.5)
    ax.set_xlabel("sample")
    if title:
        ax.set_title(title)
    return ax
