"""The unit a signal is measured in must not change its changes.

Squared-error costs square the samples: values of 1e160 overflow to infinity
and values of 1e-160 underflow to zero, and every split then looks free or
impossible. The signal is therefore searched multiplied by the power of
two that brings its spread near 1, for every model whose costs scale as a
power of the samples: the multiplication is exact, so are the costs and the
penalty converted with it, and the breakpoints are those of the same signal
in any unit (which also keeps the regression models' constant regressors,
the ar intercept, on the scale of the signal, where their fits are
conditioned). The other models are searched as given, and refuse a signal
outside the range where their costs are finite.
"""

from __future__ import annotations

import math

import numpy as np

from ._models import MODELS

# Magnitudes whose squares, summed over a billion samples, stay far from the
# ends of float64 (2**±1022).
SAFE_EXPONENT = 250


def spread_exponent(x):
    """The power of two nearest the signal's typical magnitude (its largest
    absolute deviation from the median, or its largest absolute value)."""
    deviation = float(np.max(np.abs(x - np.median(x, axis=0)))) if x.size else 0.0
    magnitude = deviation if deviation > 0 else float(np.max(np.abs(x))) if x.size else 0.0
    if magnitude == 0 or not math.isfinite(magnitude):
        return 0
    return math.frexp(magnitude)[1]


def unit_exponent(x, model):
    """e such that the signal is searched as x · 2**-e.

    Raises ValueError for a signal out of the safe range whose model does
    not scale.
    """
    exponent = spread_exponent(x)
    if MODELS[model].cost_power is not None:
        return exponent
    largest = math.frexp(float(np.max(np.abs(x))))[1] if x.size else 0
    if abs(exponent) < SAFE_EXPONENT and largest < SAFE_EXPONENT:
        return 0
    raise ValueError(
        f"the signal's values are of the order of 2**{exponent} (about "
        f"{2.0 ** exponent:.1e}), where the '{model}' model's costs overflow or "
        f"underflow; divide the signal by {2.0 ** exponent:.1e} first, or use a model "
        "whose costs scale with it, such as 'l2' or 'l1'")


def in_callers_unit(model, exponent):
    """Converts a cost or penalty of the searched signal to the caller's unit
    (exactly, a power of two; infinity where the caller's unit cannot hold it)."""
    power = MODELS[model].cost_power
    shift = 0 if power is None else power * exponent

    def convert(value):
        if value is None or not shift:
            return value
        with np.errstate(over="ignore"):
            return float(np.ldexp(value, shift))
    return convert


def in_search_unit(model, exponent, value):
    """A cost or penalty of the caller's converted to the searched signal's unit."""
    power = MODELS[model].cost_power
    shift = 0 if power is None else power * exponent
    with np.errstate(over="ignore", under="ignore"):
        return float(np.ldexp(value, -shift)) if shift else value
