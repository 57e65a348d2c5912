"""binseg and bottomup: arguments, stopping rules, tie rules and degenerate costs."""

import inspect
import sys
import threading

import numpy as np
import pytest

from conftest import NILE, STEP, U64_MAX, exact, make_engine
from marbolt_rs import _marbolt_rs as m

SEARCHES = [m.binseg, m.bottomup]


@pytest.fixture
def step():
    return make_engine(STEP)


def is_segmentation(bkps, n, jump, min_size):
    starts = [0] + bkps[:-1]
    return (
        bkps[-1] == n
        and all(b % jump == 0 for b in bkps[:-1])
        and all(e - s >= max(min_size, 1) for s, e in zip(starts, bkps))
    )


class TestSignature:
    @pytest.mark.parametrize("search", SEARCHES)
    def test_text_signature_and_empty_body(self, search):
        assert str(inspect.signature(search)) == "(engine, jump, min_size, n_bkps=None, pen=None, epsilon=None)"
        assert search.__doc__ is None


@pytest.mark.parametrize("search", SEARCHES)
class TestArguments:
    @pytest.mark.parametrize(
        "args, kwargs, error, message",
        [
            ((0, 1), {}, ValueError, "jump must be at least 1"),
            ((0, 1), {"n_bkps": 1, "pen": 1.0, "epsilon": 1.0}, ValueError, "jump must be at least 1"),
            # Every argument is converted before jump is checked.
            ((0, 1), {"epsilon": "x"}, TypeError, "argument 'epsilon': must be real number, not str"),
            ((0, 1), {"pen": "x"}, TypeError, "argument 'pen': must be real number, not str"),
            ((0, 1.5), {}, TypeError, "argument 'min_size': 'float' object cannot be interpreted as an integer"),
            ((1, 1), {"n_bkps": 2.0}, TypeError, "argument 'n_bkps': 'float' object cannot be interpreted as an integer"),
            ((1,), {}, TypeError, "{}() missing 1 required positional argument: 'min_size'"),
        ],
    )
    def test_refusals(self, search, step, args, kwargs, error, message):
        with pytest.raises(error, match=exact(message.format(search.__name__))):
            search(step, *args, **kwargs)

    def test_engine_must_be_a_cost_engine(self, search):
        with pytest.raises(TypeError, match=exact("argument 'engine': 'int' object cannot be converted to 'CostEngine'")):
            search(5, 0, 1, pen="x")

    @pytest.mark.parametrize("kwargs", [{"n_bkps": -1}, {"n_bkps": 2**64}, {"jump": -1}])
    def test_out_of_range_counts_overflow_unprefixed(self, search, step, kwargs):
        args = {"jump": 1, "min_size": 1, **kwargs}
        with pytest.raises(OverflowError) as info:
            search(step, **args)
        assert not str(info.value).startswith("argument")

    def test_keywords_and_none_mean_absent(self, search, step):
        assert search(step, 1, 2, None, None, None) == search(step, min_size=2, jump=1) == search(step, 1, 2)
        assert search(step, 1, 2, pen=True) == search(step, 1, 2, pen=1.0)


