"""What `detect` returns: the breakpoints, what produced them and what they
mean (labels, summaries, confidence intervals, plots), and the warning a
result that looks wrong comes with."""

from __future__ import annotations

import numbers
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._auto import Season
from ._intervals import ChangeInterval
from ._models import MODELS, names_where, quoted
from ._plot import plot_segments
from ._signal import change_labels, columns, label_at
from ._summary import as_table, html_table, segment_rows

__all__ = ["Detection", "ImplausibleSegmentation"]

# The models whose changes the intervals cover.
INTERVAL_MODELS = names_where("interval")
# A segmentation looks implausible with more changes than max(5, n / 10), or
# with a median segment of a few samples among at least 4 changes.
TOO_MANY_MIN, TOO_MANY_SHARE = 5, 0.1
SHORT_MIN_CHANGES, SHORT_LENGTH = 4, 3


class ImplausibleSegmentation(UserWarning):
    """A result has so many changes, or such short segments, that it more
    likely follows noise, a trend or a season than changes.

    `detect` warns so for searches stopped by a penalty or a cost bound; its
    message says what to try.

    Parameters
    ----------
    message : str
        What looks wrong, and what to try.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> import marbolt_rs
    >>> ramp = np.arange(200.0) + np.random.default_rng(0).normal(size=200)
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     staircase = marbolt_rs.detect(ramp, "l2", pen=10.0)
    >>> caught[0].category.__name__, staircase.n_bkps > 20
    ('ImplausibleSegmentation', True)
    >>> marbolt_rs.detect(ramp).breakpoints  # the automatic default: one trend
    [200]
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)


@dataclass(frozen=True)
class Detection:
    """The outcome of `detect`: the breakpoints, what produced them, and what they mean.

    `detect` makes it; it is immutable, and two results compare equal when
    their breakpoints, cost, model, method, penalty, `min_size` and `jump`
    do.

    Parameters
    ----------
    breakpoints : list of int
        Ascending, ending with the number of samples n: ``[100, 200, 300]``
        is the segments [0, 100), [100, 200) and [200, 300). A breakpoint is
        the first sample of its new segment.
    cost : float
        The engine's ``sum_of_costs`` of the breakpoints (no penalty).
    model, method : str
        The segment cost and the search.
    penalty : float or None
        The `pen` used: as given, or the default rule's when none of `pen`,
        `n_bkps` and `epsilon` was; None for searches stopped by `n_bkps` or
        `epsilon`.
    penalty_rule : str or None
        What set the penalty: ``"given"`` for a `pen` the caller passed, else
        the name of the model's default rule (see `default_penalty`); None
        when there is no penalty.
    min_size, jump : int
        The shortest segment searched and the grid step of the breakpoints.
    signal : numpy.ndarray
        The read-only float64 copy that was searched.
    index : pandas.Index, numpy.ndarray or None
        The index of a pandas signal (or the labels the command line read),
        one label per sample; None without one.
    columns : tuple or None
        The column names of a pandas signal.
    segment_costs : tuple of float
        The cost of each segment.
    params : mapping or None
        The model's parameters as the engine used them: those given, and the
        defaults it resolved (the ar `order`, the rbf `gamma`, ...).
    season : Season or None
        The seasonal profile removed before the search (`period`, and
        `profile`, one row per phase: ``profile[t % period]`` was subtracted
        from sample t); None when none was. `signal` is then the series
        without it.

    Attributes
    ----------
    segments : list of (int, int)
        Half-open (start, end) sample ranges, one per segment.
    n_bkps : int
        The number of changes.
    labels : list
        The label of the first sample of each new segment, one per change.

    See Also
    --------
    detect : makes it.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> result = marbolt_rs.detect(load_nile().flow)
    >>> result.breakpoints, result.segments, result.n_bkps
    ([28, 100], [(0, 28), (28, 100)], 1)
    >>> result.model, result.method, round(result.penalty)
    ('l2', 'pelt', 413014)
    """

    breakpoints: list[int]
    cost: float
    model: str
    method: str
    penalty: float | None
    penalty_rule: str | None = field(compare=False)
    min_size: int
    jump: int
    signal: np.ndarray = field(repr=False, compare=False)
    index: Any = field(default=None, repr=False, compare=False)
    columns: tuple[Any, ...] | None = field(default=None, repr=False, compare=False)
    segment_costs: tuple[float, ...] = field(default=(), repr=False, compare=False)
    params: Mapping[str, Any] | None = field(default=None, repr=False, compare=False)
    season: Season | None = field(default=None, repr=False, compare=False)

    @property
    def segments(self) -> list[tuple[int, int]]:
        """Half-open (start, end) sample ranges, one per segment."""
        return list(zip([0, *self.breakpoints[:-1]], self.breakpoints))

    @property
    def n_bkps(self) -> int:
        """The number of changes (the breakpoints before the end of the signal)."""
        return len(self.breakpoints) - 1

    @property
    def labels(self) -> list[Any]:
        """The index label of the first sample of each new segment, one per change.

        A Timestamp for a DatetimeIndex, a plain int for a yearly index; the
        sample positions themselves when the signal had no index.
        """
        return change_labels(self.index, self.breakpoints)

    def summary(self) -> Any:
        """One row per segment: where it lies, its cost and the model's estimates.

        Returns
        -------
        pandas.DataFrame or list of dict
            A DataFrame when pandas is installed, else one dict per row. Every
            row has `start`, `end` (half-open) and `length`; with an index,
            `first_label` and `last_label`, the labels of its first and last
            samples; then `cost` and what the model fits to the segment:

            - "l2", "normal", "rbf", "cosine", "rank", "mahalanobis": `mean`
              and `std` (divisor L) of each column; "l1": `median` and `std`;
            - "poisson": `rate`, the mean count; "exponential": `mean`, the
              mean waiting time; "variance": `std`, the standard deviation
              about the model's fixed mean (divisor L);
            - "linear": `coef_<column>`, the least-squares coefficients of
              column 0 on each other column (no intercept);
            - "ar": `ar1` … `ar<order>` (`ar1` weighs the latest value) and
              `intercept` of the autoregression the cost fits, on the signal
              centred by its column means;
            - "clinear": `start_value`, `end_value` and `slope` (per sample)
              of the line pinned to the sample before the segment and its
              last sample.

            With several columns each estimate is suffixed by
            ``_<column name>`` (or ``_<position>``).

        See Also
        --------
        Detection.confidence_intervals : where the changes between them lie.

        Examples
        --------
        >>> import pandas as pd
        >>> import marbolt_rs
        >>> from marbolt_rs.datasets import load_nile
        >>> years, flow = load_nile()
        >>> nile = pd.Series(flow, index=pd.Index(years, name="year"))
        >>> print(marbolt_rs.detect(nile).summary().round(1).to_string(index=False))
         start  end  length  first_label  last_label      cost   mean   std
             0   28      28         1871        1898  492047.3 1097.8 132.6
            28  100      72         1899        1970 1105409.9  850.0 123.9
        """
        return as_table(segment_rows(self))

    def confidence_intervals(self, level: float = 0.95,
                             labels: bool = False) -> list[ChangeInterval]:
        """Where each change lies, at the given confidence, and what changed.

        For "l2", a change in mean: the asymptotic interval of Bai
        ("Estimation of a change point in multiple regression models",
        Review of Economics and Statistics 79(4), 1997) in its form for
        unequal variances, from the shift and the two covariances estimated
        on the neighbouring segments. For "normal", a change of mean,
        variance or both: the same theory for the Gaussian likelihood, whose
        walk drifts by the divergence between the two segments' fits; for
        large changes, which the limit describes poorly, the walk itself is
        simulated from each side's own samples. Each interval's `kind` says
        which change it is for.

        Parameters
        ----------
        level : float, default 0.95
            The probability that an interval holds its change, in (0, 1).
        labels : bool, default False
            Give the index labels of the bounds instead of their positions.

        Returns
        -------
        list of ChangeInterval
            One (low, high) pair per change, with its `kind` ("mean",
            "variance", "mean and variance"; "covariance" for several
            columns): sample positions in the breakpoint convention (the
            first sample of the new segment), such that the true change lies
            in [low, high] with probability `level`, within the neighbouring
            segments (start + 1 to end - 1).

        Raises
        ------
        ValueError
            For models other than "l2" and "normal"; for a level outside (0, 1).
        TypeError
            For a level that is not a real number.

        Notes
        -----
        The interval assumes what its limit theory does: changes far apart
        compared with the interval widths, and noise without strong serial
        correlation. Small changes on short segments give somewhat narrow
        intervals: about 93 % coverage at 95 % for a shift of half a
        standard deviation between segments of 100 to 1000 samples, and
        for "normal" 80 to 95 % for a standard deviation that grows by half
        (segments of 100 to 500), 93 to 99 % when it doubles or more. Under
        "l2", a change of variance alone has no shift to locate: its interval
        spans the neighbouring segments.

        Examples
        --------
        >>> import marbolt_rs
        >>> from marbolt_rs.datasets import load_nile
        >>> years, flow = load_nile()
        >>> result = marbolt_rs.detect(flow)
        >>> result.confidence_intervals()
        [ChangeInterval(low=26, high=31, kind='mean')]
        >>> [(int(years[low]), int(years[high])) for low, high in result.confidence_intervals()]
        [(1897, 1902)]
        """
        interval = MODELS[self.model].interval
        if interval is None:
            raise ValueError(f"confidence intervals are for changes in mean or variance "
                             f"(models {quoted(INTERVAL_MODELS, 'and')}), not for model "
                             f"'{self.model}'")
        level = confidence_level(level)
        x = columns(self.signal)
        bkps = [0, *self.breakpoints]
        found = [interval(x, start, change, end, level, self.params)
                 for start, change, end in zip(bkps, bkps[1:], bkps[2:])]
        if labels:
            return [ChangeInterval(label_at(self.index, low), label_at(self.index, high), kind)
                    for low, high, kind in found]
        return [ChangeInterval(*bounds) for bounds in found]

    def _repr_html_(self) -> str:
        penalty = ("" if self.penalty is None
                   else f", penalty {self.penalty:.4g} ({self.penalty_rule})")
        caption = (f"{self.method}, model {self.model}{penalty}: {self.n_bkps} change(s), "
                   f"cost {self.cost:.6g}")
        return html_table(segment_rows(self), caption)

    def plot(self, ax: Any = None, true_breakpoints: Sequence[int] | None = None,
             confidence: float | None = None) -> Any:
        """Draw the signal over its shaded segments, with each segment's fit and a
        legend (needs matplotlib).

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; a new pyplot figure when None.
        true_breakpoints : sequence of int, optional
            Known changes, drawn as dashed lines.
        confidence : float, optional
            A level such as 0.95: draws the `confidence_intervals` of the
            changes as grey bands.

        Returns
        -------
        matplotlib.axes.Axes
            The Axes drawn on. The x axis is the index: a pandas index as
            pandas draws it (periods, dates, times, text), so that the
            picture lines up with a pandas plot of the same signal on the
            same Axes; labels the command line read when they are numbers or
            times; else the sample position. Red lines (a column's colour for
            several) are the model's fit on each segment: its mean (its
            median for "l1"; the fitted line for "clinear"; none for
            "linear" and "ar", whose fit is a regression).

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
        >>> ax = marbolt_rs.detect(load_nile().flow).plot(confidence=0.95)
        >>> ax.get_title()
        'pelt, model l2: 1 change(s)'
        >>> [text.get_text() for text in ax.get_legend().get_texts()]
        ['signal', '95 % interval', 'segment mean']
        """
        title = f"{self.method}, model {self.model}: {self.n_bkps} change(s)"
        bands = () if confidence is None else self.confidence_intervals(confidence)
        return plot_segments(self.signal, self.breakpoints, ax=ax,
                             true_breakpoints=true_breakpoints, title=title,
                             index=self.index, bands=bands, names=self.columns,
                             level=MODELS[self.model].level,
                             band_label=f"{100 * confidence:g} % interval" if bands else None)


def confidence_level(level: Any) -> float:
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a real number, got {type(level).__name__}")
    if not 0 < level < 1:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    return float(level)


def warn_if_implausible(result):
    """A segmentation with more changes than a tenth of its samples, or
    mostly of segments of a few samples, is more likely following noise, a
    trend or a season than changes: say so, and what to try."""
    n = len(result.signal)
    lengths = np.diff([0, *result.breakpoints])
    many = result.n_bkps > max(TOO_MANY_MIN, n * TOO_MANY_SHARE)
    short = result.n_bkps >= SHORT_MIN_CHANGES and np.median(lengths) <= SHORT_LENGTH
    if not (many or short):
        return
    what = (f"{result.n_bkps} changes in {n} samples" if many else
            f"segments of a median length of {np.median(lengths):g} samples")
    warnings.warn(
        f"detect found {what}: the segments may follow noise, a trend or a season rather "
        "than changes. Try the automatic default (leave model out), a larger penalty "
        "(pen='mbic', or penalty_path to see them all), or a larger min_size.",
        ImplausibleSegmentation, stacklevel=3)
