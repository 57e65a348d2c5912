"""detect(): from a signal to its breakpoints in one call."""

import numbers
from dataclasses import dataclass, field
from typing import Any, List, Mapping, Optional, Tuple

import numpy as np

from . import _marbolt_rs as core
from ._arguments import check_request, segment_floor
from ._intervals import change_interval
from ._penalty import penalty_for
from ._plot import plot_segments
from ._signal import as_signal, change_labels, columns, label_at, pandas_parts
from ._summary import as_table, html_table, segment_rows

DEFAULT_WIDTH = 100
# The models whose changes are changes in mean, which the intervals cover.
MEAN_MODELS = ("l2", "normal")


@dataclass(frozen=True)
class Detection:
    """The outcome of `detect`: breakpoints and what produced them.

    `breakpoints` ascend and end with the number of samples; `cost` is the
    engine's `sum_of_costs` of them (no penalty included); `penalty` is the
    `pen` used, chosen by the default rule when none was given, or None for
    searches stopped by `n_bkps` or `epsilon`. `signal` is the read-only
    float64 copy that was searched, kept for `plot`; `index` the index of a
    pandas signal (or the labels read by the command line), else None, and
    `columns` the names of its columns, if it had any. `segment_costs` holds
    the cost of each segment, `params` the model's parameters.
    """

    breakpoints: List[int]
    cost: float
    model: str
    method: str
    penalty: Optional[float]
    min_size: int
    jump: int
    signal: np.ndarray = field(repr=False, compare=False)
    index: Any = field(default=None, repr=False, compare=False)
    columns: Optional[Tuple[Any, ...]] = field(default=None, repr=False, compare=False)
    segment_costs: Tuple[float, ...] = field(default=(), repr=False, compare=False)
    params: Optional[Mapping[str, Any]] = field(default=None, repr=False, compare=False)

    @property
    def segments(self):
        """Half-open (start, end) sample ranges, one per segment."""
        return list(zip([0, *self.breakpoints[:-1]], self.breakpoints))

    @property
    def n_bkps(self):
        """The number of changes (the breakpoints before the end of the signal)."""
        return len(self.breakpoints) - 1

    @property
    def labels(self):
        """The index label of the first sample of each new segment, one per change.

        A Timestamp for a DatetimeIndex, a year for a yearly index; the
        sample positions themselves when the signal had no index.
        """
        return change_labels(self.index, self.breakpoints)

    def summary(self):
        """One row per segment: where it lies, its cost and the model's estimates.

        Every row has `start`, `end` (half-open) and `length`; with an index,
        `first_label` and `last_label`, the labels of its first and last
        samples; then `cost` and what the model fits to the segment:

        - "l2", "normal", "rbf", "cosine", "rank", "mahalanobis": `mean` and
          `std` (divisor L) of each column; "l1": `median` and `std`;
        - "linear": `coef_<column>`, the least-squares coefficients of
          column 0 on each other column (no intercept);
        - "ar": `ar1` … `ar<order>` (`ar1` weighs the latest value) and
          `intercept` of the autoregression the cost fits, on the signal
          centred by its column means;
        - "clinear": `start_value`, `end_value` and `slope` (per sample) of
          the line pinned to the sample before the segment and its last
          sample.

        With several columns each estimate is suffixed by `_<column name>`
        (or `_<position>`). A pandas DataFrame when pandas is installed,
        else a list of dicts.
        """
        return as_table(segment_rows(self))

    def confidence_intervals(self, level=0.95, labels=False):
        """Where each change lies, at the given confidence: one (low, high) per change.

        For changes in mean ("l2", and "normal" read as a change in mean with
        a different variance on each side): the asymptotic interval of Bai
        (1997, Review of Economics and Statistics 79(4)) in its form for
        unequal variances, from the shift and the two covariances estimated
        on the neighbouring segments. `low` and `high` are sample positions
        in the breakpoint convention (the first sample of the new segment):
        the true change lies in [low, high] with probability `level`, within
        the neighbouring segments. `labels=True` gives the index labels of
        those samples instead.

        It assumes what its limit theory does: changes far apart compared
        with the interval widths, and noise without strong serial
        correlation or heavy tails. Small shifts on short segments give
        somewhat narrow intervals (about 93 % coverage at 95 % for a shift
        of half a standard deviation between segments of 100 to 1000
        samples); under a change of variance alone the intervals span the
        neighbouring segments.
        """
        if self.model not in MEAN_MODELS:
            raise ValueError(f"confidence intervals are for changes in mean (models "
                             f"'l2' and 'normal'), not for model '{self.model}'")
        level = confidence_level(level)
        x = columns(self.signal)
        bkps = [0, *self.breakpoints]
        found = [change_interval(x, start, change, end, level)
                 for start, change, end in zip(bkps, bkps[1:], bkps[2:])]
        if labels:
            return [(label_at(self.index, low), label_at(self.index, high))
                    for low, high in found]
        return found

    def _repr_html_(self):
        penalty = "" if self.penalty is None else f", penalty {self.penalty:.4g}"
        caption = (f"{self.method}, model {self.model}{penalty}: {self.n_bkps} change(s), "
                   f"cost {self.cost:.6g}")
        return html_table(segment_rows(self), caption)

    def plot(self, ax=None, true_breakpoints=None, confidence=None):
        """Draw the signal over its segments; returns the Axes (needs matplotlib).

        The x axis is the index when it holds numbers or times. A
        `confidence` level (such as 0.95) draws the `confidence_intervals`
        of the changes as grey bands.
        """
        title = f"{self.method}, model {self.model}: {self.n_bkps} change(s)"
        bands = () if confidence is None else self.confidence_intervals(confidence)
        return plot_segments(self.signal, self.breakpoints, ax=ax,
                             true_breakpoints=true_breakpoints, title=title,
                             index=self.index, bands=bands)