class TestStoppingRules:
    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            ({}, [8]),  # no rule: stop at the first decision
            ({"n_bkps": 0}, [8]),
            ({"n_bkps": 1}, [4, 8]),
            # The halves both gain 0 at 2 and 6: equal gains go to the left segment.
            ({"n_bkps": 2}, [2, 4, 8]),
            # Then [0, 2) has no split and its gain 0.0 ties with [4, 8)'s 0:
            # the leftmost record wins and, having no split, ends the search.
            ({"n_bkps": 3}, [2, 4, 8]),
            ({"n_bkps": U64_MAX}, [2, 4, 8]),
            ({"pen": 72.0}, [8]),  # gain equal to pen is refused
            ({"pen": 71.5}, [4, 8]),
            ({"pen": 0.0}, [4, 8]),
            ({"pen": -1.0}, [2, 4, 8]),
            ({"epsilon": 80.0}, [8]),  # total equal to epsilon ends the search
            ({"epsilon": 8.0}, [4, 8]),
            ({"epsilon": 7.9}, [2, 4, 8]),
            # Only the first rule present is consulted.
            ({"n_bkps": 1, "pen": 1e9, "epsilon": 1e9}, [4, 8]),
            ({"n_bkps": 0, "pen": -np.inf}, [8]),
            ({"pen": 1e9, "epsilon": 0.0}, [8]),
        ],
    )
    def test_binseg(self, step, kwargs, expected):
        assert m.binseg(step, 1, 2, **kwargs) == expected

    @pytest.mark.parametrize("n_bkps, expected", [(2, [3, 4, 8]), (3, [2, 3, 4, 8]), (5, [1, 2, 3, 4, 8])])
    def test_binseg_ties(self, n_bkps, expected):
        # Two flat halves: after the split at 4 every candidate gains exactly 0.
        # Within a segment the last equal gain wins (3, not 1), between segments
        # the left one; once [0, 1) leads with no split at all, the search ends.
        flat_halves = make_engine(np.repeat([0.0, 6.0], 4))
        assert m.binseg(flat_halves, 1, 1, n_bkps=n_bkps) == expected

    # The fine partition is [2, 4, 6, 8], leaves of cost 2 (total 8). Candidate
    # gains: 0 at start 0, 36 at start 2, 0 at start 4; after both zero merges
    # the last candidate [0, 4) + [4, 8) gains 80 - 8 = 72.
    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            ({}, [2, 4, 6, 8]),  # no rule: the fine partition itself
            ({"n_bkps": 0}, [8]),
            ({"n_bkps": 1}, [4, 8]),
            ({"n_bkps": 2}, [4, 6, 8]),  # equal gains: the leftmost merge first
            ({"n_bkps": 3}, [2, 4, 6, 8]),
            ({"n_bkps": U64_MAX}, [2, 4, 6, 8]),
            ({"pen": 0.0}, [2, 4, 6, 8]),  # gain equal to pen is not merged
            ({"pen": 1e-9}, [4, 8]),
            ({"pen": 72.0}, [4, 8]),
            ({"pen": 72.5}, [8]),
            ({"epsilon": 8.0}, [2, 4, 6, 8]),  # total equal to epsilon ends the loop
            ({"epsilon": 8.5}, [8]),
            ({"n_bkps": 3, "pen": 1e9}, [2, 4, 6, 8]),
            ({"pen": 0.0, "epsilon": 1e9}, [2, 4, 6, 8]),
        ],
    )
    def test_bottomup(self, step, kwargs, expected):
        assert m.bottomup(step, 1, 2, **kwargs) == expected


class TestDegenerateInputs:
    @pytest.mark.parametrize("search", SEARCHES)
    @pytest.mark.parametrize(
        "jump, min_size",
        [
            (1, 5),  # n_samples < 2 * min_size
            (1, U64_MAX),  # 2 * min_size would wrap
            (9, 1),  # jump larger than the signal: only the candidate 0
            (U64_MAX, 1),
            (5, 4),  # the only admissible position, 4, is off the grid
        ],
    )
    @pytest.mark.parametrize("kwargs", [{"n_bkps": 3}, {"pen": -np.inf}, {"epsilon": -np.inf}])
    def test_no_admissible_split(self, step, search, jump, min_size, kwargs):
        assert search(step, jump, min_size, **kwargs) == [8]

    @pytest.fixture
    def flat(self):
        # A constant signal without the diagonal regulariser: every segment
        # costs -inf.
        return make_engine(np.full(8, 3.0), "normal", add_small_diag=False)

    @pytest.mark.parametrize("kwargs", [{}, {"n_bkps": 3}, {"pen": -np.inf}, {"epsilon": np.inf}])
    def test_binseg_never_splits_a_minus_infinity_segment(self, flat, kwargs):
        assert m.binseg(flat, 1, 2, **kwargs) == [8]

    # Merging -inf segments gains +0.0 rather than NaN (-inf - (-inf)): pen
    # 0.0 keeps the fine partition, the smallest positive pen merges it all,
    # and all-equal gains merge from the left.
    @pytest.mark.parametrize(
        "kwargs, expected",
        [({"pen": 0.0}, [2, 4, 6, 8]), ({"pen": 5e-324}, [8]), ({"n_bkps": 1}, [6, 8])],
    )
    def test_bottomup_merges_minus_infinity_with_zero_gain(self, flat, kwargs, expected):
        assert m.bottomup(flat, 1, 2, **kwargs) == expected

    @pytest.mark.parametrize("search", SEARCHES)
    @pytest.mark.parametrize("kwargs", [{}, {"n_bkps": 12}, {"n_bkps": U64_MAX}, {"pen": 0.0}, {"epsilon": 0.0}])
    def test_min_size_zero_acts_as_one(self, rng, search, kwargs):
        engine = make_engine(rng.normal(size=30))
        bkps = search(engine, 1, 0, **kwargs)
        assert bkps == search(engine, 1, 1, **kwargs)
        assert is_segmentation(bkps, 30, 1, 1)

    def test_bottomup_huge_n_bkps_keeps_the_fine_partition(self, rng):
        engine = make_engine(rng.normal(size=40))
        assert m.bottomup(engine, 1, 1, n_bkps=U64_MAX) == list(range(1, 41))
        assert m.bottomup(engine, 3, 1, n_bkps=U64_MAX) == m.bottomup(engine, 3, 1) == list(range(3, 40, 3)) + [40]


