"""Checks of what `detect` is asked, before any work is done.

They run without the signal, so `detect_many` can refuse a bad request once,
up front, instead of once per signal.
"""

import math
import numbers
import operator
from dataclasses import dataclass
from typing import Optional

from collections.abc import Mapping

from ._methods import METHODS as METHOD_TABLE, STOPPING
from ._models import MODELS as MODEL_TABLE, NAMED_PENALTIES, quoted
from ._names import did_you_mean

MODELS = tuple(MODEL_TABLE)
METHODS = tuple(METHOD_TABLE)
# The keyword options of every method, which detect's **method_options pass on.
OPTIONS = tuple(sorted({option for row in METHOD_TABLE.values() for option in row.options}))
# detect's keyword arguments besides them.
KEYWORDS = ("pen", "n_bkps", "epsilon", "jump", "min_size", "params", "variant", "period")
# The model a request names when it leaves the choice to the data but asks
# for something the automatic choice does not do (another search, a stopping
# rule of its own).
PLAIN_MODEL = "l2"


@dataclass(frozen=True)
class Request:
    """A checked request: counts are ints, penalties floats, absent values None."""

    model: str
    method: str
    n_bkps: Optional[int]
    pen: Optional[float]
    epsilon: Optional[float]
    jump: int
    min_size: Optional[int]
    width: Optional[int]
    pen_rule: Optional[str] = None  # a named penalty, in place of `pen`
    period: Optional[int] = None    # a seasonal period to remove; 0: none
    automatic: bool = False         # the model (l2 or trend) and season chosen from the data


def check_request(model, method=None, *, n_bkps=None, pen=None, epsilon=None, jump=1,
                  min_size=None, params=None, variant=None, period=None, **options):
    """A `Request`, or the ValueError/TypeError that says what is wrong.

    Without a method, the first exact search that takes the stopping rule
    given: PELT for a penalty or none, dynp for a number of breakpoints.
    Without a model, the automatic choice for PELT at its own penalty, else
    "l2".
    """
    automatic = model is None and method in (None, "pelt") and \
        n_bkps is None and pen is None and epsilon is None and params is None and \
        variant is None
    if model is None:
        model = PLAIN_MODEL
    check_model(model)
    check_params(model, params)
    given = {"n_bkps": n_bkps, "pen": pen, "epsilon": epsilon}
    if method is None:
        method = route(model, given)
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"unknown method: {method}.{did_you_mean(method, METHODS)} "
                         f"Supported: {', '.join(METHODS)}")
    row = METHOD_TABLE[method]
    unknown = sorted(set(options) - set(row.options))
    if unknown:
        raise TypeError(f"method '{method}' got unexpected option(s): {', '.join(unknown)}")
    _check_stopping(model, method, row, given)
    width = options.get("width")
    pen_rule = named_penalty(pen) if isinstance(pen, str) else None
    request = Request(
        model=model, method=method,
        n_bkps=None if n_bkps is None else count("n_bkps", n_bkps, 0),
        pen=None if pen is None or pen_rule is not None else real("pen", pen),
        epsilon=None if epsilon is None else real("epsilon", epsilon),
        jump=count("jump", jump, 1),
        min_size=None if min_size is None else count("min_size", min_size, 1),
        width=None if width is None else count("width", width, 2),
        pen_rule=pen_rule, period=None if period is None else season_period(period),
        automatic=automatic,
    )
    _check_served(method, row, model, variant, request.jump)
    return request


def named_penalty(name):
    """A named penalty, or the refusal that names the likely one."""
    if name not in NAMED_PENALTIES:
        raise ValueError(f"unknown penalty: {name!r}.{did_you_mean(name, NAMED_PENALTIES)} "
                         f"Pass a number or one of {quoted(list(NAMED_PENALTIES))}")
    return name


def check_model(model):
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError(f"unknown model: {model}.{did_you_mean(model, MODELS)} "
                         f"Supported: {', '.join(MODELS)}")


def check_params(model, params):
    """Refuse keys the model's engine would not read: a misspelt one would
    otherwise leave its default in force without a word."""
    if not isinstance(params, Mapping):
        return  # None, or a value the engine refuses with its own message
    known = MODEL_TABLE[model].params
    for key in params:
        if key not in known:
            takes = (f"Model '{model}' takes {quoted(list(known), 'and')}" if known
                     else f"Model '{model}' takes no parameters")
            raise ValueError(f"unknown parameter {key!r} for model '{model}'."
                             f"{did_you_mean(key, known)} {takes}")


