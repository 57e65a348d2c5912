"""detect (method "pelt"), penalty_path and the command line give the true
penalised optimum for every model: the smallest sum of the segment costs plus
pen per change over all segmentations on the grid (jump, min_size), checked
exhaustively on small signals with ties, quantised values and kinks; and every
entry of a penalty path is optimal on its range."""

import itertools
import pathlib

import numpy as np
import pytest

import marbolt_rs as mr
from marbolt_rs import _native
from marbolt_rs.cli import main
from marbolt_rs.datasets import piecewise_linear

# (model, params, variant, columns): every row of the table, each variant that
# changes its kernel, and options that change what the model's pruning may use.
CASES = [
    ("l1", None, None, 1), ("l2", None, None, 2), ("l2", None, "extension", 1),
    ("normal", None, None, 1), ("normal", None, None, 2), ("normal", {"add_small_diag": False}, None, 1),
    ("rbf", None, None, 1), ("rbf", None, "extension", 2), ("cosine", None, None, 2),
    ("cosine", None, "extension", 2), ("rank", None, None, 2),
    ("mahalanobis", {"metric": np.diag([1.0, -0.5])}, None, 2), ("clinear", None, None, 1),
    ("linear", None, None, 2), ("ar", {"order": 2}, None, 1), ("poisson", None, None, 2),
    ("exponential", None, None, 1), ("variance", None, None, 2), ("variance", {"resolution": 0.0}, None, 1),
    ("trend", None, None, 1),
]
CO2 = pathlib.Path(__file__).resolve().parents[2] / "bench" / "data" / "real" / "co2.csv"


def small_signal(rng, n, d):
    """Steps with noise, small integers (exact ties) or kinked lines; no zero sample."""
    family = rng.integers(3)
    levels = np.repeat(rng.normal(0, 3, (4, d)), -(-n // 4), axis=0)[:n]
    x = [levels + rng.normal(size=(n, d)), rng.integers(0, 4, (n, d)).astype(float),
         np.cumsum(np.repeat(rng.normal(size=(3, d)), -(-n // 3), axis=0)[:n], axis=0)
         + 0.3 * rng.normal(size=(n, d))][family]
    x[np.all(x == 0, axis=1), 0] = 1.0
    return x


def exhaustive(engine, jump, min_size, pen):
    """The smallest penalised total over every segmentation on the grid."""
    n = engine.n_samples
    cost = {}
    interior = range(jump, n, jump)
    best = np.inf
    for k in range(len(interior) + 1):
        for cuts in itertools.combinations(interior, k):
            bkps = [0, *cuts, n]
            if any(b - a < min_size for a, b in zip(bkps, bkps[1:])):
                continue
            total = sum(cost.setdefault((a, b), engine.error(a, b)) for a, b in zip(bkps, bkps[1:]))
            best = min(best, total + pen * k)
    return best


def penalised(engine, bkps, pen):
    return engine.sum_of_costs(bkps) + pen * (len(bkps) - 1)


@pytest.mark.parametrize("model, params, variant, d", CASES,
                         ids=[f"{c[0]}-{c[2] or ('options' if c[1] else c[3])}" for c in CASES])
def test_detect_and_every_path_entry_are_the_exhaustive_optimum(rng, model, params, variant, d):
    for _ in range(12):
        n = int(rng.integers(7, 13))
        x = small_signal(rng, n, d)
        if model == "poisson":
            x = np.round(np.abs(x))  # counts
        elif model == "exponential":
            x = np.abs(x) + 0.25  # waiting times
        jump, min_size = int(rng.integers(1, 4)), int(rng.integers(1, 5))
        engine = _native.Engine(x, model, params, variant)
        scale = abs(engine.error(0, n)) / n + 0.01
        pen = float(scale * np.exp(rng.uniform(-2, 2)))
        found = mr.detect(x, model, pen=pen, jump=jump, min_size=min_size, params=params, variant=variant)
        size = found.min_size
        best = exhaustive(engine, jump, size, pen)
        if not np.isfinite(best):
            continue  # a zero variance without the small diagonal: no minimum
        tolerance = 1e-9 * (abs(best) + pen * n + scale * n)
        assert penalised(engine, found.breakpoints, pen) == pytest.approx(best, abs=tolerance)
        if variant is not None:
            continue  # penalty_path serves each model's default variant
        path = mr.penalty_path(x, 0.05 * scale, 20 * scale * n, model, jump=jump, min_size=min_size,
                               params=params)
        for entry, fewer in zip(path[1:], path):
            assert entry.cost < fewer.cost
        for entry in path:
            low, high = entry.pen_range
            assert low <= high
            mid = (low + high) / 2
            assert penalised(engine, entry.breakpoints, mid) == pytest.approx(
                exhaustive(engine, jump, size, mid), abs=tolerance + 1e-9 * high * n)


def test_issue_21_clinear_examples():
    # Issue 21: PELT's pruning kept [173, 253, 377, 500] (1201.75) where three
    # changes at [182, 256, 377, 500] total 1053.99; on co2 it found 9 changes
    # (2957.04) where one at 156 totals 2219.99, and its path had inverted
    # ranges and entries costing more than ones with fewer changes.
    x, _ = piecewise_linear(n_samples=500, n_bkps=3, seed=1)
    found = mr.detect(x, "clinear", pen=200.0)
    three = mr.detect(x, "clinear", "dynp", n_bkps=3)
    assert found.cost + 200.0 * found.n_bkps <= three.cost + 600.0
    co2 = np.loadtxt(CO2, delimiter=",", skiprows=1, usecols=1)
    found = mr.detect(co2, "clinear", pen=100.0)
    assert found.cost + 100.0 * found.n_bkps <= 2219.99
    path = mr.penalty_path(co2, 0.1, 1000.0, "clinear")
    assert all(e.pen_range[0] <= e.pen_range[1] for e in path)
    assert all(more.cost < fewer.cost for fewer, more in zip(path, path[1:]))


def test_the_command_line_prints_the_optimum(tmp_path, capsys):
    x, _ = piecewise_linear(n_samples=500, n_bkps=3, seed=1)
    np.save(tmp_path / "x.npy", x)
    assert main([str(tmp_path / "x.npy"), "--model", "clinear", "--pen", "200"]) == 0
    assert capsys.readouterr().out.split() == \
        [str(b) for b in mr.detect(x, "clinear", pen=200.0).breakpoints]
