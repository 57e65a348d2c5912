"""CostEngine: construction, options, attributes and the checked entry points."""

import math
import threading

import numpy as np
import pytest

from conftest import exact
from marbolt_rs import _marbolt_rs as m

SUPPORTED = "l1, l2, normal, rbf, cosine, rank, mahalanobis, clinear, linear, ar"


class TestConstruction:
    def test_l2_attributes(self, rng):
        engine = m.CostEngine(rng.normal(size=100), "l2")
        assert (engine.n_samples, engine.gamma, engine.model, engine.min_size) == (100, None, "l2", 1)

    @pytest.mark.parametrize(
        "model, params, min_size",
        [("normal", None, 2), ("mahalanobis", {"metric": np.eye(2)}, 2)],
    )
    def test_model_attributes(self, model, params, min_size):
        engine = m.CostEngine(np.arange(10.0).reshape(5, 2), model, params)
        assert (engine.model, engine.min_size, engine.gamma) == (model, min_size, None)

    @pytest.mark.parametrize("name", ["L2", "l2 ", "", "kernel", "l1x"])
    def test_unknown_model(self, name):
        with pytest.raises(ValueError, match=exact(f"unknown model: {name}. Supported: {SUPPORTED}")):
            m.CostEngine(np.zeros(3), name)

    def test_unknown_model_name_is_reported_whole(self):
        with pytest.raises(ValueError) as info:
            m.CostEngine(np.zeros(3), "l\x002")
        assert str(info.value) == f"unknown model: l\x002. Supported: {SUPPORTED}"

    @pytest.mark.parametrize("variant", [None, "python"])
    def test_plain_variants_give_the_plain_model(self, rng, variant):
        x = rng.normal(size=20)
        engine = m.CostEngine(x, "l2", None, variant)
        assert engine.error(0, 20) == m.CostEngine(x, "l2").error(0, 20)

    def test_extension_variant_of_l2_is_the_linear_kernel(self, rng):
        engine = m.CostEngine(rng.normal(size=20), "l2", variant="extension")
        assert (engine.model, engine.min_size, engine.gamma) == ("l2", 1, None)
        assert m.kernel_pelt(engine, 1e9, 1) == [20]

    def test_unknown_variant(self):
        with pytest.raises(ValueError, match=exact("unknown variant: fast")):
            m.CostEngine(np.zeros(3), "l2", variant="fast")

    @pytest.mark.parametrize(
        "signal, model, variant, error, message",
        [
            (np.zeros((2, 2, 2)), "bogus", "bogus", ValueError, "signal must be 1-D or 2-D"),
            (np.zeros(3), "bogus", "fast", ValueError, "unknown variant: fast"),
            ([1.0], 5, 7, TypeError,
             "argument 'signal': 'list' object cannot be converted to 'PyArray<T, D>'"),
            (np.zeros(3), 5, 7, TypeError,
             "argument 'model': 'int' object cannot be converted to 'PyString'"),
            (np.zeros(3), "l2", 7, TypeError,
             "argument 'variant': 'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_validation_order(self, signal, model, variant, error, message):
        with pytest.raises(error, match=exact(message)):
            m.CostEngine(signal, model, None, variant)

    def test_params_must_be_a_dict(self):
        message = "argument 'params': 'list' object cannot be converted to 'PyDict'"
        with pytest.raises(TypeError, match=exact(message)):
            m.CostEngine(np.zeros(3), "l2", [("gamma", 1.0)])

    @pytest.mark.parametrize("model", ["l2", "cosine", "normal"])
    def test_unread_params_keys_are_ignored(self, model):
        engine = m.CostEngine(np.ones(3), model, {"gamma": "not a float", 1: 2, "order": -5})
        assert engine.model == model


class TestNormalOptions:
    @pytest.mark.parametrize(
        "params, expected",
        [
            (None, math.log(1e-6) * 4),
            ({}, math.log(1e-6) * 4),
            ({"add_small_diag": None}, math.log(1e-6) * 4),
            ({"add_small_diag": 1}, math.log(1e-6) * 4),
            ({"add_small_diag": 0}, -math.inf),
            ({"add_small_diag": []}, -math.inf),
        ],
    )
    def test_add_small_diag_by_truth_value(self, params, expected):
        engine = m.CostEngine(np.full(6, 3.0), "normal", params)
        assert engine.error(1, 5) == expected

    def test_truth_test_failure_propagates_unchanged(self):
        with pytest.raises(ValueError, match="truth value of an array"):
            m.CostEngine(np.zeros(4), "normal", {"add_small_diag": np.zeros(2)})

    def test_dict_subclass_missing_hook_is_not_called(self):
        class Defaulting(dict):
            def __missing__(self, key):
                return 0

        engine = m.CostEngine(np.full(6, 3.0), "normal", Defaulting())
        assert engine.error(0, 6) == math.log(1e-6) * 6


class TestMahalanobisOptions:
    @pytest.mark.parametrize("params", [None, {}, {"metric": None}])
    def test_metric_is_required(self, params):
        with pytest.raises(ValueError, match=exact("the `mahalanobis` model requires a `metric`")):
            m.CostEngine(np.zeros((4, 2)), "mahalanobis", params)

    @pytest.mark.parametrize(
        "metric, error, message",
        [
            (np.eye(3), ValueError, "metric must be (2, 2), got (3, 3)"),
            (np.ones(2), ValueError, "metric must be (2, 2), got (2, 1)"),
            (np.zeros((2, 2, 2)), ValueError, "signal must be 1-D or 2-D"),
            ([[1.0, 0.0], [0.0, 1.0]], TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
            (np.eye(2, dtype=int), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ],
    )
    def test_metric_refusals(self, metric, error, message):
        with pytest.raises(error, match=exact(message)):
            m.CostEngine(np.zeros((4, 2)), "mahalanobis", {"metric": metric})

    def test_metric_in_any_layout(self, rng):
        x = rng.normal(size=(10, 3))
        a = rng.normal(size=(3, 3))
        metric = a @ a.T
        c = m.CostEngine(x, "mahalanobis", {"metric": np.ascontiguousarray(metric)})
        f = m.CostEngine(x, "mahalanobis", {"metric": np.asfortranarray(metric)})
        assert c.error(2, 9) == f.error(2, 9)


class TestWorkedValues:
    def test_l2_of_equal_samples_is_zero(self):
        engine = m.CostEngine(np.array([0.1, 0.1, 0.1, 0.1, 7.0]), "l2")
        assert engine.error(0, 4) == 0.0

    def test_normal_one_column_uses_divisor_l(self):
        engine = m.CostEngine(np.array([0.0, 2.0]), "normal", {"add_small_diag": False})
        assert engine.error(0, 2) == 0.0

    def test_normal_two_columns_uses_divisor_l_minus_one(self):
        engine = m.CostEngine(np.array([[0.0, 1.0], [2.0, 3.0]]), "normal", {"add_small_diag": False})
        assert engine.error(0, 2) == pytest.approx(-69.31, abs=0.01)

    def test_normal_constant_second_column(self, rng):
        x = np.column_stack([rng.normal(size=8), np.full(8, 5.0)])
        assert m.CostEngine(x, "normal", {"add_small_diag": False}).error(0, 8) == -math.inf
        assert math.isfinite(m.CostEngine(x, "normal").error(0, 8))

    def test_mahalanobis_with_identity_is_l2(self, rng):
        x = rng.normal(size=(15, 2))
        ml = m.CostEngine(x, "mahalanobis", {"metric": np.eye(2)})
        l2 = m.CostEngine(x, "l2")
        assert ml.error(3, 12) == pytest.approx(l2.error(3, 12), rel=1e-12)

    def test_mahalanobis_negative_definite_metric_gives_negative_costs(self, rng):
        x = rng.normal(size=(15, 2))
        assert m.CostEngine(x, "mahalanobis", {"metric": -np.eye(2)}).error(0, 15) < 0


class TestCheckedSpan:
    @pytest.fixture
    def engine(self):
        return m.CostEngine(np.arange(10.0), "normal")

    @pytest.mark.parametrize(
        "start, end, error, message",
        [
            (-1, 5, ValueError, "segment bounds must not be negative, got (-1, 5)"),
            (3, -2, ValueError, "segment bounds must not be negative, got (3, -2)"),
            (-1, 11, ValueError, "segment bounds must not be negative, got (-1, 11)"),
            (0, 11, ValueError, "segment end 11 is past the end of a signal with 10 samples"),
            (12, 11, ValueError, "segment end 11 is past the end of a signal with 10 samples"),
            (3, 2, ValueError, "segment end 2 is before its start 3"),
            (5, 5, RuntimeError, "NotEnoughPoints"),
            (4, 5, RuntimeError, "NotEnoughPoints"),
        ],
    )
    def test_refusals_in_order(self, engine, start, end, error, message):
        with pytest.raises(error, match=exact(message)):
            engine.error(start, end)

    def test_whole_signal_equals_sum_of_costs_of_n(self, engine):
        assert engine.error(0, 10) == engine.sum_of_costs([10])


class TestSumOfCosts:
    @pytest.fixture
    def engine(self, rng):
        return m.CostEngine(rng.normal(size=100), "l2")

    def test_empty_list_is_zero(self, engine):
        assert engine.sum_of_costs([]) == 0.0

    def test_adds_segments_in_order(self, engine):
        assert engine.sum_of_costs([30, 70, 100]) == (
            engine.error(0, 30) + engine.error(30, 70) + engine.error(70, 100)
        )

    def test_samples_after_the_last_entry_are_not_counted(self, engine):
        assert engine.sum_of_costs([50]) == engine.error(0, 50)

    @pytest.mark.parametrize(
        "bkps, error, message",
        [
            ([10, 5], ValueError, "segment end 5 is before its start 10"),
            ([10, 10], RuntimeError, "NotEnoughPoints"),
            ([0], RuntimeError, "NotEnoughPoints"),
            ([50, 101], ValueError, "segment end 101 is past the end of a signal with 100 samples"),
            ([-3], ValueError, "segment bounds must not be negative, got (0, -3)"),
        ],
    )
    def test_refusals(self, engine, bkps, error, message):
        with pytest.raises(error, match=exact(message)):
            engine.sum_of_costs(bkps)


class TestImmutability:
    @pytest.mark.parametrize("name", ["n_samples", "gamma", "model", "min_size", "other"])
    def test_attributes_cannot_be_set(self, name):
        engine = m.CostEngine(np.zeros(3), "l2")
        with pytest.raises(AttributeError):
            setattr(engine, name, 1)

    def test_type_cannot_be_subclassed_or_changed(self):
        with pytest.raises(TypeError):
            type("Sub", (m.CostEngine,), {})
        with pytest.raises(TypeError):
            m.CostEngine.error = None

    def test_concurrent_error_calls_agree(self, rng):
        engine = m.CostEngine(rng.normal(size=(200, 3)), "normal")
        expected = [engine.error(s, s + 50) for s in range(150)]
        results = [None] * 4

        def work(k):
            results[k] = [engine.error(s, s + 50) for s in range(150)]

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert all(r == expected for r in results)