def route(model, given):
    """The method run when none is named: the first exact search (in table
    order) that serves the model and takes the stopping rule given."""
    named = [name for name in STOPPING if given[name] is not None]
    if len(named) > 1:
        raise ValueError(f"give one of {_one_of(tuple(STOPPING))}, got {' and '.join(named)}")
    for method, row in METHOD_TABLE.items():
        if row.exact and _serves(row, model) and set(named) <= set(row.stopping) \
                and all(given[name] is not None for name in row.requires):
            return method
    takers = [method for method, row in METHOD_TABLE.items()
              if named[0] in row.stopping and _serves(row, model)]
    raise ValueError(f"no exact search takes {named[0]}: pass method {quoted(takers)}")


def _serves(row, model):
    return row.models is None or model in row.models


def _check_stopping(model, method, row, values):
    given = [name for name in STOPPING if values[name] is not None]
    wrong = [name for name in given if name not in row.stopping]
    if wrong and len(row.stopping) == 1:
        fallback = " (or none, for the default penalty)" if row.default_penalty else ""
        raise ValueError(f"method '{method}' takes {row.stopping[0]}{fallback}, not {wrong[0]}"
                         f"{_instead(model, wrong[0])}")
    for name in row.requires:
        if values[name] is None:
            raise ValueError(f"method '{method}' needs {name}, {STOPPING[name]}")
    if len(given) > 1:
        raise ValueError(f"method '{method}' takes only one of {_one_of(row.stopping)}, "
                         f"got {' and '.join(given)}")


def _instead(model, rule):
    """What to pass for a stopping rule the method does not take."""
    try:
        method = route(model, {name: True if name == rule else None for name in STOPPING})
    except ValueError:
        takers = [method for method, row in METHOD_TABLE.items()
                  if rule in row.stopping and _serves(row, model)]
        return f"; for {rule}, use method {quoted(takers)}"
    return f"; for {rule}, use method '{method}' (or leave method out)"


def _one_of(names):
    return f"{', '.join(names[:-1])} or {names[-1]}"


def _check_served(method, row, model, variant, jump):
    if row.models is not None and model not in row.models:
        raise ValueError(f"method '{method}' needs model {quoted(list(row.models))}, "
                         f"got '{model}'")
    needed = row.variants.get(model)
    if needed is not None and variant not in (None, needed):
        raise ValueError(f"method '{method}' needs variant '{needed}' for model '{model}' "
                         f"(the default for it), got '{variant}'")
    if row.every_position and jump != 1:
        raise ValueError(f"method '{method}' tries every position: jump must be 1, "
                         f"got {jump}")


def season_period(value):
    """A seasonal period: 0 for none, else at least 2 samples."""
    period = count("period", value, 0)
    if period == 1:
        raise ValueError("period must be 0 (no seasonal profile) or at least 2, got 1")
    return period


def count(name, value, least):
    """`value` as an int of at least `least`."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    return value


def real(name, value):
    """`value` as a finite float >= 0: a penalty or threshold below 0 means nothing."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{name} must be a finite number >= 0, got {value!r}")
    return value


def segment_floor(engine, request, n_columns):
    """The shortest segment searched: the request's `min_size`, raised to the
    engine's own minimum, or `default_min_size` when none was asked for."""
    if request.min_size is not None:
        return max(engine.min_size, request.min_size)
    return max(engine.min_size, default_min_size(engine.model, n_columns))


def default_min_size(model, n_columns):
    """The shortest segment `detect` searches when no `min_size` is given.

    The engine's own minimum for every model but "normal", whose cost is the
    log-determinant of the segment covariance: that needs d + 1 samples to
    be non-singular at all, and a few more degrees of freedom before a short
    stretch stops looking like a change of variance merely because its few
    samples happen to agree. Two samples that repeat a value (rounded data)
    have a variance of zero and a cost of minus infinity, which no penalty
    outweighs. With d + 4 samples (5 for one column) the estimate has four
    degrees of freedom beyond the minimum; on seeded Gaussian noise rounded
    to 0.3 standard deviations (100 samples) this brings the spurious
    changes from 2.6 to 0.03 per signal, and the Nile series loses the
    two-sample segment its repeated 1160 made.
    """
    return MODEL_TABLE[model].min_size(n_columns)
