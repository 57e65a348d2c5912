"""The default and named penalties: seeded signals with known changes, the
noise estimate, and answers that do not depend on the signal's unit."""

import warnings

import numpy as np
import pytest

import marbolt_rs as mr
from marbolt_rs._models import MODELS
from marbolt_rs._noise import short_scale_variance

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
    ("trend", "pelt", mean_shifts),
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
        assert short_scale_variance(x)[0] == pytest.approx(4.0, rel=0.2)

    def test_serial_correlation_raises_it_to_the_long_run_variance(self, rng):
        # AR(1) with phi 0.5: variance 4/3, long-run variance 4; scales of up
        # to 8 samples see most of it.
        e = rng.normal(size=20000)
        x = np.empty_like(e)
        x[0] = e[0]
        for t in range(1, len(e)):
            x[t] = 0.5 * x[t - 1] + e[t]
        assert 3.0 < short_scale_variance(x)[0] < 4.4

    def test_ties_do_not_collapse_it(self, rng):
        # Rounded to integers, over half of the differences are 0.
        x = np.round(0.4 * rng.normal(size=2000))
        assert np.mean(np.diff(x) == 0) > 0.5
        assert 0.1 < short_scale_variance(x)[0] < 0.4

    @pytest.mark.parametrize("model", [None, "l2", "l1"])
    def test_a_constant_signal_has_no_change(self, model):
        result = mr.detect(np.full(50, 3.0), model)
        assert result.penalty > 0
        assert result.breakpoints == [50]


SCALES = [1e-300, 1e-160, 1e-20, 0.3, 1.0, 7.0, 1e20, 1e160, 1e300]


@pytest.mark.parametrize("model", [None, "l2", "l1", "ar"])
def test_the_breakpoints_do_not_depend_on_the_unit(rng, model):
    x = mean_shifts(rng, 1)[:, 0]
    found = {tuple(mr.detect(x * c, model).breakpoints) for c in SCALES}
    assert found == {tuple(mr.detect(x, model).breakpoints)}


def test_a_model_that_cannot_be_rescaled_says_how_to(rng):
    x = mean_shifts(rng, 1) * 1e160
    with pytest.raises(ValueError, match=r"divide the signal by \d\.\de\+160 first"):
        mr.detect(x, "normal")


@pytest.mark.parametrize("x", [np.array([1.0, 2.0]), np.array([0.0, 0.0, 5.0, 5.0]),
                               np.arange(30.0), np.r_[np.zeros(15), np.ones(15)]],
                         ids=["two samples", "four samples", "ramp", "noiseless step"])
def test_degenerate_signals_get_a_sane_answer(x):
    result = mr.detect(x)
    assert result.penalty > 0
    assert result.n_bkps <= 1


class TestNamedPenalties:
    @pytest.mark.parametrize("model", ["l2", "l1", "normal", "rank", "linear", "trend"])
    def test_they_grow_from_aic_to_mbic_on_long_signals(self, rng, model):
        x = slope_changes(rng, 1) if model == "linear" else mean_shifts(rng, 1)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", mr.ImplausibleSegmentation)  # aic's many changes
            prices = [mr.detect(x, model, pen=name).penalty
                      for name in ("aic", "hq", "bic", "mbic")]
        assert prices == sorted(prices) and prices[0] > 0

    def test_the_result_names_the_rule(self, rng):
        result = mr.detect(mean_shifts(rng, 1), "l2", pen="mbic")
        assert result.penalty_rule == "mbic: (p + 2)·log(n)"
        assert result.breakpoints == TRUE

    def test_an_unknown_name_is_refused_with_the_likely_one(self, rng):
        with pytest.raises(ValueError, match="^unknown penalty: 'MBIC'. Did you mean 'mbic'"):
            mr.detect(mean_shifts(rng, 1), "l2", pen="MBIC")

    def test_clinear_takes_only_numbers(self, rng):
        with pytest.raises(ValueError, match="^model 'clinear' has no noise scale"):
            mr.detect(np.cumsum(rng.normal(size=100)), "clinear", pen="bic")


def test_clinear_asks_for_a_penalty(rng):
    x = np.cumsum(rng.normal(size=100))
    with pytest.raises(ValueError, match="^model 'clinear' has no default penalty"):
        mr.detect(x, "clinear")
    assert mr.detect(x, "clinear", pen=1e9).breakpoints == [100]
