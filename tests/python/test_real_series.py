"""The real series shipped for the evaluation: each documented change sits where the record says."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

from marbolt_rs import metrics
from marbolt_rs.datasets import load_nile

_spec = importlib.util.spec_from_file_location(
    "real", Path(__file__).resolve().parents[2] / "bench" / "defaults_eval" / "real.py")
real = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(real)

SERIES = {s.name: s for s in real.load_real_series()}

# The first sample of each new regime, as the sources date the changes
# (see bench/data/real/README.md); [] where none is documented.
DOCUMENTED = {
    "nile": [["1899"]],
    "ukdriverdeaths": [["1983-02"]],
    "seatbelts_driverskilled": [["1983-02"]],
    "seatbelts_front": [["1983-02"]],
    "seatbelts_rear": [[]],
    "lakehuron": [[]],
    "lynx": [[]],
    "co2": [[]],
    "airpassengers": [[]],
    "realint": [["1967-Q1", "1972-Q4", "1980-Q4"]],
    "phillipscurve_dp": [["1968", "1976"]],
    "germanm1_m": [["1990-Q3"]],
    "germanm1_dm": [["1990-Q3"]],
    "bostonhomicide": [["1996-06"]],
    "grossarl_fraction": [["1803", "1816", "1850"], ["1736", "1753", "1771", "1803"],
                          ["1803", "1810", "1816", "1883"]],
    "grossarl_marriages": [["1803", "1816", "1850"], ["1736", "1753", "1771", "1803"],
                           ["1803", "1810", "1816", "1883"]],
    "sp2001_dal": [["2001-09-17"]],
}


def test_every_series_is_recorded():
    assert sorted(SERIES) == sorted(DOCUMENTED)


def _period(label, frequency):
    """A time label ('1871', '1961-Q1', '1969-01') as a count of periods."""
    year = int(label[:4])
    if frequency == 4:
        return year * 4 + int(label[-1]) - 1
    if frequency == 12:
        return year * 12 + int(label[5:7]) - 1
    return year


@pytest.mark.parametrize("name", sorted(DOCUMENTED))
def test_documented_changes_land_on_their_dates(name):
    series = SERIES[name]
    n = len(series.values)
    assert np.isfinite(series.values).all() and len(series.labels) == n
    # Consecutive labels are one period of the recorded frequency apart
    # (trading days aside: weekends and holidays are missing).
    if len(series.labels[0]) != len("2001-09-17"):
        periods = [_period(label, series.frequency) for label in series.labels]
        assert set(np.diff(periods)) == {1}
    dates = [[series.labels[b] for b in annotation[:-1]] for annotation in series.annotations]
    assert dates == DOCUMENTED[name]
    # Every annotation is a breakpoint list the metrics accept.
    assert metrics.covering(series.annotations, series.annotations[0]) > 0.0


def test_the_nile_is_the_package_copy():
    years, flow = load_nile()
    series = SERIES["nile"]
    assert series.labels == [str(y) for y in years]
    assert np.array_equal(series.values, np.ravel(flow))
    assert series.annotations == [[28, 100]]
