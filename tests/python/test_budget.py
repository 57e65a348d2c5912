"""Memory budgets: refusals before any large allocation, with exact messages."""

import numpy as np
import pytest

from conftest import exact
from marbolt_rs import _marbolt_rs as m

OUTER_ADVICE = (
    "Reduce the number of columns, subsample the signal, or use a model whose cost does "
    "not depend on a covariance, such as `l1` or `l2`."
)


def outer_message(model, n, d, gib):
    return (
        f"the `{model}` model needs prefix sums of {n}x{d}x{d} covariance blocks, which needs "
        f"{gib} GiB, over the 4 GiB limit. {OUTER_ADVICE}"
    )


class TestCheckOuterMemory:
    @pytest.mark.parametrize(
        "n, d", [(1000, 10), (8388607, 8), (0, 0), (2**64 - 1, 0), (536870911, 1)]
    )
    def test_within_budget_returns_none(self, n, d):
        assert m.check_outer_memory(n, d, "anything at all") is None

    @pytest.mark.parametrize(
        "n, d, gib",
        [
            (8388608, 8, "4.0"),
            (599999999, 1, "4.5"),
            (100000, 100, "7.5"),
            # Saturated counts print the float of 2**64 - 1 bytes, never a wrapped value.
            (2**64 - 1, 1, "17179869184.0"),
            (1, 2**32, "17179869184.0"),
        ],
    )
    def test_over_budget_message(self, n, d, gib):
        with pytest.raises(ValueError, match=exact(outer_message("normal", n, d, gib))):
            m.check_outer_memory(n, d, "normal")


class TestEngineBudgets:
    def test_signal_budget_refuses_one_entry_too_many(self):
        # A zero-stride view: 2**29 + 1 entries without 4 GiB of memory.
        huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**29 + 1,), strides=(0,))
        message = "the signal needs 4.0 GiB, over the 4 GiB limit. Subsample it."
        with pytest.raises(ValueError, match=exact(message)):
            m.CostEngine(huge, "l2")

    @pytest.mark.parametrize("model", ["normal", "mahalanobis"])
    def test_outer_budget_runs_before_options_are_read(self, model):
        class Exploding:
            def __bool__(self):
                raise AssertionError("options must not be read before the budget")

        signal = np.zeros((1, 16385))
        params = {"add_small_diag": Exploding(), "metric": None}
        with pytest.raises(ValueError, match=exact(outer_message(model, 1, 16385, "4.0"))):
            m.CostEngine(signal, model, params)
