"""detect(): from a signal to its breakpoints in one call."""

from __future__ import annotations

import numbers
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native as core
from ._arguments import OPTIONS, check_request, segment_floor
from ._auto import RULE, Season, choose, remove_season
from ._intervals import ChangeInterval
from ._methods import METHODS
from ._names import keywords_checked
from ._models import MODELS, PenaltyContext, names_where, quoted
from ._penalty import penalty_for
from ._plot import plot_segments
from ._signal import as_signal, change_labels, columns, label_at, pandas_parts
from ._noise import noise_floor
from ._summary import as_table, html_table, segment_rows
from ._units import in_callers_unit, in_search_unit, unit_exponent

__all__ = ["Detection", "ImplausibleSegmentation", "detect"]

# The penalty rule of a result whose `pen` the caller gave.
GIVEN = "given"
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


@keywords_checked(*OPTIONS)
def detect(signal: npt.ArrayLike, model: str | None = None, method: str | None = None, *,
           pen: float | str | None = None, n_bkps: SupportsIndex | None = None,
           epsilon: float | None = None, jump: SupportsIndex = 1,
           min_size: SupportsIndex | None = None, params: Mapping[str, Any] | None = None,
           variant: str | None = None, period: SupportsIndex | None = None,
           **method_options: SupportsIndex) -> Detection:
    """Find the change points of a signal.

    Parameters
    ----------
    signal : array_like
        Samples × columns (1-D is one column), finite: a NumPy array,
        anything NumPy converts, or a pandas Series or DataFrame (its columns
        as dimensions), whose index the result keeps.
    model : str, optional
        The segment cost: "l1", "l2", "normal", "rbf", "cosine", "rank",
        "mahalanobis", "clinear", "linear", "ar", "trend" (a line in time per
        segment), or the likelihood models "poisson" (counts), "exponential"
        (waiting times, gaps) and "variance" (a change of spread about a
        fixed mean). None (the default) lets the data choose, for real
        series with trends, seasons and dependent noise (see Notes): with
        the PELT search and no stopping rule, params or variant given, a
        piecewise-constant mean ("l2") or a piecewise-linear trend
        ("trend"), after removing a seasonal profile, at a penalty
        calibrated on the residuals; with anything else, "l2". Name a model
        for the plain search.
    method : str, optional
        The search: "pelt", "dynp", "binseg", "bottomup", "window" or
        "kernel_pelt" ("rbf", "cosine", or "l2" whose variant then defaults
        to "extension"; every position, so `jump` 1). None picks the exact
        search for what is asked: "pelt" for a penalty (given or the
        default), "dynp" when only `n_bkps` is given (pruned, so fast on
        long one-column "l2" signals). The result's `method` names the one
        run.
    pen : float or str, optional
        The price of one change, for every method but "dynp": a number, or
        a named penalty, "aic", "bic", "hq" or "mbic" (see
        `default_penalty`). Given none of `pen`, `n_bkps` and `epsilon`, the
        model's `default_penalty` (the result's `penalty` and `penalty_rule`
        say which).
    n_bkps : int, optional
        The exact number of changes: alone, it runs "dynp" (the best
        segmentation with that many changes); a stopping rule for "binseg",
        "bottomup" and "window" too.
    epsilon : float, optional
        A bound on the total cost, the other stopping rule of the greedy
        methods. They take at most one of `n_bkps`, `pen` and `epsilon`.
    jump : int, default 1
        The grid step of the admissible breakpoints.
    min_size : int, optional
        The shortest segment, raised to the model's own minimum when
        smaller. Without it, the model's own minimum, except for "normal":
        d + 4 samples for d columns, so that no segment stands out merely
        because its few samples repeat a value (its variance would be zero);
        and 2 for "poisson", "exponential" and "variance", whose one-sample
        segments fit their own rate, mean or variance exactly.
    params : mapping, optional
        The model's parameters, as for `CostEngine`: "add_small_diag" for
        "normal", "gamma" for "rbf", "metric" for "mahalanobis", "order" for
        "ar"; and the package's own: "mean" for "variance" (one value, or one
        per column; default the signal's column means) and "resolution" for
        "normal" and "variance" (the step the data were rounded to, one value
        or one per column; default the smallest gap between two distinct
        values of each column; 0 for none). A variance is never estimated
        below resolution² / (2π): a value known only to its rounding bin
        cannot be more certain than that, so runs of repeated values in
        rounded data or counts are not changes. Any other key is refused.
    variant : str, optional
        The model's variant, as for `CostEngine`.
    period : int, optional
        Remove the seasonal profile of this many samples (the median of each
        phase about a moving average) before the search, whatever the model
        and method; 0 never removes one. None: the automatic default takes
        the period a pandas index's frequency implies (12 for monthly data),
        else a strong one found in the data; named models remove none.
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
        An unknown model, method or parameter (naming the likely one),
        contradictory or missing stopping rules, a signal that is empty, not
        1-D or 2-D, has missing values or is not finite, a model that
        refuses it, or a request that cannot be met (more changes than fit).
    TypeError
        Arguments of the wrong type, a signal that holds no real numbers,
        an unknown keyword argument (naming the likely one) or an option the
        method does not take.

    Warns
    -----
    UserWarning
        For a (1, n) signal: it is read as one sample of n columns.
    ImplausibleSegmentation
        When a penalised or thresholded search returns more changes than
        max(5, n / 10), or at least 4 changes with segments of a median
        length of 3 samples or less: such results more likely follow noise,
        a trend or a season than changes.

    Notes
    -----
    The automatic default (no model named) is for real series, where noise
    is rarely independent and levels rarely constant. It removes a seasonal
    profile (see `period`); it prices a change at MBIC's (p + 2)·log(n)
    (Zhang & Siegmund, Biometrics 2007; p = 1 parameter per segment for a
    level, 2 for a line) times the long-run noise variance, measured on
    local means within the segments found and on the residuals read as
    AR(1) noise, and raised until the segmentation's own residuals show no
    more variability than it priced (a staircase up a trend or a wander
    leaves residuals that drift, and is priced out); and it keeps the level
    or the trend model, whichever has the lower penalised residual sum of
    squares on their common noise scale. The result says what it chose:
    `model`, `penalty`, `penalty_rule` and `season`. The trend model is
    tried for signals of up to 20 000 samples.

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
    >>> result = marbolt_rs.detect(flow, n_bkps=2)  # a known count: the exact search
    >>> result.method, result.breakpoints
    ('dynp', [19, 28, 100])

    A pandas Series keeps its index:

    >>> import pandas as pd
    >>> nile = pd.Series(flow, index=pd.Index(years, name="year"))
    >>> marbolt_rs.detect(nile).labels
    [1899]
    """
    request = check_request(model, method, n_bkps=n_bkps, pen=pen, epsilon=epsilon,
                            jump=jump, min_size=min_size, params=params, variant=variant,
                            period=period, **method_options)
    return detect_checked(signal, request, params, variant)


