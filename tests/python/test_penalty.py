"""The default penalties: seeded signals with known changes, and the noise estimate."""

import numpy as np
import pytest

import marbolt_rs as mr
from marbolt_rs._models import MODELS
from marbolt_rs._noise import noise_sd

TRUE = [120, 260, 380, 500]


def pieces(make):
    """Concatenate make(i, length) over the segments of TRUE."""
    return np.concatenate([make(i, b - a) for i, (a, b) in enumerate(zip([0, *TRUE], TRUE))])


def mean_shifts(rng, d):
    return pieces(lambda i, n: [0.0, 3.0, 0.5, -2.5][i] + rng.normal(size=(n, d)))


def variance_changes(rng, d):
    return pieces(lambda i, n: [1.0, 3.0, 1.0, 4.0][i] * rng.normal(size=(n, d)))


def direction_changes(rng, d):
    axes = np.eye(3)[[0, 1, 0, 2]]
    return pieces(lambda i, n: 3 * axes[i] + rng.normal(size=(n, 3)))


def slope_changes(rng, d):
    z = rng.normal(size=TRUE[-1])
    beta = np.repeat([1.0, -1.0, 2.0, 0.0], np.diff([0, *TRUE]))
    return np.c_[beta * z + 0.5 * rng.normal(size=len(z)), z]


def rate_changes(rng, d):
    return pieces(lambda i, n: rng.poisson([0.3, 1.5, 0.5, 3.0][i], size=(n, d)).astype(float))


def waiting_changes(rng, d):
    return pieces(lambda i, n: rng.exponential([1.0, 4.0, 1.0, 5.0][i], size=(n, d)))


CASES = [
    ("l2", "pelt", mean_shifts),
    ("l2", "kernel_pelt", mean_shifts),
    ("l1", "pelt", mean_shifts),
    ("mahalanobis", "pelt", mean_shifts),
    ("rank", "pelt", mean_shifts),
    ("ar", "pelt", mean_shifts),
    ("normal", "pelt", mean_shifts),
    ("normal", "pelt", variance_changes),
    ("rbf", "kernel_pelt", mean_shifts),
    ("rbf", "kernel_pelt", variance_changes),
    ("cosine", "kernel_pelt", direction_changes),
    ("linear", "pelt", slope_changes),
    ("poisson", "pelt", rate_changes),
    ("exponential", "pelt", waiting_changes),
    ("variance", "pelt", variance_changes),
]


@pytest.mark.parametrize("seed", [20261207, 1])
@pytest.mark.parametrize("d", [1, 3])
@pytest.mark.parametrize("model, method, make", CASES,
                         ids=[f"{m}-{k}-{f.__name__}" for m, k, f in CASES])
def test_default_penalty_finds_the_true_changes_and_no_other(model, method, make, d, seed):
    x = make(np.random.default_rng(seed), d)
    params = {"metric": np.eye(x.shape[1])} if model == "mahalanobis" else None
    found = mr.detect(x, model, method, params=params)
    # A change of variance, rate or mean waiting time shows only through the
    # spread of a few samples, so its position is less sharp than that of a
    # mean shift.
    margin = 5 if make in (mean_shifts, direction_changes, slope_changes) else 10
    assert len(found.breakpoints) == len(TRUE), found.breakpoints
    assert np.all(np.abs(np.subtract(found.breakpoints, TRUE)) <= margin), found.breakpoints
    variant = "extension" if (model, method) == ("l2", "kernel_pelt") else None
    assert found.penalty == mr.default_penalty(x, model, params=params, variant=variant)
    assert found.penalty_rule == MODELS[model].penalty.name
    assert mr.detect(x, model, method, params=params, pen=found.penalty).penalty_rule == "given"


class TestNoiseEstimate:
    def test_level_shifts_do_not_inflate_it(self, rng):
        x = np.repeat([0.0, 50.0, -20.0], 400) + 2.0 * rng.normal(size=1200)
        assert noise_sd(x)[0] == pytest.approx(2.0, rel=0.1)

    def test_a_trend_does_not_inflate_it(self, rng):
        x = 0.5 * np.arange(1000) + rng.normal(size=1000)
        assert noise_sd(x)[0] == pytest.approx(1.0, rel=0.1)

    def test_quantised_data_falls_back_to_the_standard_deviation(self):
        # Over half of the differences are 0, so the MAD is 0.
        x = np.r_[np.zeros(60), np.ones(2), np.zeros(60)]
        assert noise_sd(x)[0] == pytest.approx(np.std(np.diff(x)) / np.sqrt(2))

    @pytest.mark.parametrize("model", ["l2", "l1"])
    def test_a_constant_signal_has_no_change(self, model):
        result = mr.detect(np.full(50, 3.0), model)
        assert result.penalty > 0
        assert result.breakpoints == [50]


def test_clinear_asks_for_a_penalty(rng):
    x = np.cumsum(rng.normal(size=100))
    with pytest.raises(ValueError, match="^model 'clinear' has no default penalty"):
        mr.detect(x, "clinear")
    assert mr.detect(x, "clinear", pen=1e9).breakpoints == [100]
