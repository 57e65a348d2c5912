"""penalty_path(): every PELT segmentation over a range of penalties (CROPS)."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from . import _native as core
from ._arguments import check_request, count, real, segment_floor
from ._models import PenaltyContext
from ._names import keywords_checked
from ._penalty import penalty_for
from ._plot import axes
from ._signal import as_signal, change_labels, columns, pandas_parts
from ._summary import as_table

if TYPE_CHECKING:
    from ._detect import Detection

__all__ = ["PathEntry", "PenaltyPath", "penalty_path"]

# Without a range, the path spans this factor either side of the default penalty.
DEFAULT_SPAN = 10.0
# The penalty rule a segmentation picked from a path reports.
FROM_PATH = "from the penalty path"


@dataclass(frozen=True)
class Searched:
    """What the path was computed on, for `PenaltyPath.with_changes`."""

    signal: np.ndarray
    index: Any
    columns: tuple[Any, ...] | None
    params: Mapping[str, Any] | None
    min_size: int
    jump: int


@dataclass(frozen=True)
class PathEntry:
    """One segmentation of a penalty path, and the penalties for which PELT returns it.

    Parameters
    ----------
    pen_range : (float, float)
        The penalties (low, high) for which PELT returns this segmentation.
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
    default_penalty : float, optional
        The model's default penalty for the signal, marked on the plot; None
        for a model without one.
    searched : Searched, optional
        The signal and search settings, which `with_changes` needs; made by
        `penalty_path`.

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

    def __init__(self, entries: Iterable[PathEntry], model: str, *,
                 default_penalty: float | None = None, searched: Searched | None = None
                 ) -> None:
        self._entries = tuple(entries)
        self.model = model
        self.default_penalty = default_penalty
        self._searched = searched

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

    def table(self) -> Any:
        """The path as a table: one row per segmentation, fewest changes first.

        Returns
        -------
        pandas.DataFrame or list of dict
            A DataFrame when pandas is installed, else one dict per row:
            `pen_min` and `pen_max` (the penalties for which PELT returns the
            segmentation), `n_bkps` (its number of changes), `cost` (without
            the penalty) and `labels` (its changes, as index labels).

        Examples
        --------
        >>> import marbolt_rs
        >>> from marbolt_rs.datasets import load_nile
        >>> table = marbolt_rs.penalty_path(load_nile().flow).table()
        >>> table.columns.tolist()
        ['pen_min', 'pen_max', 'n_bkps', 'cost', 'labels']
        >>> table["n_bkps"].tolist()
        [0, 1, 4, 6, 7, 9, 11]
        """
        return as_table([{"pen_min": e.pen_range[0], "pen_max": e.pen_range[1],
                          "n_bkps": e.n_bkps, "cost": e.cost, "labels": e.labels}
                         for e in self._entries])

    def with_changes(self, n_bkps: SupportsIndex) -> Detection:
        """The segmentation of the path with `n_bkps` changes, as `detect` gives it.

        Parameters
        ----------
        n_bkps : int
            The number of changes: one of the path's.

        Returns
        -------
        Detection
            Its breakpoints, with `method` "pelt" and as `penalty` the
            geometric middle of the entry's range (PELT returns these
            breakpoints for every penalty inside it).

        Raises
        ------
        ValueError
            When no segmentation of the path has that many changes (the
            message lists those it has; `fits` gives the best segmentation
            for every count), or for a path `penalty_path` did not make.

        Examples
        --------
        >>> import marbolt_rs
        >>> from marbolt_rs.datasets import load_nile
        >>> path = marbolt_rs.penalty_path(load_nile().flow)
        >>> result = path.with_changes(4)
        >>> result.breakpoints, round(result.penalty)
        ([28, 41, 45, 47, 100], 82882)
        """
        k = count("n_bkps", n_bkps, 0)
        if self._searched is None:
            raise ValueError("this path holds no signal; make it with penalty_path")
        found = [e for e in self._entries if e.n_bkps == k]
        if not found:
            have = ", ".join(str(e.n_bkps) for e in self._entries)
            raise ValueError(f"the path has no segmentation with {k} changes, only with {have}; "
                             "marbolt_rs.fits gives the best segmentation for every count")
        from ._detect import detection_of

        (entry,) = found
        s = self._searched
        engine = core.Engine(s.signal, self.model, s.params)
        return detection_of(engine, entry.breakpoints, "pelt", math.sqrt(entry.pen_range[0]
                            * entry.pen_range[1]), FROM_PATH, s.min_size, s.jump, s.signal,
                            s.index, s.columns)

    def plot(self, ax: Any = None) -> Any:
        """Draw the number of changes against the penalty (log scale), to spot the
        elbow, with the default penalty marked when it lies in the range.

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
        >>> ax = marbolt_rs.penalty_path(load_nile().flow).plot()
        >>> ax.get_xscale(), ax.get_legend().get_texts()[0].get_text()
        ('log', 'default penalty 4.13e+05')
        """
        ax = axes(ax)
        ascending = self._entries[::-1]
        edges = [e.pen_range[0] for e in ascending] + [ascending[-1].pen_range[1]]
        ax.stairs([e.n_bkps for e in ascending], edges, baseline=None, lw=1.5)
        default = self.default_penalty
        if default is not None and edges[0] <= default <= edges[-1]:
            ax.axvline(default, color="tab:red", ls=":", lw=1.5,
                       label=f"default penalty {default:.4g}")
            ax.legend(loc="best", fontsize="small")
        ax.set_xscale("log")
        ax.set_xlabel("penalty")
        ax.set_ylabel("number of changes")
        ax.set_title(f"penalty path, model {self.model}")
        return ax


