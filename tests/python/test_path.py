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
        (default,) = ax.lines
        assert default.get_xdata()[0] == mr.default_penalty(signal, "l2")
    finally:
        plt.close(ax.figure)


@pytest.mark.parametrize("model, d", [("l2", 1), ("l1", 1), ("normal", 2)])
def test_the_table_holds_the_best_segmentation_of_each_count(rng, model, d):
    pd = pytest.importorskip("pandas")
    x = np.repeat([0.0, 4.0, 1.0, 5.0], 40)[:, None] + rng.normal(size=(160, d))
    path = mr.penalty_path(x, model=model)
    default = mr.default_penalty(x, model)
    assert (path[-1].pen_range[0], path[0].pen_range[1]) == (default / 10, default * 10)
    table = path.table()
    assert isinstance(table, pd.DataFrame)
    engine = m.CostEngine(x, model)
    size = path.with_changes(path[0].n_bkps).min_size
    best = [[len(x)], *m.dynp_all(engine, int(table["n_bkps"].max()), 1, size)]
    for row in table.itertuples():
        # Optimal for some penalty, so the cheapest with its number of changes.
        assert row.cost == pytest.approx(engine.sum_of_costs(best[row.n_bkps]), rel=1e-12)
        assert [row.pen_min, row.pen_max, row.labels] == \
            [*path[row.Index].pen_range, path[row.Index].labels]
        picked = path.with_changes(row.n_bkps)
        assert picked == mr.detect(x, model, pen=picked.penalty)
        assert picked.breakpoints == path[row.Index].breakpoints


def test_a_count_off_the_path_is_refused_with_the_counts_it_has(signal):
    path = mr.penalty_path(signal, 5.0, 50.0)
    counts = ", ".join(str(entry.n_bkps) for entry in path)
    missing = next(k for k in range(10) if k not in [entry.n_bkps for entry in path])
    with pytest.raises(ValueError, match=f"^the path has no segmentation with {missing} "
                       f"changes, only with {counts}; marbolt_rs.fits gives the best "
                       "segmentation for every count$"):
        path.with_changes(missing)
    with pytest.raises(ValueError, match="^model 'clinear' has no default penalty to centre "
                       "the range on; pass pen_min and pen_max$"):
        mr.penalty_path(signal, model="clinear")
