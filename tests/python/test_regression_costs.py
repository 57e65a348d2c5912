"""The "clinear", "linear" and "ar" models: construction, options, worked costs, searches."""

import numpy as np
import pytest

from conftest import U64_MAX, exact
from marbolt_rs import _marbolt_rs as m

MODELS = ["clinear", "linear", "ar"]
TENT = np.array([0.0, 1.0, 2.0, 3.0, 4.0, 3.0, 2.0, 1.0, 0.0])

SEARCHES = {
    "pelt": lambda e, ms: m.pelt(e, 20.0, 1, ms),
    "dynp": lambda e, ms: m.dynp(e, 1, 1, ms),
    "binseg": lambda e, ms: m.binseg(e, 1, ms, n_bkps=1),
    "bottomup": lambda e, ms: m.bottomup(e, 1, ms, n_bkps=1),
    "window": lambda e, ms: m.window_predict(e, *m.window_fit(e, 20, 1), 20, 1, ms, n_bkps=1),
    "crops": lambda e, ms: [bkps for _, _, bkps in m.crops(e, 20.0, 40.0, 1, ms)],
}


class TestConstruction:
    @pytest.mark.parametrize(
        "model, params, min_size",
        [("clinear", None, 3), ("linear", None, 2), ("ar", None, 5), ("ar", {"order": 6}, 7),
         ("ar", {"order": None}, 5), ("ar", {"order": 0}, 5)],
    )
    def test_attributes(self, model, params, min_size):
        engine = m.CostEngine(np.arange(20.0).reshape(10, 2), model, params)
        assert (engine.model, engine.min_size, engine.gamma, engine.n_samples) == (
            model, min_size, None, 10)

    @pytest.mark.parametrize(
        "order, error, message",
        [("a", TypeError, "'str' object cannot be interpreted as an integer"),
         (-1, OverflowError, "can't convert negative int to unsigned"),
         (2**64, OverflowError, "int too big to convert")],
    )
    def test_order_conversion_failures_are_unprefixed(self, order, error, message):
        with pytest.raises(error, match=exact(message)):
            m.CostEngine(np.zeros(10), "ar", {"order": order})

    @pytest.mark.parametrize("order, n", [(4, 4), (4, 1), (U64_MAX, 3)])
    def test_ar_needs_more_samples_than_its_order(self, order, n):
        message = f"the `ar` model needs more samples than its order ({order}); the signal has {n}"
        with pytest.raises(ValueError, match=exact(message)):
            m.CostEngine(np.zeros(n), "ar", {"order": order})

    def test_ar_builds_on_one_sample_more_than_its_order(self):
        assert m.CostEngine(np.zeros(5), "ar").min_size == 5

    # order + 1 saturates instead of wrapping to no regressors at all.
    def test_ar_budget_on_an_empty_signal_refuses_a_huge_order(self):
        blocks = "0x18446744073709551615x18446744073709551615 covariance blocks"
        with pytest.raises(ValueError, match=f"^the `ar` model needs prefix sums of {blocks}, "):
            m.CostEngine(np.zeros(0), "ar", {"order": U64_MAX})

    def test_linear_refuses_samples_without_columns(self):
        message = "the `linear` model needs at least one column (its target); the signal has none"
        with pytest.raises(ValueError, match=exact(message)):
            m.CostEngine(np.zeros((3, 0)), "linear")

    @pytest.mark.parametrize(
        "model, n, d, params, blocks, gib",
        [("linear", 600, 1000, None, "600x999x999", "4.5"),
         ("ar", 1000, 1, {"order": 999}, "1000x1000x1000", "7.5")],
    )
    def test_covariance_budget(self, model, n, d, params, blocks, gib):
        message = (f"the `{model}` model needs prefix sums of {blocks} covariance blocks, which "
                   f"needs {gib} GiB, over the 4 GiB limit. Reduce the number of columns, "
                   "subsample the signal, or use a model whose cost does not depend on a "
                   "covariance, such as `l1` or `l2`.")
        with pytest.raises(ValueError, match=exact(message)):
            m.CostEngine(np.zeros((n, d)), model, params)


class TestWorkedCosts:
    def test_clinear_tent(self):
        engine = m.CostEngine(TENT, "clinear")
        assert engine.sum_of_costs([5, 9]) == pytest.approx(0.0, abs=1e-12)
        assert engine.error(4, 9) == pytest.approx(4.8)

    def test_clinear_segment_at_the_start_is_anchored_at_its_first_sample(self):
        assert m.CostEngine(np.array([0.0, 5.0, 2.0]), "clinear").error(0, 3) == pytest.approx(16.0)

    # Column 0 (0, 2, 4) on column 1 (1, 3, 5) without intercept: the slope is
    # 26/35 and the residual sum of squares 20 - 26**2/35 = 24/35.
    def test_linear_fits_without_intercept(self):
        engine = m.CostEngine(np.arange(6.0).reshape(3, 2), "linear")
        assert engine.error(0, 3) == pytest.approx(24 / 35)


@pytest.fixture(params=MODELS)
def model(request):
    return request.param


@pytest.fixture
def changed(model, rng):
    """60 samples that the model fits exactly on [0, 30) and on [30, 60), not across."""
    i = np.arange(60.0)
    if model == "clinear":
        return m.CostEngine(np.where(i < 30, i, 58 - i), model)
    if model == "linear":
        x1 = rng.normal(size=60)
        return m.CostEngine(np.column_stack([np.where(i < 30, 2 * x1, -3 * x1), x1]), model)
    # Two undamped oscillations, each an exact order-2 recursion; the second
    # starts from the last two values of the first, so every row from 30 on
    # (lags included) follows the second one.
    x = np.zeros(60)
    x[:2] = 1.0, 0.5
    for t in range(2, 60):
        x[t] = (1.6 if t < 30 else -0.5) * x[t - 1] - x[t - 2]
    return m.CostEngine(x, model, {"order": 2})


def outcome(search, engine):
    try:
        return search(engine, 1)
    except Exception as error:  # the refusal itself must match too
        return type(error), str(error)


class TestSearches:
    @pytest.mark.parametrize("search", SEARCHES)
    def test_finds_the_change(self, changed, search):
        found = SEARCHES[search](changed, changed.min_size)
        assert found == ([[30, 60]] if search == "crops" else [30, 60])

    # An empty signal still builds, and every search on it (binseg, bottomup
    # and window_predict do evaluate the empty segment [0, 0)) answers as for l2.
    @pytest.mark.parametrize("shape", [(0,), (0, 2), (0, 0)])
    @pytest.mark.parametrize("search", SEARCHES)
    def test_empty_signal_answers_as_l2(self, model, shape, search):
        engine = m.CostEngine(np.zeros(shape), model)
        plain = m.CostEngine(np.zeros(shape), "l2")
        assert outcome(SEARCHES[search], engine) == outcome(SEARCHES[search], plain)
