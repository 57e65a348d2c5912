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
