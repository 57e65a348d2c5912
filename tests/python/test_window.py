"""window_fit and window_predict: arguments, scores, peaks and stopping rules."""

import inspect
import sys

import numpy as np
import pytest

from conftest import NILE, STEP, U64_MAX, exact, make_engine
from marbolt_rs import _marbolt_rs as m

# Costs of STEP are listed in test_greedy: whole 80, [4, 8] totals 8, and
# [2, 4, 8] totals 2 + 2 + 4 = 8 too. Hand-made fits below use the centres
# 1..5, so the score position j proposes the breakpoint j + 1.
CENTRES = [1, 2, 3, 4, 5]


@pytest.fixture
def step():
    return make_engine(STEP)


def predict(engine, score, width=2, jump=1, min_size=1, inds=CENTRES, **kwargs):
    return m.window_predict(engine, inds, score, width, jump, min_size, **kwargs)


class TestSignatures:
    @pytest.mark.parametrize(
        "function, signature",
        [
            (m.window_fit, "(engine, width, jump)"),
            (m.window_predict,
             "(engine, inds, score, width, jump, min_size, n_bkps=None, pen=None, epsilon=None)"),
        ],
    )
    def test_text_signature_and_empty_body(self, function, signature):
        assert str(inspect.signature(function)) == signature
        assert function.__doc__ is None


