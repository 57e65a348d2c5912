"""The likelihood models of the package ("poisson", "exponential", "variance")
and the variance floor of rounded data: costs against the log-likelihoods in
closed form, and the defaults on the seeded series that motivated them."""

import math

import numpy as np
import pytest

import marbolt_rs as mr


def poisson_loglik(y, rate):
    """The Poisson log-likelihood, and the terms the cost drops (2 S + 2 sum log y!)."""
    logs = [math.lgamma(v + 1) for v in y]
    terms = [(v * math.log(rate) if v else 0.0) - rate - lg for v, lg in zip(y, logs)]
    return sum(terms), 2 * sum(y) + 2 * sum(logs)


def exponential_loglik(y, mean):
    """The exponential log-likelihood, and the terms the cost drops (2 L)."""
    return sum(-math.log(mean) - v / mean for v in y), 2 * len(y)


def gaussian_loglik(y, mean, std):
    """The Gaussian log-likelihood, and the terms the cost drops (L log 2 pi + L)."""
    terms = [-0.5 * math.log(2 * math.pi * std ** 2) - (v - mean) ** 2 / (2 * std ** 2) for v in y]
    return sum(terms), len(y) * (math.log(2 * math.pi) + 1)


SIGNALS = {
    "poisson": lambda rng: np.r_[rng.poisson(0.4, (60, 2)), rng.poisson(2.5, (60, 2))],
    "exponential": lambda rng: np.r_[rng.exponential(1.0, (60, 2)), rng.exponential(3.0, (60, 2))],
    "variance": lambda rng: np.r_[rng.normal(1.0, 1.0, (60, 2)), rng.normal(1.0, 2.5, (60, 2))],
}


# Each segment's cost is -2 x the log-likelihood at the estimates the summary
# reports, less the dropped terms: the costs are maximised log-likelihoods and
# the summaries report their maximisers.
@pytest.mark.parametrize("model", SIGNALS)
def test_segment_costs_are_the_maximised_log_likelihoods(rng, model):
    x = SIGNALS[model](rng).astype(float)
    result = mr.detect(x, model, "dynp", n_bkps=2)
    for (start, end), row in zip(result.segments, result.summary().to_dict("records")):
        expected = 0.0
        for j in range(2):
            y = x[start:end, j]
            if model == "poisson":
                loglik, dropped = poisson_loglik(y, row[f"rate_{j}"])
            elif model == "exponential":
                loglik, dropped = exponential_loglik(y, row[f"mean_{j}"])
            else:
                loglik, dropped = gaussian_loglik(y, result.params["mean"][j], row[f"std_{j}"])
            expected += -2 * loglik - dropped
        assert row["cost"] == pytest.approx(expected, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("seed", range(6))
def test_counts_give_their_rate_change_and_nothing_else(seed):
    rng = np.random.default_rng(seed)
    counts = np.r_[rng.poisson(0.3, 400), rng.poisson(1.5, 400)]
    result = mr.detect(counts, "poisson")
    assert len(result.breakpoints) == 2 and abs(result.breakpoints[0] - 400) <= 15
    assert result.summary()["rate"].tolist() == pytest.approx([0.3, 1.5], abs=0.15)


# Whole degrees, noise of 0.6 degree, one shift of 1 degree: without the
# floor, every run of repeated readings was a segment (49 to 93 changes).
@pytest.mark.parametrize("seed", range(6))
def test_rounded_readings_give_their_one_shift(seed):
    rng = np.random.default_rng(seed)
    readings = np.round(20.0 + np.repeat([0.0, 1.0], 500) + rng.normal(0.0, 0.6, 1000))
    result = mr.detect(readings, "normal")
    assert len(result.breakpoints) == 2 and abs(result.breakpoints[0] - 500) <= 20
    assert result.params["resolution"] == [1.0]
    assert mr.detect(readings, "normal", params={"resolution": 0}).n_bkps > 10
