"""detect(): from a signal to its breakpoints in one call."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import replace
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native as core
from ._arguments import OPTIONS, check_request, segment_floor
from ._auto import Season, choose, remove_season
from ._control import search_control
from ._methods import METHODS
from ._models import PenaltyContext
from ._names import keywords_checked
from ._penalty import penalty_for
from ._result import Detection, ImplausibleSegmentation, warn_if_implausible
from ._signal import as_signal, columns, pandas_parts
from ._units import in_callers_unit, in_search_unit, unit_exponent

__all__ = ["Detection", "ImplausibleSegmentation", "detect"]

# The penalty rule of a result whose `pen` the caller gave.
GIVEN = "given"


@keywords_checked(*OPTIONS)
def detect(signal: npt.ArrayLike, model: str | None = None, method: str | None = None, *,
           pen: float | str | None = None, n_bkps: SupportsIndex | None = None,
           epsilon: float | None = None, jump: SupportsIndex = 1,
           min_size: SupportsIndex | None = None, params: Mapping[str, Any] | None = None,
           variant: str | None = None, period: SupportsIndex | None = None,
           progress: bool = False, **method_options: SupportsIndex) -> Detection:
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
        run. "pelt" is the exact minimum of the costs plus `pen` per change
        for every model, `jump` and `min_size` (PELT's pruning only where it
        is sound for the model).
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
        An unknown model, method or parameter (naming the likely one),
        contradictory or missing stopping rules, a signal that is empty, not
        1-D or 2-D, has missing values or is not finite, a model that
        refuses it, or a request that cannot be met (more changes than fit).
    TypeError
        Arguments of the wrong type, a signal that holds no real numbers,
        an unknown keyword argument (naming the likely one) or an option the
        method does not take.
    KeyboardInterrupt
        On Ctrl-C: the search stops within a fraction of a second.
    ImportError
        `progress=True` without tqdm.

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
    tried for signals of up to 20 000 samples. Several columns are each
    divided by their own noise scale first, so that one in large units does
    not drown a change in another; `cost` and `penalty` are then in that
    unit.

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
    >>> result = marbolt_rs.detect(flow, n_bkps=2)  # a count: the exact search
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
    with search_control(progress, "detect") as control:
        return detect_checked(signal, request, params, variant, control=control)


def detect_checked(signal, request, params=None, variant=None, index=None, control=None):
    """`detect` of a `Request` that `check_request` has already accepted, so
    that many signals under one request are checked once. `index`, one label
    per sample, stands in for the index of a signal that has none; `control`
    (a `_native.Control`) stops the search and follows its progress."""
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
        choice = choose(searched, request.min_size, request.jump, control)
        engine, bkps, penalty, rule = choice.engine, choice.breakpoints, choice.penalty, choice.rule
        size, standardised = choice.min_size, choice.standardised
    else:
        engine, bkps, penalty, rule, size = search(searched, request, params, variant, exponent,
                                                   control)
        standardised = False
    # Standardised columns have no unit to return to: their costs stay as searched.
    convert = float if standardised else in_callers_unit(engine.model, exponent)
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


def search(x, request, params, variant, exponent, control=None):
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
    return engine, row.run(engine, request, penalty, size, control), penalty, rule, size


def pairs(bkps):
    return zip([0, *bkps[:-1]], bkps)