class TestFitArguments:
    @pytest.mark.parametrize(
        "args, error, message",
        [
            ((4, 0), ValueError, "jump must be at least 1"),
            ((1, 1), ValueError, "width must be at least 2"),
            ((0, 1), ValueError, "width must be at least 2"),
            ((1, 0), ValueError, "jump must be at least 1"),
            ((0, "1"), TypeError, "argument 'jump': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_refusals(self, step, args, error, message):
        with pytest.raises(error, match=exact(message)):
            m.window_fit(step, *args)

    @pytest.mark.parametrize(
        "call", [lambda: m.window_fit(5, 0, 0), lambda: m.window_predict(5, "x", 5, 0, 0, 0, pen="x")]
    )
    def test_engine_is_converted_first(self, call):
        with pytest.raises(TypeError, match=exact("argument 'engine': 'int' object cannot be converted to 'CostEngine'")):
            call()


class TestPredictArguments:
    @pytest.mark.parametrize(
        "inds, score, jump, kwargs, error, message",
        [
            (CENTRES, [1.0], 0, {}, ValueError, "jump must be at least 1"),
            # Conversions all come before the jump check, and the jump check
            # before the centres are looked at.
            (CENTRES, [1.0], 0, {"epsilon": "x"}, TypeError, "argument 'epsilon': must be real number, not str"),
            ([0], [1.0], 0, {}, ValueError, "jump must be at least 1"),
            ("12", [1.0], 1, {}, TypeError, "argument 'inds': Can't extract `str` to `Vec`"),
            ([1], "1", 1, {}, TypeError, "argument 'score': Can't extract `str` to `Vec`"),
            (5, [1.0], 1, {}, TypeError, "argument 'inds': 'int' object cannot be converted to 'Sequence'"),
            ([1], 5, 0, {}, TypeError, "argument 'score': 'int' object cannot be converted to 'Sequence'"),
            ([1, 2.5], [1.0], 1, {}, TypeError, "argument 'inds': 'float' object cannot be interpreted as an integer"),
            ([1], [1.0, "x"], 1, {}, TypeError, "argument 'score': must be real number, not str"),
            ([1], [1.0], 1, {"n_bkps": 1.0}, TypeError,
             "argument 'n_bkps': 'float' object cannot be interpreted as an integer"),
            ([1], [1.0, 2.0], 1, {}, ValueError, "inds has 1 entries but score has 2"),
            ([3, 0], [1.0, 2.0], 1, {}, ValueError, "window centre 0 is not strictly between 0 and n_samples 8"),
            ([8], [1.0], 1, {}, ValueError, "window centre 8 is not strictly between 0 and n_samples 8"),
            # A repeated centre once gave [3, 3, 8] after costing the empty segment [3, 3).
            ([3, 5, 3, 5], [4.0, 0.0, 4.0, 0.0], 1, {"n_bkps": 2}, ValueError,
             "window centre 3 is repeated"),
        ],
    )
    def test_refusals(self, step, inds, score, jump, kwargs, error, message):
        with pytest.raises(error, match=exact(message)):
            m.window_predict(step, inds, score, 2, jump, 1, **kwargs)

    @pytest.mark.parametrize("inds, score", [([-1], [1.0]), ([2**64], [1.0]), ([1], [2**2000])])
    def test_element_overflow_is_unprefixed(self, step, inds, score):
        with pytest.raises(OverflowError) as info:
            m.window_predict(step, inds, score, 2, 1, 1)
        assert not str(info.value).startswith("argument")

    @pytest.mark.parametrize(
        "inds, score",
        [
            (tuple(CENTRES), (1, 3, 2, 5, 4)),
            (range(1, 6), np.array([1.0, 3.0, 2.0, 5.0, 4.0])),
            (np.arange(1, 6), [True, 3, 2, 5.0, 4]),
        ],
    )
    def test_any_sequence_is_accepted(self, step, inds, score):
        assert predict(step, score, inds=inds, n_bkps=2) == predict(step, [1.0, 3.0, 2.0, 5.0, 4.0], n_bkps=2)

    def test_inds_may_be_longer_than_score(self, step):
        assert predict(step, [1.0, 3.0, 2.0], inds=CENTRES, n_bkps=5) == [2, 8]


class TestFit:
    # Centred STEP windows of four samples (half 2): the centre 3 window
    # [2, 0, 2, 6] costs 19 against 2 + 8 for its halves (centre 5 mirrors it),
    # the centre 4 window costs 40 against 2 + 2, and [0, 2, 0, 2] 4 against 2 + 2.
    @pytest.mark.parametrize(
        "width, jump, expected",
        [
            (4, 1, ([2, 3, 4, 5], [0.0, 9.0, 36.0, 9.0])),
            (5, 1, ([2, 3, 4, 5], [0.0, 9.0, 36.0, 9.0])),  # an odd width drops a sample
            (4, 2, ([2, 4], [0.0, 36.0])),  # centres are on the absolute jump grid
            (4, 3, ([3], [9.0])),
            (8, 1, ([], [])),  # the centre must lie strictly below n - half
            (9, 1, ([], [])),  # a signal shorter than the window
            (U64_MAX, 1, ([], [])),
            (4, U64_MAX, ([], [])),
        ],
    )
    def test_scores(self, step, width, jump, expected):
        assert m.window_fit(step, width, jump) == expected

    def test_minus_infinity_window_scores_zero(self):
        flat = make_engine(np.full(8, 3.0), "normal", add_small_diag=False)
        inds, score = m.window_fit(flat, 4, 1)
        assert (inds, score) == ([2, 3, 4, 5], [0.0] * 4)
        # Flat scores have no peak, so nothing is proposed.
        assert m.window_predict(flat, inds, score, 4, 1, 2, n_bkps=3) == [8]


class TestPeaks:
    @pytest.mark.parametrize(
        "score, width, jump, min_size, expected",
        [
            ([1, 3, 2, 5, 4], 2, 1, 1, [2, 4, 8]),  # peaks at 1 and 3
            ([5, 1, 2, 3, 4], 2, 1, 1, [1, 8]),  # 0 beats 4 through the wrap
            ([4, 1, 2, 3, 5], 2, 1, 1, [5, 8]),  # 4 beats 0 through the wrap
            ([1, 3, 2, 5, 4], 4, 1, 1, [4, 8]),  # reach 2: 1 loses to 4 two steps left (wrapped)
            ([1, 3, 2, 5, 4], 2, 1, 2, [4, 8]),  # min_size widens the reach to 2
            ([1, 3, 2, 5, 4], 10, 20, 2, [2, 4, 8]),  # peak order 0 still compares neighbours
            ([1, 3, 2, 5, 4], 4, 2**63, 1, [2, 4, 8]),  # 2 * jump must not wrap to 0
            ([1, 3, 2, 5, 4], 2, 1, U64_MAX, [8]),  # reach beyond the list: no peak
            ([1, 3, 3, 1, 0], 2, 1, 1, [8]),  # plateaus are not peaks
            ([1, np.nan, 0, 5, 1], 2, 1, 1, [4, 8]),  # nor is NaN
            ([1, 2], 2, 1, 1, [2, 8]),
            ([1, 2], 4, 1, 1, [8]),  # reach 2 compares the peak with itself
            ([3], 2, 1, 1, [8]),  # a lone score is compared with itself
            ([], 2, 1, 1, [8]),
        ],
    )
    def test_every_peak_is_proposed(self, step, score, width, jump, min_size, expected):
        assert predict(step, score, width, jump, min_size, n_bkps=9) == expected

    @pytest.mark.parametrize(
        "inds, expected",
        [([1, 2, 3, 4, 5], [4, 8]), ([5, 4, 3, 2, 1], [4, 8]), ([1, 5, 3, 2, 4], [5, 8])],
    )
    def test_equal_peak_scores_take_the_larger_centre_first(self, step, inds, expected):
        # Peaks at positions 1 and 3; the larger centre wins, wherever it is.
        assert predict(step, [0, 7, 0, 7, 0], inds=inds, n_bkps=1) == expected


class TestStoppingRules:
    # Score [1, 3, 2, 5, 4] proposes 4 first (total 80 -> 8, a decrease of 72),
    # then 2 (total 8 -> 8, a decrease of 0).
    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            ({}, [8]),
            ({"n_bkps": 0}, [8]),
            ({"n_bkps": 1}, [4, 8]),
            ({"n_bkps": 2}, [2, 4, 8]),
            ({"n_bkps": U64_MAX}, [2, 4, 8]),  # more than there are peaks
            ({"pen": 72.0}, [8]),  # a decrease equal to pen is refused
            ({"pen": 71.0}, [4, 8]),
            ({"pen": 0.0}, [4, 8]),
            ({"pen": -1.0}, [2, 4, 8]),
            ({"epsilon": 80.0}, [8]),  # a total equal to epsilon stops
            ({"epsilon": 8.0}, [4, 8]),
            ({"epsilon": 7.9}, [2, 4, 8]),
            ({"n_bkps": 1, "pen": 1e9, "epsilon": 1e9}, [4, 8]),
            ({"pen": 1e9, "epsilon": 0.0}, [8]),
        ],
    )
    def test_rules(self, step, kwargs, expected):
        assert predict(step, [1, 3, 2, 5, 4], **kwargs) == expected

    @pytest.mark.parametrize("kwargs", [{"n_bkps": 1}, {"n_bkps": 3}, {"pen": 5e4}, {"pen": 0.0}, {"epsilon": 2e6}])
    def test_one_fit_serves_many_predictions(self, kwargs):
        engine = make_engine(np.loadtxt(NILE))
        fit = m.window_fit(engine, 20, 1)
        first = m.window_predict(engine, *fit, 20, 1, 2, **kwargs)
        for _ in range(3):
            assert m.window_predict(engine, *fit, 20, 1, 2, **kwargs) == first
            assert m.window_predict(engine, *m.window_fit(engine, 20, 1), 20, 1, 2, **kwargs) == first

    def test_nile_level_shift(self):
        nile = np.loadtxt(NILE)
        engine = make_engine(nile)
        inds, score = m.window_fit(engine, 20, 1)
        # The strongest window contrast is the 1898 drop, sample 28.
        assert m.window_predict(engine, inds, score, 20, 1, 2, n_bkps=1) == [28, 100]
        assert score[inds.index(28)] == max(score)


class TestReferenceNeutrality:
    @pytest.mark.parametrize(
        "inds, score, jump",
        [
            (CENTRES, [1.0, 3.0, 2.0, 5.0, 4.0], 1),
            (CENTRES, [1.0, 3.0, 2.0, 5.0, 4.0], 0),
            (CENTRES[:2], [1.0, 3.0, 2.0], 1), ([0, 1], [1.0, 3.0], 1), ([1, "x"], [1.0, 3.0], 1),
            ([1, 2**70], [1.0, 3.0], 1), (CENTRES, [1.0, None], 1), ("12", (1.0,), 1), (CENTRES, object(), 1),
        ],
    )
    def test_predict(self, step, inds, score, jump):
        tracked = [step, inds, score]
        before = [sys.getrefcount(x) for x in tracked]
        for _ in range(50):
            try:
                m.window_predict(step, inds, score, 2, jump, 1, n_bkps=2)
            except (TypeError, ValueError, OverflowError):
                pass
        assert [sys.getrefcount(x) for x in tracked] == before

    @pytest.mark.parametrize("width, jump", [(4, 1), (4, 0), (1, 1), (-1, 1)])
    def test_fit(self, step, width, jump):
        before = sys.getrefcount(step)
        for _ in range(50):
            try:
                m.window_fit(step, width, jump)
            except (ValueError, OverflowError):
                pass
        assert sys.getrefcount(step) == before
