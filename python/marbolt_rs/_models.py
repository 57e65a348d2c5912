"""What the package adds to each model of the compiled core: one row per model.

The compiled module holds the models themselves (their costs, the signals
they accept, parameter checks and memory budgets) in a table of its own,
which `_native.models` lists; a test checks that both tables name the same
models in the same order. This one holds what the package adds on top: the rule of the default penalty, what a segment summary
reports, the shortest segment `detect` searches by default, and which extras
a model offers. A new model is one row there and one here; the rules are
explained in `default_penalty`'s Notes and `default_min_size`.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from ._estimates import (PINNED_LEVEL, TREND_LEVEL, SegmentLevel, ar_fit, linear_fit,
                         location_level, location_spread, pinned_line, rate, spread_about,
                         trend_fit, waiting_mean)
from ._intervals import gaussian_interval, mean_interval
from ._noise import kernel_spread, regression_noise, short_scale_variance


@dataclass(frozen=True)
class PenaltyContext:
    """What a default penalty rule may look at: the signal and how it is searched."""

    signal: np.ndarray              # samples × columns, checked
    engine: Any                     # the fitted engine
    params: Optional[Mapping[str, Any]]
    method: str
    min_size: int
    jump: int

    @property
    def n(self) -> int:
        return len(self.signal)

    @property
    def d(self) -> int:
        return self.signal.shape[1]

    @property
    def log_n(self) -> float:
        return math.log(max(self.n, 2))


@dataclass(frozen=True)
class PenaltyRule:
    """A default penalty: its name as results report it, and how it prices a change."""

    name: str
    price: Callable[[PenaltyContext], float]


@dataclass(frozen=True)
class ModelRow:
    penalty: Optional[PenaltyRule]  # None: no default, `pen` must be given
    estimates: Callable[..., dict]  # what `Detection.summary` reports of a segment
    # What the named penalties ("aic", "bic", "hq", "mbic") price: the
    # parameters a segment fits, parameters(d, resolved params), and the
    # cost of one parameter's worth of noise, scale(context): σ² for the
    # squared-error costs, σ for l1, 1 for the costs that are −2·log-likelihoods.
    parameters: Callable[[int, Mapping[str, Any]], int]
    scale: Optional[Callable[[PenaltyContext], float]]  # None: not priced by a named penalty
    min_size: Callable[[int], int] = lambda n_columns: 1  # raised to the engine's own minimum
    kernel_pelt: bool = False       # served by kernel_pelt
    interval: Optional[Callable[..., tuple]] = None  # confidence intervals of its changes
    params: tuple[str, ...] = ()    # the keys of `params` its engine reads
    level: Optional[SegmentLevel] = None  # what plots draw of each segment's fit
    # How a cost grows when the signal is multiplied by c: as c**cost_power
    # (2 for squared errors, 1 for absolute ones); None when it does not scale
    # so (likelihoods, ranks, kernels), and the signal is searched as given.
    cost_power: Optional[int] = None


# The named penalties: the price of one change, in units of one parameter's
# worth of noise, for p parameters per segment and n samples. MBIC (Zhang &
# Siegmund, Biometrics 2007) adds to BIC's p·log(n) a further 2·log(n) for the
# change's position, which BIC leaves free; its term for the segment lengths,
# Σ log(n_i / n), which lowers the price of unbalanced splits, is left out, so
# that the price stays one number per change.
NAMED_PENALTIES = {
    "aic": ("2·p", lambda p, n: 2.0 * p),
    "bic": ("p·log(n)", lambda p, n: p * math.log(max(n, 2))),
    "hq": ("2·p·log(log(n))", lambda p, n: 2.0 * p * math.log(max(math.log(max(n, 2)), 1.0))),
    "mbic": ("(p + 2)·log(n)", lambda p, n: (p + 2) * math.log(max(n, 2))),
}


def named_price(name, c):
    """The named penalty `name` for the model and signal of context `c`."""
    row = MODELS[c.engine.model]
    p = row.parameters(c.d, c.engine.params)
    return NAMED_PENALTIES[name][1](p, c.n) * row.scale(c)


def _mbic(name):
    return PenaltyRule(f"mbic: (p + 2)·log(n)·{name}", lambda c: named_price("mbic", c))


def _variance(c):
    return float(np.mean(short_scale_variance(c.signal)))


def _mahalanobis_variance(c):
    weights = np.diagonal(c.engine.params["metric"])
    return float(np.mean(weights * short_scale_variance(c.signal)))


def _deviation(c):
    return float(np.mean(np.sqrt(short_scale_variance(c.signal))))


def _regression_variance(coefficients):
    def scale(c):
        return regression_noise(c.engine, coefficients(c.d, c.engine.params))
    return scale


def _unit(c):
    return 1.0


def _normal(c):
    return 2 * (c.d + c.d * (c.d + 1) / 2) * c.log_n


def _per_column_parameter(c):
    return 2 * c.d * c.log_n


def _rank(c):
    return 2 * c.d * c.log_n


def _kernel(model):
    def scale(c):
        return kernel_spread(c.signal, model, c.engine.gamma)
    return scale


def _normal_min_size(n_columns):
    return n_columns + 4


def _past_one_sample(n_columns):
    """One sample fits its own rate, mean or variance exactly: the degenerate segment."""
    return 2


def _columns(d, params):
    return d


def _linear_coefficients(d, params):
    return d - 1


def _ar_coefficients(d, params):
    return params["order"] + 1


MEAN_AND_SPREAD = location_spread(np.mean)
NOISE = "σ², σ² the long-run noise variance at short scales"
MEAN = location_level(np.mean, "segment mean")
# The likelihood models with one parameter per column: a rate, a mean or a variance.
ONE_PER_COLUMN = PenaltyRule("2·p·log(n), p parameters per segment", _per_column_parameter)

# In the order the "unknown model" message names them.
MODELS = {
    "l1": ModelRow(_mbic("σ, σ the long-run noise deviation at short scales"),
                   location_spread(np.median), _columns, _deviation,
                   level=location_level(np.median, "segment median"), cost_power=1),
    "l2": ModelRow(_mbic(NOISE), MEAN_AND_SPREAD, _columns, _variance, level=MEAN,
                   kernel_pelt=True, interval=mean_interval, cost_power=2),
    "normal": ModelRow(PenaltyRule("2·p·log(n), p parameters per segment", _normal),
                       MEAN_AND_SPREAD, lambda d, params: d + d * (d + 1) // 2, _unit,
                       level=MEAN, min_size=_normal_min_size, interval=gaussian_interval,
                       params=("add_small_diag", "resolution")),
    "rbf": ModelRow(PenaltyRule("2·log(n)·kernel spread",
                                lambda c: 2 * c.log_n * _kernel("rbf")(c)),
                    MEAN_AND_SPREAD, lambda d, params: 1, _kernel("rbf"), level=MEAN,
                    kernel_pelt=True, params=("gamma",)),
    "cosine": ModelRow(PenaltyRule("2·log(n)·kernel spread",
                                   lambda c: 2 * c.log_n * _kernel("cosine")(c)),
                       MEAN_AND_SPREAD, lambda d, params: 1, _kernel("cosine"), level=MEAN,
                       kernel_pelt=True),
    "rank": ModelRow(PenaltyRule("2·d·log(n)", _rank), MEAN_AND_SPREAD, _columns, _unit,
                     level=MEAN),
    "mahalanobis": ModelRow(_mbic("Σ_j M_jj·σ_j² / d, σ_j² as for l2"), MEAN_AND_SPREAD,
                            _columns, _mahalanobis_variance, level=MEAN, params=("metric",),
                            cost_power=2),
    "clinear": ModelRow(None, pinned_line, _columns, None, level=PINNED_LEVEL, cost_power=2),
    "linear": ModelRow(_mbic("residual variance"), linear_fit, _linear_coefficients,
                       _regression_variance(_linear_coefficients), cost_power=2),
    "ar": ModelRow(_mbic("residual variance"), ar_fit, _ar_coefficients,
                   _regression_variance(_ar_coefficients), params=("order",), cost_power=2),
    "poisson": ModelRow(ONE_PER_COLUMN, rate, _columns, _unit, level=MEAN,
                        min_size=_past_one_sample),
    "exponential": ModelRow(ONE_PER_COLUMN, waiting_mean, _columns, _unit, level=MEAN,
                            min_size=_past_one_sample),
    "variance": ModelRow(ONE_PER_COLUMN, spread_about, _columns, _unit,
                         min_size=_past_one_sample, params=("mean", "resolution")),
    "trend": ModelRow(_mbic("residual variance"), trend_fit, lambda d, params: 2 * d,
                      _regression_variance(lambda d, params: 2), level=TREND_LEVEL,
                      min_size=lambda n_columns: 3, cost_power=2),
}


def names_where(flag: str) -> list[str]:
    """The models whose row has `flag` set, in table order."""
    return [name for name, row in MODELS.items() if getattr(row, flag)]


def quoted(names: list[str], last: str = "or") -> str:
    """'a', 'b' or 'c': a list of names for a message."""
    quoted_names = [f"'{name}'" for name in names]
    return (", ".join(quoted_names[:-1]) + f" {last} " if len(names) > 1 else "") + quoted_names[-1]