def confidence_level(level):
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a real number, got {type(level).__name__}")
    if not 0 < level < 1:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    return float(level)


def detect(signal, model="l2", method="pelt", *, pen=None, n_bkps=None, epsilon=None,
           jump=1, min_size=None, params=None, variant=None, **method_options):
    """Find the change points of `signal` and return a `Detection`.

    `signal`: array-like, samples × columns (1-D is one column), finite; a
    pandas Series or DataFrame (columns as dimensions) keeps its index in the
    result, whose `labels` then name the changes.
    `model`: the segment cost ("l1", "l2", "normal", "rbf", "cosine", "rank",
    "mahalanobis", "clinear", "linear", "ar"), with its `params` and
    `variant` as for `CostEngine`.
    `method` and what stops it:

    - "pelt", "kernel_pelt": `pen`, the price of one change; when None, the
      default of `default_penalty` (stated in the result's `penalty`).
      "kernel_pelt" takes "rbf", "cosine" or "l2" (whose variant then
      defaults to "extension") and every position (`jump` 1).
    - "dynp": `n_bkps`, the exact number of changes.
    - "binseg", "bottomup", "window": at most one of `n_bkps`, `pen` or
      `epsilon` (a bound on the total cost); with none, the default penalty
      as for "pelt". "window" takes the option `width`: 100 samples, or
      half the signal for shorter ones (rounded down to even), never below
      2·min_size.

    `jump` is the grid step of the admissible breakpoints; `min_size`, the
    shortest segment, is raised to the model's own minimum when smaller.
    Without it, the model's own minimum is used, except for "normal": d + 4
    samples for d columns, so that no segment stands out merely because its
    few samples repeat a value.
    """
    request = check_request(model, method, n_bkps=n_bkps, pen=pen, epsilon=epsilon,
                            jump=jump, min_size=min_size, variant=variant,
                            **method_options)
    return detect_checked(signal, request, params, variant)


def detect_checked(signal, request, params=None, variant=None, index=None):
    """`detect` of a `Request` that `check_request` has already accepted, so
    that many signals under one request are checked once. `index`, one label
    per sample, stands in for the index of a signal that has none."""
    model, method = request.model, request.method
    own_index, names = pandas_parts(signal)
    x = as_signal(signal)
    if model == "cosine":
        _check_norms(x)
    if method == "kernel_pelt" and model == "l2" and variant is None:
        variant = "extension"
    engine = core.CostEngine(x, model, params, variant)
    size = segment_floor(engine, request, columns(x).shape[1])
    penalty = request.pen
    if penalty is None and method != "dynp" and request.n_bkps is None \
            and request.epsilon is None:
        penalty = penalty_for(x, engine, params)
    bkps = SEARCHES[method](engine, request, penalty, size)
    segments = zip([0, *bkps[:-1]], bkps)
    return Detection(breakpoints=bkps, cost=engine.sum_of_costs(bkps), model=model,
                     method=method, penalty=penalty, min_size=size, jump=request.jump,
                     signal=x, index=own_index if index is None else index, columns=names,
                     segment_costs=tuple(engine.error(a, b) for a, b in segments),
                     params=None if params is None else dict(params))


def _check_norms(x):
    """A zero sample has no direction: every cosine cost it enters is NaN."""
    zero = np.flatnonzero(~np.any(columns(x), axis=1))
    if len(zero):
        raise ValueError(f"the cosine model needs samples that are not all zeros; "
                         f"sample {zero[0]} is")


def _pelt(engine, r, pen, min_size):
    return core.pelt(engine, pen, r.jump, min_size)


def _kernel_pelt(engine, r, pen, min_size):
    return core.kernel_pelt(engine, pen, min_size)


def _dynp(engine, r, pen, min_size):
    n = engine.n_samples
    if not core.sanity_check(n, r.n_bkps, r.jump, min_size):
        raise ValueError(f"{r.n_bkps} breakpoints do not fit in {n} samples with "
                         f"min_size {min_size} and jump {r.jump}")
    return core.dynp(engine, r.n_bkps, r.jump, min_size)


def _greedy(search):
    def run(engine, r, pen, min_size):
        return search(engine, r.jump, min_size, n_bkps=r.n_bkps, pen=pen,
                      epsilon=r.epsilon)
    return run


def _window(engine, r, pen, min_size):
    width = r.width
    if width is None:
        width = max(2 * min_size, min(DEFAULT_WIDTH, engine.n_samples // 4 * 2))
    elif width < 2 * min_size:
        raise ValueError(f"width must be at least 2·min_size = {2 * min_size}, so that "
                         f"each half window holds a segment; got {width}")
    inds, score = core.window_fit(engine, width, r.jump)
    return core.window_predict(engine, inds, score, width, r.jump, min_size,
                               n_bkps=r.n_bkps, pen=pen, epsilon=r.epsilon)


SEARCHES = {
    "pelt": _pelt,
    "kernel_pelt": _kernel_pelt,
    "dynp": _dynp,
    "binseg": _greedy(core.binseg),
    "bottomup": _greedy(core.bottomup),
    "window": _window,
}
