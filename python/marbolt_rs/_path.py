"""penalty_path(): every optimal segmentation over a range of penalties (CROPS)."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, SupportsIndex, overload

import numpy.typing as npt

from . import _native as core
from ._arguments import check_request, real, segment_floor
from ._control import search_control
from ._plot import axes
from ._signal import as_signal, change_labels, columns, pandas_parts

__all__ = ["PathEntry", "PenaltyPath", "penalty_path"]


@dataclass(frozen=True)
class PathEntry:
    """One segmentation of a penalty path, and the penalties for which it is optimal.

    Parameters
    ----------
    pen_range : (float, float)
        The penalties (low, high) for which this segmentation is optimal.
    breakpoints : list of int
        Its breakpoints, ending with the number of samples.
    cost : float
        Its cost without the penalty (the engine's ``sum_of_costs``).
    labels : list, optional
        Its changes named by the index of a pandas signal (the positions
        without one), as `Detection.labels` does.

    Attributes
    ----------
    n_bkps : int
        The number of changes.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> entry = marbolt_rs.penalty_path(load_nile().flow, 5e4, 5e5)[0]
    >>> entry.breakpoints, entry.n_bkps, entry.labels, entry.pen_range[1]
    ([28, 100], 1, [28], 500000.0)
    """

    pen_range: tuple[float, float]
    breakpoints: list[int]
    cost: float
    labels: list[Any] = field(default_factory=list, compare=False)

    @property
    def n_bkps(self) -> int:
        """The number of changes (the breakpoints before the end of the signal)."""
        return len(self.breakpoints) - 1


class PenaltyPath(Sequence[PathEntry]):
    """The entries of a penalty path, fewest changes (largest penalties) first.

    A read-only sequence of `PathEntry`, made by `penalty_path`.

    Parameters
    ----------
    entries : iterable of PathEntry
        The entries, fewest changes first.
    model : str
        The model of the path, for the plot's title.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> path = marbolt_rs.penalty_path(load_nile().flow, 5e4, 5e5)
    >>> path
    PenaltyPath(6 entries: 1 to 11 changes for pen in [5e+04, 5e+05])
    >>> [entry.n_bkps for entry in path]
    [1, 4, 6, 7, 9, 11]
    """

    def __init__(self, entries: Iterable[PathEntry], model: str) -> None:
        self._entries = tuple(entries)
        self.model = model

    @overload
    def __getitem__(self, index: int) -> PathEntry: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[PathEntry]: ...

    def __getitem__(self, index: int | slice) -> PathEntry | Sequence[PathEntry]:
        return self._entries[index]

    def __len__(self) -> int:
        return len(self._entries)

    def __repr__(self) -> str:
        if not self._entries:
            return "PenaltyPath([])"
        first, last = self._entries[0], self._entries[-1]
        return (f"PenaltyPath({len(self)} entries: {first.n_bkps} to {last.n_bkps} "
                f"changes for pen in [{last.pen_range[0]:.4g}, {first.pen_range[1]:.4g}])")

    def plot(self, ax: Any = None) -> Any:
        """Draw the number of changes against the penalty (log scale), to spot the elbow.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; a new pyplot figure when None.

        Returns
        -------
        matplotlib.axes.Axes
            The Axes drawn on.

        Raises
        ------
        ImportError
            Without matplotlib.

        Examples
        --------
        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> import marbolt_rs
        >>> from marbolt_rs.datasets import load_nile
        >>> marbolt_rs.penalty_path(load_nile().flow, 5e4, 5e5).plot().get_xscale()
        'log'
        """
        ax = axes(ax)
        ascending = self._entries[::-1]
        edges = [e.pen_range[0] for e in ascending] + [ascending[-1].pen_range[1]]
        ax.stairs([e.n_bkps for e in ascending], edges, baseline=None, lw=1.5)
        ax.set_xscale("log")
        ax.set_xlabel("penalty")
        ax.set_ylabel("number of changes")
        ax.set_title(f"penalty path, model {self.model}")
        return ax


def penalty_path(signal: npt.ArrayLike, pen_min: float, pen_max: float, model: str = "l2", *,
                 jump: SupportsIndex = 1, min_size: SupportsIndex | None = None,
                 params: Mapping[str, Any] | None = None, progress: bool = False) -> PenaltyPath:
    """Every optimal penalised segmentation for the penalties in [pen_min, pen_max].

    Runs CROPS (Haynes, Eckley & Fearnhead 2017) over the exact penalised
    search of `detect` (method "pelt"): the search only at the ends of the
    range and where two segmentations cost the same, penalised. Every entry
    is optimal on its range, so an entry with more changes always costs less.

    Parameters
    ----------
    signal : array_like
        As for `detect` (a pandas signal names the changes by its index).
    pen_min, pen_max : float
        The range of penalties, 0 < pen_min <= pen_max (the plot's axis is
        logarithmic).
    model : str, default "l2"
        The segment cost, as for `detect`.
    jump : int, default 1
        The grid step of the admissible breakpoints.
    min_size : int, optional
        The shortest segment, as for `detect`.
    params : mapping, optional
        The model's parameters, as for `detect`.
    progress : bool, default False
        Show a progress bar on stderr (needs tqdm) once the path has taken
        about a second.

    Returns
    -------
    PenaltyPath
        A sequence of `PathEntry` (pen_range, breakpoints, cost, labels),
        fewest changes (largest penalties) first; ``plot()`` draws the
        changes against the penalty.

    Raises
    ------
    ValueError
        A range outside 0 < pen_min <= pen_max, an unknown model, a signal
        or parameters the model refuses.
    TypeError
        Arguments of the wrong type.
    KeyboardInterrupt
        On Ctrl-C: the path stops within a fraction of a second.
    ImportError
        `progress=True` without tqdm.

    See Also
    --------
    detect : one penalty, any method.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> path = marbolt_rs.penalty_path(load_nile().flow, 5e4, 5e5)
    >>> [(entry.n_bkps, round(entry.pen_range[0])) for entry in path[:3]]
    [(1, 85199), (4, 80627), (6, 77108)]
    """
    request = check_request(model, "pelt", jump=jump, min_size=min_size)
    low, high = real("pen_min", pen_min), real("pen_max", pen_max)
    if not 0 < low <= high:
        raise ValueError(f"penalties must satisfy 0 < pen_min <= pen_max, got "
                         f"pen_min {low!r} and pen_max {high!r}")
    index, _ = pandas_parts(signal)
    x = as_signal(signal)
    engine = core.Engine(x, model, params)
    size = segment_floor(engine, request, columns(x).shape[1])
    with search_control(progress, f"penalty path {model}") as control:
        rows = core.optimum_path(engine, low, high, request.jump, size, control=control)
    return PenaltyPath([PathEntry((lo, hi), bkps, engine.sum_of_costs(bkps),
                                  change_labels(index, bkps))
                        for lo, hi, bkps in rows], model)
