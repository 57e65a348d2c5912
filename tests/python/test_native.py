"""The package's own compiled module beside the fixed interface: one core and
one model table, every model served, each signal checked by its model from
every entry point of the package, and the models' options reported where
they are resolved."""

import subprocess
import sys

import numpy as np
import pytest

import marbolt_rs as mr
from marbolt_rs import _marbolt_rs, _native
from marbolt_rs._models import MODELS

from conftest import exact

# Signals a model of the core's table refuses, with the first offending sample.
REFUSED = [
    ("cosine", np.array([[1.0, 2.0], [3.0, 1.0], [0.0, 0.0], [2.0, 2.0]] * 10),
     "the cosine model needs samples that are not all zeros; sample 2 is"),
    ("poisson", np.r_[np.ones(30), -1.0, np.ones(9)],
     "the `poisson` model needs counts (whole numbers, not negative); sample 30 (column 0) is -1.0"),
    ("poisson", np.c_[np.ones(40), np.r_[np.ones(12), 0.5, np.ones(27)]],
     "the `poisson` model needs counts (whole numbers, not negative); sample 12 (column 1) is 0.5"),
    ("exponential", np.r_[np.ones(7), 0.0, np.ones(32)],
     "the `exponential` model needs positive values (waiting times or gaps); sample 7 (column 0) "
     "is 0.0"),
]


class TestTables:
    def test_the_package_table_names_the_core_models_in_order(self):
        assert tuple(MODELS) == _native.models

    def test_the_same_functions_in_the_same_order(self):
        functions = [name for name, value in vars(_marbolt_rs).items() if callable(value)
                     and not name.startswith("_") and name != "CostEngine"]
        assert [name for name, value in vars(_native).items() if callable(value)
                and not name.startswith("_") and name != "Engine"] == functions
        assert _native.__version__ == _marbolt_rs.__version__

    def test_the_interface_keeps_its_models_and_their_costs(self, rng):
        with pytest.raises(ValueError, match=exact(
                "unknown model: poisson. Supported: l1, l2, normal, rbf, cosine, rank, "
                "mahalanobis, clinear, linear, ar")):
            _marbolt_rs.CostEngine(np.ones(5), "poisson")
        assert _native.Engine(np.ones(5), "poisson").model == "poisson"
        x = np.round(rng.normal(size=50))
        published = _marbolt_rs.CostEngine(x, "normal")
        ignored = _marbolt_rs.CostEngine(x, "normal", {"resolution": 1.0})
        floored = _native.Engine(x, "normal")
        costs = [[e.error(a, a + 2) for a in range(48)] for e in (published, ignored, floored)]
        assert costs[1] == costs[0]
        assert all(f >= p for f, p in zip(costs[2], costs[0])) and costs[2] != costs[0]

    def test_engines_do_not_cross_modules(self):
        x = np.arange(10.0)
        with pytest.raises(TypeError, match=exact(
                "argument 'engine': 'CostEngine' object cannot be converted to 'Engine'")):
            _native.pelt(_marbolt_rs.CostEngine(x, "l2"), 1.0, 1, 1)
        with pytest.raises(TypeError, match=exact(
                "argument 'engine': 'Engine' object cannot be converted to 'CostEngine'")):
            _marbolt_rs.pelt(_native.Engine(x, "l2"), 1.0, 1, 1)
        with pytest.raises(TypeError, match=exact(
                "Engine.error() missing 1 required positional argument: 'end'")):
            _native.Engine(x, "l2").error(1)


class TestResolvedOptions:
    @pytest.mark.parametrize("model, given, resolved", [
        ("l2", None, {}),
        ("ar", None, {"order": 4}),
        ("ar", {"order": 2}, {"order": 2}),
        ("rbf", {"gamma": 0.5}, {"gamma": 0.5}),
        ("normal", {"add_small_diag": 0, "resolution": 0.5},
         {"add_small_diag": False, "resolution": [0.5]}),
        ("variance", {"mean": 1, "resolution": [0]}, {"mean": [1.0], "resolution": [0.0]}),
    ])
    def test_the_engine_reports_what_its_model_uses(self, rng, model, given, resolved):
        assert _native.Engine(rng.normal(size=40), model, given).params == resolved

    def test_defaults_computed_from_the_signal_are_the_ones_used(self, rng):
        x = rng.normal(size=(40, 2))
        engine = _native.Engine(x, "rbf")
        assert engine.params == {"gamma": engine.gamma}
        assert engine.gamma == _marbolt_rs.CostEngine(x, "rbf").gamma
        metric = np.array([[2.0, 0.5], [0.5, 1.0]])
        reported = _native.Engine(x, "mahalanobis", {"metric": metric}).params["metric"]
        assert reported.dtype == np.float64 and np.array_equal(reported, metric)

    def test_a_summary_reads_the_resolved_order(self, rng):
        result = mr.detect(rng.normal(size=300), "ar", pen=1e9)
        assert result.params == {"order": 4}
        assert [key for key in result.summary().columns if key.startswith("ar")] == \
            ["ar1", "ar2", "ar3", "ar4"]


def cli(tmp_path, signal, model):
    np.save(tmp_path / "x.npy", signal)
    done = subprocess.run([sys.executable, "-m", "marbolt_rs", "x.npy", "--model", model],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    if done.returncode:
        raise ValueError(done.stderr.removeprefix("marbolt-rs: error: x.npy: ").rstrip("\n"))


ENTRY_POINTS = {
    "detect": lambda x, model, tmp: mr.detect(x, model),
    "detect_many": lambda x, model, tmp: mr.detect_many([x], model),
    "penalty_path": lambda x, model, tmp: mr.penalty_path(x, 1.0, 10.0, model),
    "default_penalty": lambda x, model, tmp: mr.default_penalty(x, model),
    "engine": lambda x, model, tmp: _native.Engine(x, model),
    "cli": lambda x, model, tmp: cli(tmp, x, model),
}


@pytest.mark.parametrize("model, signal, message", REFUSED, ids=[r[0] for r in REFUSED])
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_every_entry_point_refuses_what_the_model_refuses(tmp_path, entry, model, signal,
                                                          message):
    with pytest.raises(ValueError, match=exact(message)):
        ENTRY_POINTS[entry](signal, model, tmp_path)


@pytest.mark.parametrize("params, error, message", [
    ({"mean": [0.0, 1.0, 2.0]}, ValueError,
     "the `variance` model's `mean` needs one value or one per column (2), got 3"),
    ({"mean": "a"}, TypeError, "must be real number, not str"),
    ({"resolution": -1}, ValueError,
     "the `variance` model's `resolution` must be finite and not negative, got -1.0"),
])
def test_the_package_options_are_checked(rng, params, error, message):
    with pytest.raises(error, match=exact(message)):
        mr.detect(rng.normal(size=(40, 2)), "variance", params=params)


def test_the_interface_still_builds_what_it_always_built():
    model, signal, _ = REFUSED[0]
    assert np.isnan(_marbolt_rs.CostEngine(signal, model).error(0, 4))