def detect_checked(signal, request, params=None, variant=None, index=None):
    """`detect` of a `Request` that `check_request` has already accepted, so
    that many signals under one request are checked once. `index`, one label
    per sample, stands in for the index of a signal that has none."""
    own_index, names = pandas_parts(signal)
    index = own_index if index is None else index
    x = as_signal(signal)
    exponent = unit_exponent(columns(x), request.model)
    searched = np.ldexp(columns(x), -exponent)
    period = request.period
    if period is None and not request.automatic:
        period = 0
    searched, season = remove_season(searched, period, index)
    if request.automatic:
        choice = choose(searched, request.min_size, request.jump, noise_floor(searched))
        engine, bkps, penalty, rule = choice.engine, choice.breakpoints, choice.penalty, RULE
        size = choice.min_size
    else:
        engine, bkps, penalty, rule, size = search(searched, request, params, variant, exponent)
    convert = in_callers_unit(engine.model, exponent)
    adjusted = x if season is None else np.ldexp(searched, exponent).reshape(x.shape)
    adjusted.flags.writeable = False
    if season is not None:
        season = Season(season.period, np.ldexp(season.profile, exponent))
    result = detection_of(engine, bkps, request.method, penalty, rule, size, request.jump,
                          adjusted, index, names, convert, season)
    if penalty is not None or request.epsilon is not None:
        warn_if_implausible(result)
    return result


def detection_of(engine, bkps, method, penalty, rule, min_size, jump, x, index, names,
                 convert=lambda value: value, season=None):
    """The `Detection` of breakpoints found on `engine`, fitted to `x`;
    `convert` takes its costs and penalty to the caller's unit."""
    return Detection(
        breakpoints=bkps, cost=convert(engine.sum_of_costs(bkps)), model=engine.model,
        method=method, penalty=convert(penalty), penalty_rule=rule, min_size=min_size,
        jump=jump, signal=x, index=index, columns=names, params=engine.params,
        season=season, segment_costs=tuple(convert(engine.error(a, b)) for a, b in pairs(bkps)))


def search(x, request, params, variant, exponent):
    """The requested search on the (rescaled) samples × columns `x`: its
    engine, breakpoints, penalty (in x's units) and rule, and shortest segment."""
    row = METHODS[request.method]
    if variant is None:
        variant = row.variants.get(request.model)
    engine = core.Engine(x, request.model, params, variant)
    if len(x) < engine.min_size:
        raise ValueError(f"the '{engine.model}' model needs segments of at least "
                         f"{engine.min_size} samples; the signal has {len(x)}")
    size = segment_floor(engine, request, x.shape[1])
    if request.epsilon is not None:
        request = replace(request, epsilon=in_search_unit(engine.model, exponent,
                                                          request.epsilon))
    penalty, rule = request.pen, None
    if penalty is not None:
        penalty, rule = in_search_unit(engine.model, exponent, penalty), GIVEN
    elif row.default_penalty and request.n_bkps is None and request.epsilon is None:
        chosen = penalty_for(PenaltyContext(x, engine, params, request.method, size,
                                            request.jump), request.pen_rule)
        penalty, rule = chosen.value, chosen.rule
    return engine, row.run(engine, request, penalty, size), penalty, rule, size


def pairs(bkps):
    return zip([0, *bkps[:-1]], bkps)


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
