"""Signal intake: any float64 layout, exact copies, exact refusals."""

import struct

import numpy as np
import pytest

from conftest import exact, PLAIN_MODELS
from marbolt_rs import _marbolt_rs as m


def bits(x):
    return struct.pack("<d", x)


def all_costs(engine):
    n = engine.n_samples
    return [bits(engine.error(s, e)) for s in range(n) for e in range(s + engine.min_size, n + 1)]


@pytest.fixture(params=PLAIN_MODELS)
def model(request):
    return request.param


class TestLayouts:
    def test_every_layout_gives_the_same_engine(self, rng, model):
        base = rng.normal(size=(12, 3)) * 1e3
        reference = all_costs(m.CostEngine(np.ascontiguousarray(base), model))
        layouts = [
            np.asfortranarray(base),
            base[::-1][::-1],
            np.ascontiguousarray(base[::-1])[::-1],  # negative row stride
            base[:, ::-1][:, ::-1],
            np.repeat(base, 2, axis=0)[::2],  # non-contiguous rows
            np.repeat(base, 2, axis=1)[:, ::2],  # non-contiguous columns
        ]
        for layout in layouts:
            assert all_costs(m.CostEngine(layout, model)) == reference

    def test_unaligned_view_is_read_correctly(self, rng):
        values = rng.normal(size=10)
        raw = np.zeros(10 * 8 + 1, dtype=np.uint8)
        unaligned = raw[1:].view(np.float64)
        unaligned[:] = values
        assert not unaligned.flags.aligned
        assert all_costs(m.CostEngine(unaligned, "l2")) == all_costs(m.CostEngine(values, "l2"))

    def test_one_dimensional_array_is_one_column(self, rng, model):
        x = rng.normal(size=9)
        assert all_costs(m.CostEngine(x, model)) == all_costs(m.CostEngine(x[:, None], model))

    def test_zero_dimensional_array_is_one_sample(self):
        engine = m.CostEngine(np.array(3.5), "l2")
        assert engine.n_samples == 1
        assert engine.error(0, 1) == 0.0

    @pytest.mark.parametrize("shape, n", [((0,), 0), ((5, 0), 5), ((0, 3), 0)])
    def test_empty_shapes(self, shape, n):
        engine = m.CostEngine(np.zeros(shape), "l2")
        assert engine.n_samples == n
        if n:
            assert engine.error(0, n) == 0.0

    def test_many_rows_without_columns(self):
        engine = m.CostEngine(np.zeros((2**40, 0)), "l2")
        assert engine.n_samples == 2**40
        assert engine.error(0, 2**40) == 0.0

    def test_values_are_copied_not_shared(self, rng):
        x = rng.normal(size=8)
        engine = m.CostEngine(x, "l2")
        before = all_costs(engine)
        x[:] = 0.0
        assert all_costs(engine) == before

    def test_nan_passes_unchanged(self):
        # Intake neither validates nor normalises: the NaN reaches the model,
        # whose centring spreads it to every segment.
        engine = m.CostEngine(np.array([1.0, -0.0, np.nan, 2.0]), "l2")
        assert np.isnan(engine.error(0, 2))


class TestRefusals:
    @pytest.mark.parametrize(
        "signal, name",
        [
            ([1.0, 2.0], "list"),
            ((1.0, 2.0), "tuple"),
            (1.5, "float"),
            (np.arange(4), "ndarray"),
            (np.arange(4, dtype=np.float32), "ndarray"),
            (np.arange(4.0).astype(object), "ndarray"),
            (np.arange(4.0).astype(">f8"), "ndarray"),
        ],
    )
    def test_non_float64_arrays_are_type_errors(self, signal, name):
        message = f"argument 'signal': '{name}' object cannot be converted to 'PyArray<T, D>'"
        with pytest.raises(TypeError, match=exact(message)):
            m.CostEngine(signal, "l2")

    @pytest.mark.parametrize("shape", [(1, 1, 1), (2, 3, 4), (1, 1, 1, 1)])
    def test_three_or_more_dimensions(self, shape):
        with pytest.raises(ValueError, match=exact("signal must be 1-D or 2-D")):
            m.CostEngine(np.zeros(shape), "l2")

    def test_array_subclass_is_accepted(self):
        class Sub(np.ndarray):
            pass

        engine = m.CostEngine(np.arange(5.0).view(Sub), "l2")
        assert engine.n_samples == 5


ALL_MODELS = {
    "l1": None, "l2": None, "normal": None, "rbf": None, "cosine": None, "rank": None,
    "mahalanobis": {"metric": np.eye(2)}, "clinear": None, "linear": None, "ar": None,
}


class TestNonFiniteSignals:
    """One NaN or infinite sample is accepted; SECURITY.md states how each
    model spreads it, and the searches still return valid breakpoint lists."""

    @staticmethod
    def signal(value):
        x = np.random.default_rng(1).normal(size=(60, 2))
        x[30, 0] = value
        return x

    @pytest.mark.parametrize(
        "model, value, before, across, after",
        [(name, np.nan, "nan", "nan", "nan") for name in ("l1", "l2", "mahalanobis", "clinear", "linear", "rbf")]
        + [
            ("normal", np.nan, "-inf", "-inf", "-inf"),
            ("cosine", np.nan, "finite", "nan", "nan"),
            ("rank", np.nan, "finite", "finite", "finite"),
            ("ar", np.nan, "zero", "zero", "zero"),
            ("l2", np.inf, "nan", "nan", "nan"),
            ("rbf", np.inf, "finite", "finite", "finite"),
            ("rbf", -np.inf, "finite", "finite", "finite"),
        ],
    )
    def test_how_each_model_spreads_it(self, model, value, before, across, after):
        def kind(c):
            return "nan" if np.isnan(c) else "zero" if c == 0 else "finite" if np.isfinite(c) else str(c)

        engine = m.CostEngine(self.signal(value), model, ALL_MODELS[model])
        assert [kind(engine.error(s, e)) for s, e in [(0, 20), (25, 35), (40, 60)]] == [before, across, after]

    @pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
    @pytest.mark.parametrize("model", ALL_MODELS)
    def test_searches_return_valid_breakpoints(self, model, value):
        engine = m.CostEngine(self.signal(value), model, ALL_MODELS[model])
        inds, score = m.window_fit(engine, 10, 1)
        found = [
            m.pelt(engine, 3.0, 1, 5), m.dynp(engine, 2, 1, 5), *m.dynp_all(engine, 3, 2, 5),
            m.binseg(engine, 1, 5, n_bkps=3), m.bottomup(engine, 1, 5, pen=3.0),
            m.window_predict(engine, inds, score, 10, 1, 5, n_bkps=2),
            *(bkps for _, _, bkps in m.crops(engine, 1.0, 50.0, 1, 5)),
            *([m.kernel_pelt(engine, 3.0, 5)] if model in ("rbf", "cosine") else []),
        ]
        for bkps in found:
            assert bkps[-1] == 60 and all(b - a >= 5 for a, b in zip([0, *bkps], bkps))
