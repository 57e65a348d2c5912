"""What the package adds to each model of the compiled core: one row per model.

The compiled module holds the models themselves (their costs, parameter
checks and memory budgets) in a table of its own. This one holds what the
package adds on top: the rule of the default penalty, what a segment summary
reports, the shortest segment `detect` searches by default, and which extras
a model offers. A new model is one row there and one here; the rules are
explained in `default_penalty`'s Notes and `default_min_size`.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from ._estimates import ar_fit, linear_fit, location_spread, pinned_line
from ._noise import ar_order, kernel_spread, noise_sd, regression_noise

# rule(samples × columns, engine, params, log(n)) -> the penalty per change
PenaltyRule = Callable[[np.ndarray, Any, Any, float], float]


@dataclass(frozen=True)
class ModelRow:
    penalty: Optional[PenaltyRule]  # None: no default, `pen` must be given
    estimates: Callable[..., dict]  # what `Detection.summary` reports of a segment
    min_size: Callable[[int], int] = lambda n_columns: 1  # raised to the engine's own minimum
    kernel_pelt: bool = False       # served by kernel_pelt
    change_in_mean: bool = False    # its changes are changes in mean: intervals are offered
    needs_direction: bool = False   # a sample of all zeros makes its costs NaN


def _l2(x, engine, params, log_n):
    return 2 * log_n * float(np.sum(noise_sd(x) ** 2))


def _mahalanobis(x, engine, params, log_n):
    weights = np.diagonal(np.asarray(params["metric"], dtype=np.float64))
    return 2 * log_n * float(np.sum(weights * noise_sd(x) ** 2))


def _l1(x, engine, params, log_n):
    return 2 * log_n * float(np.sum(noise_sd(x)))


def _regression(coefficients):
    def rule(x, engine, params, log_n):
        k = coefficients(x.shape[1], params)
        return (k + 1) * log_n * regression_noise(engine, k)
    return rule


def _normal(x, engine, params, log_n):
    d = x.shape[1]
    return 2 * (d + d * (d + 1) / 2) * log_n


def _rank(x, engine, params, log_n):
    return 2 * x.shape[1] * log_n


def _kernel(model):
    def rule(x, engine, params, log_n):
        return 2 * log_n * kernel_spread(x, model, engine.gamma)
    return rule


def _normal_min_size(n_columns):
    return n_columns + 4


MEAN_AND_SPREAD = location_spread(np.mean)

# In the order the "unknown model" message names them.
MODELS = {
    "l1": ModelRow(_l1, location_spread(np.median)),
    "l2": ModelRow(_l2, MEAN_AND_SPREAD, kernel_pelt=True, change_in_mean=True),
    "normal": ModelRow(_normal, MEAN_AND_SPREAD, min_size=_normal_min_size, change_in_mean=True),
    "rbf": ModelRow(_kernel("rbf"), MEAN_AND_SPREAD, kernel_pelt=True),
    "cosine": ModelRow(_kernel("cosine"), MEAN_AND_SPREAD, kernel_pelt=True, needs_direction=True),
    "rank": ModelRow(_rank, MEAN_AND_SPREAD),
    "mahalanobis": ModelRow(_mahalanobis, MEAN_AND_SPREAD),
    "clinear": ModelRow(None, pinned_line),
    "linear": ModelRow(_regression(lambda d, params: d - 1), linear_fit),
    "ar": ModelRow(_regression(lambda d, params: ar_order(params) + 1), ar_fit),
}


def names_where(flag: str) -> list[str]:
    """The models whose row has `flag` set, in table order."""
    return [name for name, row in MODELS.items() if getattr(row, flag)]


def quoted(names: list[str], last: str = "or") -> str:
    """'a', 'b' or 'c': a list of names for a message."""
    quoted_names = [f"'{name}'" for name in names]
    return (", ".join(quoted_names[:-1]) + f" {last} " if len(names) > 1 else "") + quoted_names[-1]
