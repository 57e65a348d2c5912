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

from ._estimates import ar_fit, linear_fit, location_spread, pinned_line
from ._noise import kernel_spread, noise_sd, regression_noise


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
    min_size: Callable[[int], int] = lambda n_columns: 1  # raised to the engine's own minimum
    kernel_pelt: bool = False       # served by kernel_pelt
    change_in_mean: bool = False    # its changes are changes in mean: intervals are offered


def _l2(c):
    return 2 * c.log_n * float(np.sum(noise_sd(c.signal) ** 2))


def _mahalanobis(c):
    weights = np.diagonal(c.engine.params["metric"])
    return 2 * c.log_n * float(np.sum(weights * noise_sd(c.signal) ** 2))


def _l1(c):
    return 2 * c.log_n * float(np.sum(noise_sd(c.signal)))


def _regression(coefficients):
    def price(c):
        k = coefficients(c.d, c.engine.params)
        return (k + 1) * c.log_n * regression_noise(c.engine, k)
    return price


def _normal(c):
    return 2 * (c.d + c.d * (c.d + 1) / 2) * c.log_n


def _rank(c):
    return 2 * c.d * c.log_n


def _kernel(model):
    def price(c):
        return 2 * c.log_n * kernel_spread(c.signal, model, c.engine.gamma)
    return price


def _normal_min_size(n_columns):
    return n_columns + 4


MEAN_AND_SPREAD = location_spread(np.mean)

# In the order the "unknown model" message names them.
MODELS = {
    "l1": ModelRow(PenaltyRule("2·log(n)·σ, σ from first differences", _l1),
                   location_spread(np.median)),
    "l2": ModelRow(PenaltyRule("2·log(n)·σ², σ from first differences", _l2), MEAN_AND_SPREAD, kernel_pelt=True, change_in_mean=True),
    "normal": ModelRow(PenaltyRule("2·p·log(n), p parameters per segment", _normal),
                       MEAN_AND_SPREAD, min_size=_normal_min_size, change_in_mean=True),
    "rbf": ModelRow(PenaltyRule("2·log(n)·kernel spread", _kernel("rbf")), MEAN_AND_SPREAD,
                    kernel_pelt=True),
    "cosine": ModelRow(PenaltyRule("2·log(n)·kernel spread", _kernel("cosine")),
                       MEAN_AND_SPREAD, kernel_pelt=True),
    "rank": ModelRow(PenaltyRule("2·d·log(n)", _rank), MEAN_AND_SPREAD),
    "mahalanobis": ModelRow(PenaltyRule("2·log(n)·Σ M_jj·σ_j², σ from first differences",
                                        _mahalanobis), MEAN_AND_SPREAD),
    "clinear": ModelRow(None, pinned_line),
    "linear": ModelRow(PenaltyRule("(k + 1)·log(n)·residual variance",
                                   _regression(lambda d, params: d - 1)), linear_fit),
    "ar": ModelRow(PenaltyRule("(k + 1)·log(n)·residual variance",
                               _regression(lambda d, params: params["order"] + 1)), ar_fit),
}


def names_where(flag: str) -> list[str]:
    """The models whose row has `flag` set, in table order."""
    return [name for name, row in MODELS.items() if getattr(row, flag)]


def quoted(names: list[str], last: str = "or") -> str:
    """'a', 'b' or 'c': a list of names for a message."""
    quoted_names = [f"'{name}'" for name in names]
    return (", ".join(quoted_names[:-1]) + f" {last} " if len(names) > 1 else "") + quoted_names[-1]
