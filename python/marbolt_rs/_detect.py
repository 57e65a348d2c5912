"""detect(): from a signal to its breakpoints in one call."""

from __future__ import annotations

import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native as core
from ._arguments import check_request, segment_floor
from ._control import search_control
from ._intervals import change_interval
from ._models import MODELS, PenaltyContext, names_where, quoted
from ._penalty import penalty_for
from ._plot import plot_segments
from ._signal import as_signal, change_labels, columns, label_at, pandas_parts
from ._summary import as_table, html_table, segment_rows

__all__ = ["Detection", "detect"]

DEFAULT_WIDTH = 100
# The penalty rule of a result whose `pen` the caller gave.
GIVEN = "given"
# The models whose changes are changes in mean, which the intervals cover.
MEAN_MODELS = names_where("change_in_mean")


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
    ('l2', 'pelt', 122484)
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
                             labels: bool = False) -> list[tuple[Any, Any]]:
        """Where each change lies, at the given confidence.

        For changes in mean ("l2", and "normal" read as a change in mean with
        a different variance on each side): the asymptotic interval of Bai
        ("Estimation of a change point in multiple regression models", Review
        of Economics and Statistics 79(4), 1997) in its form for unequal
        variances, from the shift and the two covariances estimated on the
        neighbouring segments.

        Parameters
        ----------
        level : float, default 0.95
            The probability that an interval holds its change, in (0, 1).
        labels : bool, default False
            Give the index labels of the bounds instead of their positions.

        Returns
        -------
        list of (low, high)
            One pair per change: sample positions in the breakpoint
            convention (the first sample of the new segment), such that the
            true change lies in [low, high] with probability `level`, within
            the neighbouring segments (start + 1 to end - 1).

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
        correlation or heavy tails. Small shifts on short segments give
        somewhat narrow intervals (about 93 % coverage at 95 % for a shift
        of half a standard deviation between segments of 100 to 1000
        samples); under a change of variance alone the intervals span the
        neighbouring segments.

        Examples
        --------
        >>> import marbolt_rs
        >>> from marbolt_rs.datasets import load_nile
        >>> years, flow = load_nile()
        >>> result = marbolt_rs.detect(flow)
        >>> result.confidence_intervals()
        [(26, 31)]
        >>> [(int(years[low]), int(years[high])) for low, high in result.confidence_intervals()]
        [(1897, 1902)]
        """
        if self.model not in MEAN_MODELS:
            raise ValueError(f"confidence intervals are for changes in mean (models "
                             f"{quoted(MEAN_MODELS, 'and')}), not for model '{self.model}'")
        level = confidence_level(level)
        x = columns(self.signal)
        bkps = [0, *self.breakpoints]
        found = [change_interval(x, start, change, end, level)
                 for start, change, end in zip(bkps, bkps[1:], bkps[2:])]
        if labels:
            return [(label_at(self.index, low), label_at(self.index, high))
                    for low, high in found]
        return found

    def _repr_html_(self) -> str:
        penalty = ("" if self.penalty is None
                   else f", penalty {self.penalty:.4g} ({self.penalty_rule})")
        caption = (f"{self.method}, model {self.model}{penalty}: {self.n_bkps} change(s), "
                   f"cost {self.cost:.6g}")
        return html_table(segment_rows(self), caption)

    def plot(self, ax: Any = None, true_breakpoints: Sequence[int] | None = None,
             confidence: float | None = None) -> Any:
        """Draw the signal over its shaded segments (needs matplotlib).

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
            The Axes drawn on. The x axis is the index when it holds numbers
            or times, else the sample position.

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
        """
        title = f"{self.method}, model {self.model}: {self.n_bkps} change(s)"
        bands = () if confidence is None else self.confidence_intervals(confidence)
        return plot_segments(self.signal, self.breakpoints, ax=ax,
                             true_breakpoints=true_breakpoints, title=title,
                             index=self.index, bands=bands)


def confidence_level(level: Any) -> float:
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a real number, got {type(level).__name__}")
    if not 0 < level < 1:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    return float(level)


