"""penalty_path(): every PELT segmentation over a range of penalties (CROPS)."""

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, List, Tuple

from . import _marbolt_rs as core
from ._arguments import check_request, real, segment_floor
from ._plot import axes
from ._signal import as_signal, change_labels, columns, pandas_parts


@dataclass(frozen=True)
class PathEntry:
    """One segmentation of the path and the penalties for which PELT returns it.

    `labels` name its changes by the index of a pandas signal (the positions
    without one), as `Detection.labels` does.
    """

    pen_range: Tuple[float, float]
    breakpoints: List[int]
    cost: float
    labels: List[Any] = field(default_factory=list, compare=False)

    @property
    def n_bkps(self):
        return len(self.breakpoints) - 1


class PenaltyPath(Sequence):
    """The entries of a penalty path, fewest changes (largest penalties) first."""

    def __init__(self, entries, model):
        self._entries = tuple(entries)
        self.model = model

    def __getitem__(self, index):
        return self._entries[index]

    def __len__(self):
        return len(self._entries)

    def __repr__(self):
        if not self._entries:
            return "PenaltyPath([])"
        first, last = self._entries[0], self._entries[-1]
        return (f"PenaltyPath({len(self)} entries: {first.n_bkps} to {last.n_bkps} "
                f"changes for pen in [{last.pen_range[0]:.4g}, {first.pen_range[1]:.4g}])")

    def plot(self, ax=None):
        """Number of changes against the penalty (log scale), to spot the elbow.

        Returns the Axes (needs matplotlib).
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


def penalty_path(signal, pen_min, pen_max, model="l2", *, jump=1, min_size=None,
                 params=None):
    """Every segmentation that PELT finds for some penalty in [pen_min, pen_max].

    Runs CROPS (Haynes, Eckley & Fearnhead 2017): PELT only at the ends and
    where two segmentations cost the same penalised. Returns a `PenaltyPath`,
    a sequence of `PathEntry` (pen_range, breakpoints, cost, labels) ordered by
    increasing number of changes; `plot()` draws the changes against the
    penalty. The penalties must satisfy 0 < pen_min <= pen_max (the plot's
    axis is logarithmic); `min_size` is raised to the model's minimum.
    """
    request = check_request(model, "pelt", jump=jump, min_size=min_size)
    low, high = real("pen_min", pen_min), real("pen_max", pen_max)
    if not 0 < low <= high:
        raise ValueError(f"penalties must satisfy 0 < pen_min <= pen_max, got "
                         f"pen_min {low!r} and pen_max {high!r}")
    index, _ = pandas_parts(signal)
    x = as_signal(signal)
    engine = core.CostEngine(x, model, params)
    size = segment_floor(engine, request, columns(x).shape[1])
    rows = core.crops(engine, low, high, request.jump, size)
    return PenaltyPath([PathEntry((lo, hi), bkps, engine.sum_of_costs(bkps),
                                  change_labels(index, bkps))
                        for lo, hi, bkps in rows], model)
