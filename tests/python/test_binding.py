"""Argument binding and conversion, shared by every callable of the module."""

import sys

import numpy as np
import pytest

from conftest import exact
from marbolt_rs import _marbolt_rs as m


@pytest.fixture
def engine():
    return m.CostEngine(np.arange(10.0), "l2")


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda e: m.check_outer_memory(1, 2, "l2", 4),
             "check_outer_memory() takes 3 positional arguments but 4 were given"),
            (lambda e: m.check_outer_memory(1),
             "check_outer_memory() missing 2 required positional arguments: 'd' and 'model'"),
            (lambda e: m.check_outer_memory(),
             "check_outer_memory() missing 3 required positional arguments: 'n', 'd', and 'model'"),
            (lambda e: m.check_outer_memory(1, 2),
             "check_outer_memory() missing 1 required positional argument: 'model'"),
            (lambda e: m.check_outer_memory(1, 2, "x", size=3),
             "check_outer_memory() got an unexpected keyword argument 'size'"),
            (lambda e: m.check_outer_memory(1, 2, "x", n=3),
             "check_outer_memory() got multiple values for argument 'n'"),
            (lambda e: m.CostEngine(np.zeros(3), "l2", None, None, 5),
             "CostEngine.__new__() takes from 2 to 4 positional arguments but 5 were given"),
            (lambda e: m.CostEngine(),
             "CostEngine.__new__() missing 2 required positional arguments: 'signal' and 'model'"),
            (lambda e: m.CostEngine(np.zeros(3), model="l2", signal=np.zeros(3)),
             "CostEngine.__new__() got multiple values for argument 'signal'"),
            (lambda e: m.CostEngine(np.zeros(3), "l2", bogus=1),
             "CostEngine.__new__() got an unexpected keyword argument 'bogus'"),
            (lambda e: e.error(1, 2, 3),
             "CostEngine.error() takes 2 positional arguments but 3 were given"),
            (lambda e: e.error(1),
             "CostEngine.error() missing 1 required positional argument: 'end'"),
            (lambda e: e.sum_of_costs([1], [2]),
             "CostEngine.sum_of_costs() takes 1 positional argument but 2 were given"),
        ],
    )
    def test_messages_use_the_interpreters_wording(self, engine, call, message):
        with pytest.raises(TypeError, match=exact(message)):
            call(engine)

    def test_keywords_bind_in_any_order(self, engine):
        assert m.check_outer_memory(model="x", d=2, n=3) is None
        assert engine.error(end=10, start=0) == engine.error(0, 10)
        built = m.CostEngine(model="l2", signal=np.arange(4.0), variant="python")
        assert built.n_samples == 4

    def test_omitted_and_none_optional_arguments_are_the_same(self):
        signal = np.arange(6.0)
        a = m.CostEngine(signal, "normal")
        b = m.CostEngine(signal, "normal", None, None)
        assert a.error(0, 6) == b.error(0, 6)


class TestConversion:
    @pytest.mark.parametrize("value", [-1, 2**64])
    def test_out_of_range_count_is_an_unprefixed_overflow(self, value):
        with pytest.raises(OverflowError) as info:
            m.check_outer_memory(value, 1, "x")
        assert not str(info.value).startswith("argument")

    @pytest.mark.parametrize(
        "value, message",
        [
            (1.5, "argument 'n': 'float' object cannot be interpreted as an integer"),
            ("3", "argument 'n': 'str' object cannot be interpreted as an integer"),
            (None, "argument 'n': 'NoneType' object cannot be interpreted as an integer"),
        ],
    )
    def test_non_integer_count_is_a_prefixed_type_error(self, value, message):
        with pytest.raises(TypeError, match=exact(message)):
            m.check_outer_memory(value, 1, "x")

    def test_count_accepts_index_protocol_and_bool(self):
        class Two:
            def __index__(self):
                return 2

        assert m.check_outer_memory(Two(), True, "x") is None

    def test_text_refuses_non_str(self):
        with pytest.raises(TypeError, match=exact("argument 'model': 'int' object cannot be converted to 'PyString'")):
            m.check_outer_memory(1, 1, 5)

    # The interpreter's own C long message, not the "int too big to convert" of
    # its long long conversion.
    @pytest.mark.parametrize("call", [
        lambda e, big: e.error(big, 5), lambda e, big: e.error(0, big),
        lambda e, big: e.sum_of_costs([5, big]), lambda e, big: e.sum_of_costs((big,))])
    @pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 2**70])
    def test_index_out_of_range_is_the_interpreters_overflow(self, engine, call, big):
        with pytest.raises(OverflowError, match=exact("Python int too large to convert to C long")):
            call(engine, big)

    def test_index_refuses_float_with_prefix(self, engine):
        with pytest.raises(TypeError, match=exact("argument 'start': 'float' object cannot be interpreted as an integer")):
            engine.error(0.0, 5)

    def test_sequence_refuses_str(self, engine):
        with pytest.raises(TypeError, match=exact("argument 'bkps': Can't extract `str` to `Vec`")):
            engine.sum_of_costs("10")

    @pytest.mark.parametrize("value, name", [(5, "int"), ({1: 2}, "dict"), ({5, 10}, "set")])
    def test_sequence_refuses_non_sequences(self, engine, value, name):
        message = f"argument 'bkps': '{name}' object cannot be converted to 'Sequence'"
        with pytest.raises(TypeError, match=exact(message)):
            engine.sum_of_costs(value)

    @pytest.mark.parametrize("bkps", [(5, 10), [5, 10], range(5, 15, 5), np.array([5, 10])])
    def test_sequence_accepts_any_sequence(self, engine, bkps):
        assert engine.sum_of_costs(bkps) == engine.sum_of_costs([5, 10])

    def test_sequence_element_failure_is_prefixed(self, engine):
        with pytest.raises(TypeError, match=exact("argument 'bkps': 'float' object cannot be interpreted as an integer")):
            engine.sum_of_costs([5, 7.5])

    def test_sequence_with_a_lying_length_is_read_by_iteration(self, engine):
        class Lying(list):
            def __len__(self):
                return 2**62

        assert engine.sum_of_costs(Lying([5, 10])) == engine.sum_of_costs([5, 10])


class TestReferenceNeutrality:
    """Every argument's reference count is the same after a call as before."""

    @pytest.mark.parametrize(
        "bkps",
        [[5, 10], [5, 5], [10, 5], [5, 2**70], [5, "x"], "10", object()],
    )
    def test_sum_of_costs(self, engine, bkps):
        before = sys.getrefcount(bkps), sys.getrefcount(engine)
        for _ in range(50):
            try:
                engine.sum_of_costs(bkps)
            except (TypeError, ValueError, RuntimeError, OverflowError):
                pass
        assert (sys.getrefcount(bkps), sys.getrefcount(engine)) == before

    @pytest.mark.parametrize(
        "model, params",
        [("l2", None), ("normal", {"add_small_diag": 0}), ("bogus", None), ("mahalanobis", {}),
         ("mahalanobis", {"metric": np.eye(3)}), ("l2", [1])],
    )
    def test_engine_construction(self, model, params):
        signal = np.arange(12.0).reshape(6, 2)
        tracked = [signal, model, params]
        before = [sys.getrefcount(x) for x in tracked]
        for _ in range(50):
            try:
                m.CostEngine(signal, model, params)
            except (TypeError, ValueError):
                pass
        assert [sys.getrefcount(x) for x in tracked] == before
