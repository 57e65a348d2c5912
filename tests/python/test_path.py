"""penalty_path: the CROPS path as entries with ranges, breakpoints and costs."""

import numpy as np
import pytest

import marbolt_rs as mr
from marbolt_rs import _marbolt_rs as m


@pytest.fixture
def signal(rng):
    return np.repeat([0.0, 4.0, 1.0, 5.0], 60) + rng.normal(size=240)


def test_entries_match_the_searches_they_summarise(signal):
    path = mr.penalty_path(signal, 2.0, 2000.0, min_size=3)
    engine = m.CostEngine(signal, "l2")
    assert [e.breakpoints for e in path] == [b for _, _, b in m.crops(engine, 2.0, 2000.0, 1, 3)]
    assert path[0].pen_range[1] == 2000.0 and path[-1].pen_range[0] == 2.0
    for upper, lower in zip(path, path[1:]):
        assert upper.pen_range[0] == lower.pen_range[1]
        assert upper.n_bkps < lower.n_bkps
    for entry in path:
        assert entry.cost == engine.sum_of_costs(entry.breakpoints)
        middle = float(np.sqrt(entry.pen_range[0] * entry.pen_range[1]))
        assert entry.breakpoints == m.pelt(engine, middle, 1, 3)


@pytest.mark.parametrize("low, high, message", [
    (0.0, 10.0, "penalties must satisfy 0 < pen_min <= pen_max, got pen_min 0.0 and pen_max 10.0"),
    (10.0, 1.0, "penalties must satisfy 0 < pen_min <= pen_max, got pen_min 10.0 and pen_max 1.0"),
    (1.0, float("inf"), "pen_max must be a finite number >= 0, got inf"),
])
def test_refuses_a_bad_range(signal, low, high, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        mr.penalty_path(signal, low, high)


def test_plot_draws_changes_against_a_log_penalty(signal):
    pytest.importorskip("matplotlib").use("Agg")
    import matplotlib.pyplot as plt

    path = mr.penalty_path(signal, 1.0, 1000.0)
    ax = path.plot()
    try:
        assert ax.get_xscale() == "log"
        (steps,) = ax.patches
        assert list(steps.get_data().values) == [e.n_bkps for e in reversed(path)]
    finally:
        plt.close(ax.figure)