class TestResults:
    @pytest.mark.parametrize("search", SEARCHES)
    @pytest.mark.parametrize("jump, min_size", [(1, 1), (1, 3), (4, 2), (3, 7), (10, 1)])
    @pytest.mark.parametrize("kwargs", [{}, {"n_bkps": 4}, {"n_bkps": 500}, {"pen": 5.0}, {"epsilon": 60.0}])
    def test_valid_segmentations(self, rng, search, jump, min_size, kwargs):
        x = np.concatenate([rng.normal(mu, 1.0, size=25) for mu in (0.0, 4.0, -2.0, 3.0)])
        bkps = search(make_engine(x), jump, min_size, **kwargs)
        assert bkps == sorted(set(bkps))
        assert is_segmentation(bkps, 100, jump, min_size)

    @pytest.mark.parametrize("search", SEARCHES)
    def test_nile_level_shift(self, search):
        # The Aswan dam came into use in 1898 (sample 27): the one-breakpoint
        # answer puts it there, between two clearly different levels.
        nile = np.loadtxt(NILE)
        bkps = search(make_engine(nile), 1, 2, n_bkps=1)
        assert bkps == [28, 100]
        assert nile[:28].mean() - nile[28:].mean() > 200


class TestSharing:
    def test_concurrent_searches_on_one_engine(self, rng):
        x = np.concatenate([rng.normal(mu, 1.0, size=100) for mu in (0.0, 3.0, -1.0)])
        engine = make_engine(x, "normal")
        inds, score = m.window_fit(engine, 20, 2)
        calls = [
            lambda: m.binseg(engine, 2, 3, n_bkps=8),
            lambda: m.bottomup(engine, 1, 3, pen=20.0),
            lambda: m.window_fit(engine, 20, 2),
            lambda: m.window_predict(engine, inds, score, 20, 2, 3, n_bkps=5),
        ]
        expected = [call() for call in calls]
        results = {}

        def work(k):
            results[k] = [[calls[(i + k) % 4]() for i in range(4)] for _ in range(5)]

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for k, runs in results.items():
            assert all(run == expected[k:] + expected[:k] for run in runs)
        assert len(results) == 4


class TestReferenceNeutrality:
    @pytest.mark.parametrize("search", SEARCHES)
    @pytest.mark.parametrize(
        "args, kwargs",
        [((1, 2), {"n_bkps": 2}), ((1, 2), {"pen": 0.5}), ((0, 2), {}), ((0, 2), {"pen": "x"}), ((1, 2), {"n_bkps": -1})],
    )
    def test_engine_count_is_unchanged(self, step, search, args, kwargs):
        before = sys.getrefcount(step)
        for _ in range(50):
            try:
                search(step, *args, **kwargs)
            except (TypeError, ValueError, OverflowError):
                pass
        assert sys.getrefcount(step) == before
