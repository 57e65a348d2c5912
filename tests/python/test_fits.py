"""fits(): the best segmentation of every count, and the criteria that choose one."""

import numpy as np
import pytest

import marbolt_rs as mr
from conftest import exact


@pytest.mark.parametrize("model, d", [("l2", 1), ("l2", 2), ("normal", 1), ("rank", 2)])
def test_every_count_is_the_exact_search_and_the_criteria_find_the_changes(rng, model, d):
    pd = pytest.importorskip("pandas")
    days = pd.date_range("2001-01-01", periods=400, freq="D")
    levels = np.repeat([0.0, 3.0, -1.0, 2.0], 100)[:, None]
    spread = np.repeat([1.0, 4.0, 1.0, 4.0], 100)[:, None] if model == "normal" else 1.0
    x = pd.DataFrame(levels * (model != "normal") + spread * rng.normal(size=(400, d)),
                     index=days)
    table = mr.fits(x, max_changes=6, model=model, jump=2)
    assert table["n_bkps"].tolist() == list(range(7))
    for row in table.itertuples():
        expected = mr.detect(x, model, n_bkps=row.n_bkps, jump=2) if row.n_bkps else \
            mr.detect(x, model, pen=1e300, jump=2)
        assert (row.breakpoints, row.labels, row.cost) == \
            (expected.breakpoints, expected.labels, expected.cost)
    if model == "rank":
        assert "bic" not in table
    else:
        assert table["bic"].idxmin() == table["mbic"].idxmin() == 3
        assert table.loc[3, "labels"] == [days[100], days[200], days[300]]


def test_more_changes_than_fit_are_refused(rng):
    with pytest.raises(ValueError, match=exact(
            "10 breakpoints do not fit in 30 samples with min_size 3 and jump 1")):
        mr.fits(rng.normal(size=30), max_changes=10, min_size=3)
