"""What the package knows of each search: one row per method.

A row says how to run the search on an engine, which stopping rules it takes
(and which it cannot run without), its own keyword options, whether it runs
at the model's default penalty when given no stopping rule, and which models
and variants it serves. The checks of a request, its messages and the choice
of a method read the rows; a new search is one row here.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Optional

from . import _native as core
from ._models import names_where

# The stopping rules, in the order messages name them, with what each one is.
STOPPING = {"n_bkps": "the number of breakpoints", "pen": "the penalty per change",
            "epsilon": "a bound on the total cost"}
# The sliding window's width when none is given (halved for short signals).
DEFAULT_WIDTH = 100

# run(engine, request, pen, min_size) -> breakpoints; `pen` is the request's or
# the default penalty, None when another stopping rule applies.
Runner = Callable[[Any, Any, Optional[float], int], list[int]]


@dataclass(frozen=True)
class MethodRow:
    run: Runner
    stopping: tuple[str, ...]          # the stopping rules it takes, at most one at a time
    requires: tuple[str, ...] = ()     # the stopping rules it cannot run without
    options: tuple[str, ...] = ()      # keyword options of its own
    default_penalty: bool = True       # no stopping rule given: the model's default penalty
    models: Optional[tuple[str, ...]] = None  # the models it serves; None: every one
    variants: Mapping[str, str] = field(default_factory=dict)  # a model's required variant
    every_position: bool = False       # no grid of breakpoints: jump must be 1
    exact: bool = False                # the optimum of its criterion, not a greedy answer


def _pelt(engine, r, pen, min_size):
    return core.pelt(engine, pen, r.jump, min_size)


def _kernel_pelt(engine, r, pen, min_size):
    return core.kernel_pelt(engine, pen, min_size)


def check_fit(engine, n_bkps, jump, min_size):
    """Refuse a count of breakpoints that no segmentation can hold."""
    n = engine.n_samples
    if not core.sanity_check(n, n_bkps, jump, min_size):
        raise ValueError(f"{n_bkps} breakpoints do not fit in {n} samples with "
                         f"min_size {min_size} and jump {jump}")


def _dynp(engine, r, pen, min_size):
    check_fit(engine, r.n_bkps, r.jump, min_size)
    return core.dynp(engine, r.n_bkps, r.jump, min_size)


def _greedy(search):
    def run(engine, r, pen, min_size):
        return search(engine, r.jump, min_size, n_bkps=r.n_bkps, pen=pen, epsilon=r.epsilon)
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


GREEDY_STOPPING = tuple(STOPPING)

# In the order the "unknown method" message names them.
METHODS = {
    "pelt": MethodRow(_pelt, stopping=("pen",), exact=True),
    "dynp": MethodRow(_dynp, stopping=("n_bkps",), requires=("n_bkps",),
                      default_penalty=False, exact=True),
    "binseg": MethodRow(_greedy(core.binseg), stopping=GREEDY_STOPPING),
    "bottomup": MethodRow(_greedy(core.bottomup), stopping=GREEDY_STOPPING),
    "window": MethodRow(_window, stopping=GREEDY_STOPPING, options=("width",)),
    "kernel_pelt": MethodRow(_kernel_pelt, stopping=("pen",),
                             models=tuple(names_where("kernel_pelt")),
                             variants={"l2": "extension"}, every_position=True, exact=True),
}
