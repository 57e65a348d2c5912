import numpy as np
import pytest

from conftest import NILE
from marbolt_rs import datasets

GENERATORS = [datasets.piecewise_constant, datasets.piecewise_normal, datasets.piecewise_linear]


@pytest.fixture(params=GENERATORS, ids=lambda f: f.__name__)
def generate(request):
    return request.param


class TestGenerators:
    @pytest.mark.parametrize("n_samples, n_bkps, n_features", [(200, 3, 1), (101, 4, 3), (50, 0, 2), (5, 4, 1)])
    def test_shape_and_breakpoints(self, generate, n_samples, n_bkps, n_features):
        signal, bkps = generate(n_samples, n_bkps, n_features, seed=1)
        assert signal.shape == (n_samples, n_features) and signal.dtype == np.float64
        assert len(bkps) == n_bkps + 1 and bkps[-1] == n_samples
        assert all(type(b) is int for b in bkps)
        lengths = np.diff([0] + bkps)
        assert lengths.min() >= max(1, n_samples // (2 * (n_bkps + 1)))

    def test_a_seed_fixes_signal_and_breakpoints(self, generate):
        first, second, other = (generate(seed=s) for s in (7, 7, 8))
        np.testing.assert_array_equal(first[0], second[0])
        assert first[1] == second[1]
        assert not np.array_equal(first[0], other[0])

    def test_breakpoints_spread_over_the_signal(self, generate):
        seen = {b for s in range(30) for b in generate(200, 3, seed=s)[1][:-1]}
        assert len(seen) > 30 and min(seen) < 60 and max(seen) > 140

    def test_too_many_breakpoints_are_refused(self, generate):
        with pytest.raises(ValueError, match="^n_bkps must be between 0 and n_samples - 1 = 4, got 5$"):
            generate(5, 5)


def test_piecewise_constant_steps_by_delta_at_each_breakpoint():
    signal, bkps = datasets.piecewise_constant(300, 4, 2, noise_std=0.0, delta=(2, 3), seed=3)
    assert np.all(signal[: bkps[0]] == 0.0)
    steps = np.abs(np.diff(signal, axis=0))
    moved = np.flatnonzero(steps.any(axis=1)) + 1
    assert moved.tolist() == bkps[:-1]
    assert np.all((steps[moved - 1] >= 2) & (steps[moved - 1] <= 3))


def test_piecewise_linear_is_continuous_with_kinks_at_breakpoints():
    signal, bkps = datasets.piecewise_linear(300, 4, 1, noise_std=0.0, seed=3)
    assert signal[0, 0] == 0.0
    increments = np.diff(signal[:, 0])
    assert np.abs(increments).max() <= 5 * 1.0  # no jump: at most the steepest slope
    kinks = np.flatnonzero(np.abs(np.diff(increments)) > 1e-9) + 1
    assert kinks.tolist() == bkps[:-1]


def test_piecewise_normal_changes_the_spread_by_delta():
    signal, bkps = datasets.piecewise_normal(40000, 1, 1, delta=(3, 4), seed=3)
    spread = sorted([signal[: bkps[0]].std(), signal[bkps[0]:].std()])
    assert 2.7 < spread[1] / spread[0] < 4.4
    assert abs(signal.mean()) < 0.05


def test_load_nile():
    years, flow = datasets.load_nile()
    assert years.tolist() == list(range(1871, 1971))
    assert flow.dtype == np.float64 and flow[0] == 1120.0
    # The package carries its own copy; it must stay the repository's series.
    np.testing.assert_array_equal(flow, np.loadtxt(NILE))
    assert datasets.load_nile().flow is not flow