def detect(signal: npt.ArrayLike, model: str = "l2", method: str = "pelt", *,
           pen: float | None = None, n_bkps: SupportsIndex | None = None,
           epsilon: float | None = None, jump: SupportsIndex = 1,
           min_size: SupportsIndex | None = None, params: Mapping[str, Any] | None = None,
           variant: str | None = None, progress: bool = False,
           **method_options: SupportsIndex) -> Detection:
    """Find the change points of a signal.

    Parameters
    ----------
    signal : array_like
        Samples × columns (1-D is one column), finite: a NumPy array,
        anything NumPy converts, or a pandas Series or DataFrame (its columns
        as dimensions), whose index the result keeps.
    model : str, default "l2"
        The segment cost: "l1", "l2", "normal", "rbf", "cosine", "rank",
        "mahalanobis", "clinear", "linear" or "ar".
    method : str, default "pelt"
        The search: "pelt" (the exact minimum of the costs plus `pen` per
        change, for every model: PELT's pruning only where it is sound for
        the model), "dynp", "binseg", "bottomup", "window" or "kernel_pelt"
        ("rbf", "cosine", or "l2" whose variant then defaults to
        "extension"; every position, so `jump` 1).
    pen : float, optional
        The price of one change, for every method but "dynp". Given none of
        `pen`, `n_bkps` and `epsilon`, the model's `default_penalty` (the
        result's `penalty` says which).
    n_bkps : int, optional
        The exact number of changes: required by "dynp", a stopping rule for
        "binseg", "bottomup" and "window".
    epsilon : float, optional
        A bound on the total cost, the other stopping rule of the greedy
        methods. They take at most one of `n_bkps`, `pen` and `epsilon`.
    jump : int, default 1
        The grid step of the admissible breakpoints.
    min_size : int, optional
        The shortest segment, raised to the model's own minimum when
        smaller. Without it, the model's own minimum, except for "normal":
        d + 4 samples for d columns, so that no segment stands out merely
        because its few samples repeat a value (its variance would be zero).
    params : mapping, optional
        The model's parameters, as for `CostEngine` ("gamma", "add_small_diag",
        "order", "metric").
    variant : str, optional
        The model's variant, as for `CostEngine`.
    progress : bool, default False
        Show a progress bar on stderr (needs tqdm) once the search has run
        for about a second.
    **method_options
        For "window", `width`: 100 samples, or half the signal for shorter
        ones (rounded down to even), never below 2·min_size.

    Returns
    -------
    Detection
        The breakpoints with what produced them; its `labels`, `summary()`,
        `confidence_intervals()` and `plot()` explain them.

    Raises
    ------
    ValueError
        An unknown model or method, contradictory or missing stopping rules,
        a signal that is empty, not 1-D or 2-D or not finite, a model that
        refuses it, or a request that cannot be met (more changes than fit).
    TypeError
        Arguments of the wrong type, a signal that holds no real numbers,
        an option the method does not take.
    KeyboardInterrupt
        On Ctrl-C: the search stops within a fraction of a second.
    ImportError
        `progress=True` without tqdm.

    See Also
    --------
    detect_many : the same for many signals, concurrently.
    penalty_path : every segmentation over a range of penalties.
    default_penalty : the penalty used when none is given.

    Examples
    --------
    >>> import marbolt_rs
    >>> from marbolt_rs.datasets import load_nile
    >>> years, flow = load_nile()
    >>> marbolt_rs.detect(flow).breakpoints
    [28, 100]
    >>> marbolt_rs.detect(flow, "normal", "binseg").breakpoints
    [28, 100]
    >>> marbolt_rs.detect(flow, method="dynp", n_bkps=2).breakpoints
    [19, 28, 100]

    A pandas Series keeps its index:

    >>> import pandas as pd
    >>> nile = pd.Series(flow, index=pd.Index(years, name="year"))
    >>> marbolt_rs.detect(nile).labels
    [1899]
    """
    request = check_request(model, method, n_bkps=n_bkps, pen=pen, epsilon=epsilon,
                            jump=jump, min_size=min_size, variant=variant,
                            **method_options)
    with search_control(progress, f"{method} {model}") as control:
        return detect_checked(signal, request, params, variant, control=control)


def detect_checked(signal, request, params=None, variant=None, index=None, control=None):
    """`detect` of a `Request` that `check_request` has already accepted, so
    that many signals under one request are checked once. `index`, one label
    per sample, stands in for the index of a signal that has none; `control`
    (a `_native.Control`) stops the search and follows its progress."""
    model, method = request.model, request.method
    own_index, names = pandas_parts(signal)
    x = as_signal(signal)
    if method == "kernel_pelt" and model == "l2" and variant is None:
        variant = "extension"
    engine = core.Engine(x, model, params, variant)
    size = segment_floor(engine, request, columns(x).shape[1])
    penalty, rule = request.pen, None if request.pen is None else GIVEN
    if penalty is None and method != "dynp" and request.n_bkps is None \
            and request.epsilon is None:
        chosen = penalty_for(PenaltyContext(columns(x), engine, params, method, size,
                                            request.jump))
        penalty, rule = chosen.value, chosen.rule
    bkps = SEARCHES[method](engine, request, penalty, size, control)
    segments = zip([0, *bkps[:-1]], bkps)
    return Detection(breakpoints=bkps, cost=engine.sum_of_costs(bkps), model=model,
                     method=method, penalty=penalty, penalty_rule=rule, min_size=size,
                     jump=request.jump,
                     signal=x, index=own_index if index is None else index, columns=names,
                     segment_costs=tuple(engine.error(a, b) for a, b in segments),
                     params=engine.params)


def _pelt(engine, r, pen, min_size, control):
    # The penalised optimum: PELT itself wherever its pruning is sound.
    return core.optimum(engine, pen, r.jump, min_size, control=control)


def _kernel_pelt(engine, r, pen, min_size, control):
    return core.kernel_pelt(engine, pen, min_size, control=control)


def _dynp(engine, r, pen, min_size, control):
    n = engine.n_samples
    if not core.sanity_check(n, r.n_bkps, r.jump, min_size):
        raise ValueError(f"{r.n_bkps} breakpoints do not fit in {n} samples with "
                         f"min_size {min_size} and jump {r.jump}")
    return core.dynp(engine, r.n_bkps, r.jump, min_size, control=control)


def _greedy(search):
    def run(engine, r, pen, min_size, control):
        return search(engine, r.jump, min_size, n_bkps=r.n_bkps, pen=pen,
                      epsilon=r.epsilon, control=control)
    return run


def _window(engine, r, pen, min_size, control):
    width = r.width
    if width is None:
        width = max(2 * min_size, min(DEFAULT_WIDTH, engine.n_samples // 4 * 2))
    elif width < 2 * min_size:
        raise ValueError(f"width must be at least 2·min_size = {2 * min_size}, so that "
                         f"each half window holds a segment; got {width}")
    inds, score = core.window_fit(engine, width, r.jump, control=control)
    return core.window_predict(engine, inds, score, width, r.jump, min_size,
                               n_bkps=r.n_bkps, pen=pen, epsilon=r.epsilon, control=control)


SEARCHES = {
    "pelt": _pelt,
    "kernel_pelt": _kernel_pelt,
    "dynp": _dynp,
    "binseg": _greedy(core.binseg),
    "bottomup": _greedy(core.bottomup),
    "window": _window,
}