@keywords_checked()
def penalty_path(signal: npt.ArrayLike, pen_min: float | None = None,
                 pen_max: float | None = None, model: str = "l2", *,
                 jump: SupportsIndex = 1, min_size: SupportsIndex | None = None,
                 params: Mapping[str, Any] | None = None) -> PenaltyPath:
    """Every segmentation that PELT finds for some penalty in [pen_min, pen_max].

    Runs CROPS (Haynes, Eckley & Fearnhead 2017): PELT only at the ends of
    the range and where two segmentations cost the same, penalised.

    Parameters
    ----------
    signal : array_like
        As for `detect` (a pandas signal names the changes by its index).
    pen_min, pen_max : float, optional
        The range of penalties, 0 < pen_min <= pen_max (the plot's axis is
        logarithmic). Either left out: the model's default penalty (see
        `default_penalty`) divided, or multiplied, by 10.
    model : str, default "l2"
        The segment cost, as for `detect`.
    jump : int, default 1
        The grid step of the admissible breakpoints.
    min_size : int, optional
        The shortest segment, as for `detect`.
    params : mapping, optional
        The model's parameters, as for `detect`.

    Returns
    -------
    PenaltyPath
        A sequence of `PathEntry` (pen_range, breakpoints, cost, labels),
        fewest changes (largest penalties) first; ``table()`` lists them,
        ``with_changes(k)`` gives the one with k changes as a `Detection`,
        and ``plot()`` draws the changes against the penalty.

    Raises
    ------
    ValueError
        A range outside 0 < pen_min <= pen_max, no range for a model without
        a default penalty ("clinear") or a signal whose default penalty is
        not positive, an unknown model, a signal or parameters the model
        refuses.
    TypeError
        Arguments of the wrong type.

    See Also
    --------
    detect : one penalty, any method.
    fits : the best segmentation for every number of changes.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> path = marbolt_rs.penalty_path(load_nile().flow)
    >>> path
    PenaltyPath(7 entries: 0 to 11 changes for pen in [4.13e+04, 4.13e+06])
    >>> [(entry.n_bkps, round(entry.pen_range[0])) for entry in path[:3]]
    [(0, 1237700), (1, 85199), (4, 80627)]
    """
    request = check_request(model, "pelt", jump=jump, min_size=min_size, params=params)
    low = None if pen_min is None else real("pen_min", pen_min)
    high = None if pen_max is None else real("pen_max", pen_max)
    index, names = pandas_parts(signal)
    x = as_signal(signal)
    engine = core.Engine(x, model, params)
    size = segment_floor(engine, request, columns(x).shape[1])
    default = _default(x, engine, params, size, request.jump, low is None or high is None)
    if low is None or high is None:
        if not default or not math.isfinite(default):
            raise ValueError(f"the default penalty of this signal is {default!r}, which "
                             "spans no range; pass pen_min and pen_max")
        low = default / DEFAULT_SPAN if low is None else low
        high = default * DEFAULT_SPAN if high is None else high
    if not 0 < low <= high:
        raise ValueError(f"penalties must satisfy 0 < pen_min <= pen_max, got "
                         f"pen_min {low!r} and pen_max {high!r}")
    rows = core.crops(engine, low, high, request.jump, size)
    return PenaltyPath([PathEntry((lo, hi), bkps, engine.sum_of_costs(bkps),
                                  change_labels(index, bkps))
                        for lo, hi, bkps in rows], model, default_penalty=default,
                       searched=Searched(x, index, names, None if params is None
                                         else dict(params), size, request.jump))


def _default(x, engine, params, size, jump, needed):
    """The model's default penalty; None for a model without one, unless the
    range must be made from it."""
    try:
        return penalty_for(PenaltyContext(columns(x), engine, params, "pelt", size, jump)).value
    except ValueError as error:
        if needed:
            raise ValueError(f"{str(error).split(':')[0]} to centre the range on; pass "
                             "pen_min and pen_max") from None
        return None
