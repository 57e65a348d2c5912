"""detect(): the same answers as the module calls it wraps, and clear refusals."""

import dataclasses
import sys

import numpy as np
import pytest

import marbolt_rs as mr
from conftest import exact
from marbolt_rs import _marbolt_rs as m
from marbolt_rs import _models, _native


@pytest.fixture
def signal(rng):
    return np.repeat([0.0, 4.0, 1.0], 100) + rng.normal(size=300)


def _window(e, width, n_bkps, jump, size):
    inds, score = m.window_fit(e, width, jump)
    return m.window_predict(e, inds, score, width, jump, size, n_bkps=n_bkps)


# (model, method, detect options, engine variant, the direct call on that engine)
DIRECT = [
    ("l2", "pelt", dict(pen=10.0), None, lambda e: m.pelt(e, 10.0, 1, 1)),
    ("l1", "pelt", dict(pen=10.0, jump=5, min_size=4), None, lambda e: m.pelt(e, 10.0, 5, 4)),
    ("normal", "dynp", dict(n_bkps=2), None, lambda e: m.dynp(e, 2, 1, 5)),
    ("rank", "dynp", dict(n_bkps=3, jump=4), None, lambda e: m.dynp(e, 3, 4, 2)),
    ("l2", "binseg", dict(n_bkps=2), None, lambda e: m.binseg(e, 1, 1, n_bkps=2)),
    ("l2", "binseg", dict(pen=20.0), None, lambda e: m.binseg(e, 1, 1, pen=20.0)),
    ("l2", "bottomup", dict(epsilon=400.0), None, lambda e: m.bottomup(e, 1, 1, epsilon=400.0)),
    ("ar", "bottomup", dict(n_bkps=2, min_size=10), None,
     lambda e: m.bottomup(e, 1, 10, n_bkps=2)),
    ("l2", "window", dict(n_bkps=2, width=40), None, lambda e: _window(e, 40, 2, 1, 1)),
    ("l2", "window", dict(n_bkps=2), None, lambda e: _window(e, 100, 2, 1, 1)),
    ("rbf", "kernel_pelt", dict(pen=5.0), None, lambda e: m.kernel_pelt(e, 5.0, 1)),
    ("cosine", "kernel_pelt", dict(pen=1.0, min_size=3), "extension",
     lambda e: m.kernel_pelt(e, 1.0, 3)),
    ("l2", "kernel_pelt", dict(pen=20.0), "extension", lambda e: m.kernel_pelt(e, 20.0, 1)),
]


@pytest.mark.parametrize("model, method, options, variant, direct", DIRECT,
                         ids=[f"{c[0]}-{c[1]}-{'-'.join(c[2])}" for c in DIRECT])
def test_detect_equals_the_direct_call(signal, model, method, options, variant, direct):
    x = np.c_[signal, signal[::-1] + 1.0] if model == "cosine" else signal
    result = mr.detect(x, model, method, variant=variant, **options)
    engine = m.CostEngine(x, model, None, variant)
    assert result.breakpoints == direct(engine)
    assert result.cost == engine.sum_of_costs(result.breakpoints)
    assert (result.model, result.method) == (model, method)
    assert result.penalty == options.get("pen")


class TestResult:
    def test_segments_and_immutability(self, signal):
        result = mr.detect(signal, method="dynp", n_bkps=2)
        assert result.segments == [(0, 100), (100, 200), (200, 300)]
        assert result.n_bkps == 2
        with pytest.raises(dataclasses.FrozenInstanceError):
            result.cost = 0.0
        with pytest.raises(ValueError, match="read-only"):
            result.signal[0] = 1.0

    def test_a_later_change_to_the_input_leaves_the_result_alone(self, signal):
        result = mr.detect(signal)
        signal[:] = 0.0
        assert result.signal[150] != 0.0

    @pytest.mark.parametrize("model, d, given, used", [
        ("normal", 1, None, 5), ("normal", 3, None, 7), ("normal", 1, 1, 2), ("normal", 1, 3, 3),
        ("l2", 1, None, 1), ("ar", 2, None, 5), ("ar", 1, 7, 7)])
    def test_min_size_defaults_and_is_raised_to_the_models_minimum(self, rng, model, d, given,
                                                                   used):
        x = rng.normal(size=(60, d))
        assert mr.detect(x, model, min_size=given).min_size == used


class TestDefaults:
    def test_the_package_has_one_row_for_every_model_of_the_core(self):
        assert tuple(_models.MODELS) == _native.models

    def test_the_params_column_lists_the_keys_each_engine_reads(self, rng):
        # Counts suit every model: whole, positive (+1) and spread.
        x = rng.poisson(3.0, size=(40, 2)) + 1.0
        for model, row in _models.MODELS.items():
            given = {"metric": np.eye(2)} if model == "mahalanobis" else None
            assert set(_native.Engine(x, model, given).params) == set(row.params), model

    @pytest.mark.parametrize("method", ["binseg", "bottomup", "window"])
    @pytest.mark.parametrize("model", ["l2", "l1", "rbf"])
    def test_greedy_methods_without_a_stopping_rule_use_the_default_penalty(
            self, signal, model, method):
        pen = mr.default_penalty(signal, model)
        result = mr.detect(signal, model, method)
        assert result.penalty == pen
        assert result == mr.detect(signal, model, method, pen=pen)

    # Samples 4 and 5 of the Nile series are both 1160: with two-sample
    # segments allowed and no variance floor, "normal" made a segment of them
    # alone. The floor of the series' resolution (1) keeps them in.
    @pytest.mark.parametrize("min_size, params, expected", [
        (None, None, [28, 100]), (2, None, [28, 100]), (2, {"resolution": 0}, [4, 6, 28, 100])])
    def test_no_segment_made_of_repeated_values_unless_asked(self, min_size, params, expected):
        flow = mr.datasets.load_nile().flow
        assert mr.detect(flow, "normal", min_size=min_size, params=params).breakpoints == expected


class TestConversion:
    @pytest.mark.parametrize("convert", [
        list, lambda x: np.round(x * 100).astype(np.int64),
        lambda x: np.asfortranarray(np.c_[x, x]),
        lambda x: type("Series", (), {"__array__": lambda self, dtype=None, copy=None: x})(),
    ], ids=["list", "int64", "fortran-2d", "array-like"])
    def test_array_likes_give_the_float64_answer(self, signal, convert):
        given = convert(signal)
        expected = np.asarray(given, dtype=np.float64)
        assert mr.detect(given, method="binseg", n_bkps=2).breakpoints == \
            mr.detect(expected, method="binseg", n_bkps=2).breakpoints

    @pytest.mark.parametrize("value, error, message", [
        (np.float64(1.0), ValueError, "signal must be 1-D or 2-D, got 0-D with shape ()"),
        (np.zeros((4, 3, 2)), ValueError, "signal must be 1-D or 2-D, got 3-D with shape (4, 3, 2)"),
        (np.zeros(0), ValueError, "signal has no samples"),
        (np.zeros((5, 0)), ValueError, "signal has no columns"),
        (["a", "b"], TypeError, "signal must hold real numbers, got dtype <U1"),
        (np.ones(3, dtype=complex), TypeError, "signal must hold real numbers, got dtype complex128"),
    ])
    def test_refusals(self, value, error, message):
        with pytest.raises(error, match=exact(message)):
            mr.detect(value)

    # A NaN is a missing value: the message counts them.
    @pytest.mark.parametrize("bad, message", [
        (np.nan, "signal has 2 missing values (NaN or NA), the first at sample 17 (column 1); "
         "drop or fill them first"),
        (np.inf, "signal has a non-finite value at sample 17 (column 1): inf"),
        (-np.inf, "signal has a non-finite value at sample 17 (column 1): -inf")])
    def test_the_first_non_finite_sample_is_named(self, bad, message):
        x = np.zeros((30, 2))
        x[17, 1] = bad
        x[20, 0] = np.nan
        with pytest.raises(ValueError, match=exact(message)):
            mr.detect(x)

    @pytest.mark.parametrize("make, column", [
        (lambda pd, v: pd.Series(pd.array(v, dtype="Float64")), 0),
        (lambda pd, v: pd.Series(pd.array([None if e is None else round(e * 10) for e in v],
                                          dtype="Int64")), 0),
        (lambda pd, v: pd.Series(list(v), dtype=object), 0),
        (lambda pd, v: pd.DataFrame({"a": np.ones(len(v)),
                                     "b": pd.array(v, dtype="Float64")}), 1),
    ], ids=["Float64", "Int64", "object", "DataFrame"])
    def test_missing_values_are_named_with_their_count(self, signal, make, column):
        pd = pytest.importorskip("pandas")
        values = np.array(signal, dtype=object)
        values[[7, 40, 41]] = None
        with pytest.raises(ValueError, match=exact(
                f"signal has 3 missing values (NaN or NA), the first at sample 7 "
                f"(column {column}); drop or fill them first")):
            mr.detect(make(pd, values))

    def test_a_row_vector_is_warned_about_where_it_was_passed(self, signal):
        with pytest.warns(UserWarning) as caught:
            result = mr.detect(signal[None, :])
        (warning,) = caught
        assert str(warning.message) == (
            "signal has shape (1, 300): read as one sample of 300 columns, which holds no "
            "change; for one column of 300 samples pass x.ravel() (or x.T)")
        assert warning.filename == __file__
        assert result.breakpoints == [1]

    def test_a_zero_sample_is_refused_for_cosine(self, signal):
        x = np.c_[signal, signal]
        x[5] = 0.0
        with pytest.raises(ValueError, match=exact(
                "the cosine model needs samples that are not all zeros; sample 5 is")):
            mr.detect(x, "cosine", "kernel_pelt")


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(method="pelt", n_bkps=2), ValueError,
     "method 'pelt' takes pen (or none, for the default penalty), not n_bkps; for n_bkps, "
     "use method 'dynp' (or leave method out)"),
    (dict(method="kernel_pelt", model="rbf", epsilon=1.0), ValueError,
     "method 'kernel_pelt' takes pen (or none, for the default penalty), not epsilon; "
     "for epsilon, use method 'binseg', 'bottomup' or 'window'"),
    (dict(method="dynp", n_bkps=2, pen=3.0), ValueError,
     "method 'dynp' takes n_bkps, not pen; for pen, use method 'pelt' (or leave method out)"),
    (dict(method="dynp"), ValueError, "method 'dynp' needs n_bkps, the number of breakpoints"),
    (dict(method="window", pen=1.0, epsilon=2.0), ValueError,
     "method 'window' takes only one of n_bkps, pen or epsilon, got pen and epsilon"),
    (dict(method="fast"), ValueError,
     "unknown method: fast. Supported: pelt, dynp, binseg, bottomup, window, kernel_pelt"),
    (dict(model="L2"), ValueError, "unknown model: L2. Did you mean 'l2'? Supported: l1, l2, "
     "normal, rbf, cosine, rank, mahalanobis, clinear, linear, ar, poisson, exponential, "
     "variance, trend"),
    (dict(width=10, foo=1), TypeError, "detect() got an unexpected keyword argument 'foo'"),
    (dict(width=10), TypeError, "method 'pelt' got unexpected option(s): width"),
    (dict(method="kernel_pelt", model="normal"), ValueError,
     "method 'kernel_pelt' needs model 'l2', 'rbf' or 'cosine', got 'normal'"),
    (dict(method="kernel_pelt", variant="python"), ValueError,
     "method 'kernel_pelt' needs variant 'extension' for model 'l2' (the default for it), "
     "got 'python'"),
    (dict(method="kernel_pelt", model="rbf", jump=2), ValueError,
     "method 'kernel_pelt' tries every position: jump must be 1, got 2"),
    (dict(jump=0), ValueError, "jump must be at least 1, got 0"),
    (dict(jump=1.5), TypeError, "jump must be an integer, got float"),
    (dict(min_size=True), TypeError, "min_size must be an integer, got bool"),
    (dict(pen=-1), ValueError, "pen must be a finite number >= 0, got -1.0"),
    (dict(pen="1"), ValueError, "unknown penalty: '1'. Pass a number or one of 'aic', 'bic', "
     "'hq' or 'mbic'"),
    (dict(pen=[1.0]), TypeError, "pen must be a real number, got list"),
    (dict(method="window", n_bkps=1, width=4, min_size=3), ValueError,
     "width must be at least 2·min_size = 6, so that each half window holds a segment; got 4"),
    (dict(method="dynp", n_bkps=30, min_size=20), ValueError,
     "30 breakpoints do not fit in 300 samples with min_size 20 and jump 1"),
])
def test_contradictory_or_missing_arguments(signal, kwargs, error, message):
    with pytest.raises(error, match=exact(message)):
        mr.detect(signal, **kwargs)


SUPPORTED_MODELS = ("l1, l2, normal, rbf, cosine, rank, mahalanobis, clinear, linear, ar, "
                    "poisson, exponential, variance, trend")
SUPPORTED_METHODS = "pelt, dynp, binseg, bottomup, window, kernel_pelt"


# Each refusal names what was most likely meant: another case, a close
# spelling, another package's word for it.
@pytest.mark.parametrize("call, error, message", [
    (lambda x: mr.detect(x, "Normal"), ValueError,
     f"unknown model: Normal. Did you mean 'normal'? Supported: {SUPPORTED_MODELS}"),
    (lambda x: mr.default_penalty(x, "gaussian"), ValueError,
     f"unknown model: gaussian. Did you mean 'normal'? Supported: {SUPPORTED_MODELS}"),
    (lambda x: mr.detect(x, method="PELT"), ValueError,
     f"unknown method: PELT. Did you mean 'pelt'? Supported: {SUPPORTED_METHODS}"),
    (lambda x: mr.detect(x, method="bin_seg"), ValueError,
     f"unknown method: bin_seg. Did you mean 'binseg'? Supported: {SUPPORTED_METHODS}"),
    (lambda x: mr.detect(x, penalty=3.0), TypeError,
     "detect() got an unexpected keyword argument 'penalty'. Did you mean 'pen'?"),
    (lambda x: mr.detect(x, minsize=3), TypeError,
     "detect() got an unexpected keyword argument 'minsize'. Did you mean 'min_size'?"),
    (lambda x: mr.detect(x, foo=1), TypeError, "detect() got an unexpected keyword argument 'foo'"),
    (lambda x: mr.detect_many([x], n_bkp=1), TypeError,
     "detect_many() got an unexpected keyword argument 'n_bkp'. Did you mean 'n_bkps'?"),
    (lambda x: mr.penalty_path(x, 1.0, 10.0, modle="l1"), TypeError,
     "penalty_path() got an unexpected keyword argument 'modle'. Did you mean 'model'?"),
    (lambda x: mr.detect(x, "rbf", params={"gama": 5.0}), ValueError,
     "unknown parameter 'gama' for model 'rbf'. Did you mean 'gamma'? Model 'rbf' takes 'gamma'"),
    (lambda x: mr.detect(x, "ar", params={"oder": 1}), ValueError,
     "unknown parameter 'oder' for model 'ar'. Did you mean 'order'? Model 'ar' takes 'order'"),
    (lambda x: mr.default_penalty(x, "rbf", params={"Gamma": 1.0}), ValueError,
     "unknown parameter 'Gamma' for model 'rbf'. Did you mean 'gamma'? Model 'rbf' takes "
     "'gamma'"),
    (lambda x: mr.detect(x, params={"gamma": 1.0}), ValueError,
     "unknown parameter 'gamma' for model 'l2'. Model 'l2' takes no parameters"),
    (lambda x: mr.detect(x, epsilon=5.0), ValueError,
     "no exact search takes epsilon: pass method 'binseg', 'bottomup' or 'window'"),
    (lambda x: mr.detect(x, n_bkps=2, pen=1.0), ValueError,
     "give one of n_bkps, pen or epsilon, got n_bkps and pen"),
])
def test_refusals_name_what_was_meant(signal, call, error, message):
    with pytest.raises(error, match=exact(message)):
        call(signal)


@pytest.mark.parametrize("model", ["l2", "normal"])
def test_without_a_method_a_count_runs_dynp_and_a_penalty_pelt(signal, model):
    assert mr.detect(signal, model, n_bkps=2) == mr.detect(signal, model, "dynp", n_bkps=2)
    assert mr.detect(signal, model, pen=30.0) == mr.detect(signal, model, "pelt", pen=30.0)
    assert mr.detect(signal, model).method == "pelt"


def _lagged(x, start, end, order=4):
    """The ar reference: each value on its `order` predecessors (latest first) and 1;
    the first `order` samples, which have too few, stand in for by sample `order`."""
    c = x[:, 0] - x[:, 0].mean()
    k = np.maximum(np.arange(start, end), order)
    rows = np.column_stack([c[k - lag] for lag in range(1, order + 1)] + [np.ones(len(k))])
    beta = np.linalg.lstsq(rows, c[k], rcond=None)[0]
    return {**{f"ar{lag}": beta[lag - 1] for lag in range(1, order + 1)}, "intercept": beta[-1]}


def _pinned(x, start, end):
    a = max(start, 1) - 1
    return {"start_value": x[a], "end_value": x[end - 1],
            "slope": (x[end - 1] - x[a]) / (end - 1 - a)}


# NumPy's estimates of each segment, keyed by name, one value per column.
REFERENCE = {
    "l2": lambda x, a, b: {"mean": x[a:b].mean(0), "std": x[a:b].std(0)},
    "normal": lambda x, a, b: {"mean": x[a:b].mean(0), "std": x[a:b].std(0)},
    "rbf": lambda x, a, b: {"mean": x[a:b].mean(0), "std": x[a:b].std(0)},
    "l1": lambda x, a, b: {"median": np.median(x[a:b], 0), "std": x[a:b].std(0)},
    "linear": lambda x, a, b: {
        "coef": np.r_[np.nan, np.linalg.lstsq(x[a:b, 1:], x[a:b, 0], rcond=None)[0]]},
    "ar": _lagged,
    "clinear": _pinned,
}


class TestSummary:
    @pytest.mark.parametrize("pandas", [True, False], ids=["DataFrame", "dicts"])
    @pytest.mark.parametrize("model, d", [("l2", 2), ("l1", 1), ("normal", 2), ("rbf", 1),
                                          ("linear", 3), ("ar", 1), ("clinear", 2)])
    def test_estimates_are_numpys_on_each_segment(self, rng, monkeypatch, model, d, pandas):
        x = rng.normal(size=(150, d)) + np.repeat([0.0, 3.0, 1.0], 50)[:, None]
        result = mr.detect(x, model, "dynp", n_bkps=2, min_size=10)
        if pandas:
            rows = pytest.importorskip("pandas").DataFrame.to_dict(result.summary(), "records")
        else:
            monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas fails
            rows = result.summary()
        engine = m.CostEngine(x, model)
        assert len(rows) == 3
        for row, (a, b) in zip(rows, result.segments):
            # The ar design's intercept does not scale with the signal, so its
            # costs in the searched unit agree with these only to rounding.
            cost = engine.error(a, b)
            assert (row["start"], row["end"], row["length"], row["cost"]) == \
                (a, b, b - a, cost if model != "ar" else pytest.approx(cost, rel=1e-12))
            for name, values in REFERENCE[model](x, a, b).items():
                for j, value in enumerate(np.atleast_1d(values)):
                    key = name if d == 1 else f"{name}_{j}"
                    assert row.get(key, np.nan) == pytest.approx(value, rel=1e-9, abs=1e-12,
                                                                 nan_ok=True), key

    def test_notebooks_show_a_table(self, signal):
        html = mr.detect(signal, method="dynp", n_bkps=2)._repr_html_()
        assert html.startswith("<table><caption>dynp, model l2: 2 change(s), cost ")
        assert html.count("<tr>") == 4 and "<th>mean</th>" in html


class TestConfidenceIntervals:
    # Bai (1997): with equal variances the 90 % and 95 % intervals reach
    # 7.69 and 11.03 times σ²/δ² samples either side of the estimate.
    @pytest.mark.parametrize("level, reach", [(0.90, 7.69), (0.95, 11.03)])
    def test_equal_variances_give_bais_interval(self, rng, level, reach):
        shift = 0.25  # σ²/δ² = 16 samples
        x = np.r_[np.zeros(5000), np.full(5000, shift)] + rng.normal(size=10000)
        b = mr.detect(x, method="dynp", n_bkps=1).breakpoints[0]
        ((low, high),) = mr.detect(x, method="dynp", n_bkps=1).confidence_intervals(level)
        delta = x[b:].mean() - x[:b].mean()
        var_left, var_right = x[:b].var(ddof=1), x[b:].var(ddof=1)
        # Only the estimated variances differ between the sides, by a percent or two.
        assert abs(var_left / var_right - 1) < 0.06
        for bound, side in ((b - low, var_right), (high - b, var_left)):
            assert bound == pytest.approx(reach * side / delta**2, abs=1.0 + 0.06 * bound)

    def test_coverage_by_simulation(self):
        """One change of 0.5, 1 or 2 times the larger noise deviation, between
        segments of 100 to 1000 samples, with equal variances or one side's
        twice the other's."""
        rng = np.random.default_rng(1997)
        hits, widths = {}, {}
        for shift in (0.5, 1.0, 2.0):
            found = []
            for run in range(300):
                sd_left, sd_right = [(1.0, 1.0), (1.0, 2.0), (2.0, 1.0)][run % 3]
                n_left, n_right = rng.integers(100, 1001, size=2)
                x = np.r_[sd_left * rng.normal(size=n_left),
                          shift * max(sd_left, sd_right) + sd_right * rng.normal(size=n_right)]
                ((low, high),) = mr.detect(x, "l2", "binseg", n_bkps=1).confidence_intervals()
                found.append((low <= n_left <= high, high - low))
            hits[shift] = np.mean([hit for hit, _ in found])
            widths[shift] = np.median([width for _, width in found])
        assert 0.92 <= np.mean(list(hits.values())) <= 0.98, hits
        assert all(0.89 <= h <= 0.99 for h in hits.values()), hits
        assert widths[0.5] > widths[1.0] > widths[2.0], widths

    def test_a_change_of_spread_gets_an_interval_of_its_own(self):
        """A standard deviation that doubles or triples (or halves, or drops to a
        third) between segments of 200 to 600 samples, found by "normal"."""
        rng = np.random.default_rng(1970)
        hits, widths, kinds = [], [], []
        for run in range(200):
            ratio = (2.0, 3.0)[run % 2]
            sd_left, sd_right = (1.0, ratio) if run % 4 < 2 else (ratio, 1.0)
            n_left, n_right = rng.integers(200, 601, size=2)
            x = np.r_[sd_left * rng.normal(size=n_left), sd_right * rng.normal(size=n_right)]
            (interval,) = mr.detect(x, "normal", n_bkps=1).confidence_intervals()
            hits.append(interval.low <= n_left <= interval.high)
            widths.append(interval.high - interval.low)
            kinds.append(interval.kind)
        assert 0.91 <= np.mean(hits) <= 0.99
        # A mean-shift interval would span the segments: hundreds of samples.
        assert np.median(widths) <= 25
        assert kinds.count("variance") >= 0.97 * len(kinds)

    def test_a_reversed_signal_mirrors_the_intervals(self, rng):
        x = np.r_[rng.normal(size=150), 1.5 + 2 * rng.normal(size=100), rng.normal(size=200)]
        n = len(x)
        forward = mr.detect(x, "normal")
        backward = mr.detect(x[::-1].copy(), "normal")
        assert backward.breakpoints[:-1] == [n - b for b in forward.breakpoints[-2::-1]]
        assert backward.confidence_intervals() == \
            [(n - high, n - low) for low, high in forward.confidence_intervals()[::-1]]

    def test_labels_and_clipping_to_the_neighbouring_segments(self):
        pd = pytest.importorskip("pandas")
        years = pd.Index(np.arange(1871, 1971), name="year")
        nile = pd.Series(mr.datasets.load_nile().flow, index=years)
        result = mr.detect(nile)
        ((low, high),) = result.confidence_intervals()
        assert low < 28 < high and result.confidence_intervals(labels=True) == \
            [(1871 + low, 1871 + high)]
        # A shift so small that the interval would reach past both segments.
        weak = np.r_[np.zeros(30), np.full(30, 0.01)] + np.tile([1.0, -1.0], 30)
        assert mr.detect(weak, method="dynp", n_bkps=1,
                         min_size=30).confidence_intervals() == [(1, 59)]

    # Shifts and spreads whose squares underflow or overflow still give
    # defined intervals: exact without spread, the neighbouring segments
    # without a usable scale.
    @pytest.mark.parametrize("x, expected", [
        (np.r_[np.zeros(20), np.ones(20)], [(20, 20)]),
        # Searched in a unit near the signal's own, the tiny shift is found.
        (np.r_[np.zeros(20), np.full(20, 1e-170)], [(20, 20)]),
        (np.r_[np.zeros(20), np.full(20, 1e-170)] + 1e-175 * np.tile([1, -1], 20), [(20, 20)]),
        (1e250 * np.tile([1.0, -2.0, 0.5, 3.0], 10), [(1, 39)]),
        (np.r_[0.0, 1.0, 5.0], [(1, 1), (2, 2)]),
    ], ids=["constant-sides", "tiny-shift", "tiny-shift-and-noise", "huge", "single-samples"])
    def test_degenerate_segments_give_defined_intervals(self, x, expected):
        n_bkps = 2 if len(x) == 3 else 1
        for signal in (x, np.c_[x, x]):
            assert mr.detect(signal, method="dynp", n_bkps=n_bkps).confidence_intervals() == \
                expected

    @pytest.mark.parametrize("model, level, error, message", [
        ("rbf", 0.95, ValueError,
         "confidence intervals are for changes in mean or variance (models 'l2' and 'normal'), "
         "not for model 'rbf'"),
        ("l2", 1.0, ValueError, "level must lie strictly between 0 and 1, got 1.0"),
        ("l2", 0, ValueError, "level must lie strictly between 0 and 1, got 0"),
        ("l2", "95%", TypeError, "level must be a real number, got str"),
    ])
    def test_refusals(self, signal, model, level, error, message):
        with pytest.raises(error, match=exact(message)):
            mr.detect(signal, model, "dynp", n_bkps=2).confidence_intervals(level)


class TestPandas:
    @pytest.fixture(params=["yearly-series", "dated-frame"])
    def labelled(self, request, signal):
        pd = pytest.importorskip("pandas")
        if request.param == "yearly-series":
            years = pd.Index(np.arange(1701, 2001), name="year")  # np.int64 labels
            return pd.Series(signal, index=years, name="flow")
        return pd.DataFrame({"level": signal, "other": signal[::-1] * 0.0 + 1.0},
                            index=pd.date_range("2001-01-01", periods=300, freq="D"))

    ENTRY_POINTS = {
        "detect": lambda s: [mr.detect(s, "l2", "binseg", n_bkps=2)],
        "detect_many": lambda s: mr.detect_many([s, s], "l2", "binseg", n_bkps=2),
        "penalty_path": lambda s: list(mr.penalty_path(s, 50.0, 5000.0)),
    }

    @pytest.mark.parametrize("entry", ENTRY_POINTS)
    def test_labels_name_the_first_sample_of_each_new_segment(self, labelled, entry):
        found = self.ENTRY_POINTS[entry](labelled)
        plain = self.ENTRY_POINTS[entry](labelled.to_numpy())
        assert [r.breakpoints for r in found] == [r.breakpoints for r in plain]
        assert any(r.breakpoints == [100, 200, 300] for r in found)
        for r in found:
            assert r.labels == [labelled.index[b] for b in r.breakpoints[:-1]]
            # Plain ints, not NumPy's: they print and serialise as years do.
            assert all(type(label).__name__ in ("int", "Timestamp") for label in r.labels)
        assert [r.labels for r in plain] == [r.breakpoints[:-1] for r in plain]

    def test_the_summary_names_columns_and_labels(self, labelled):
        table = mr.detect(labelled, "l2", "dynp", n_bkps=2).summary()
        index = labelled.index
        assert list(table["first_label"]) == [index[0], index[100], index[200]]
        assert list(table["last_label"]) == [index[99], index[199], index[299]]
        names = [f"_{c}" for c in getattr(labelled, "columns", [])] or [""]
        assert [c for c in table.columns if c.startswith("mean")] == [f"mean{n}" for n in names]

    def test_a_column_that_holds_no_numbers_is_named(self, signal):
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame({"level": signal, "note": "x"})
        with pytest.raises(TypeError, match=exact(
                "signal column 'note' must hold real numbers, got dtype object")):
            mr.detect(frame)


class TestPlot:
    @pytest.fixture
    def plt(self):
        pytest.importorskip("matplotlib").use("Agg")
        import matplotlib.pyplot as plt
        yield plt
        plt.close("all")

    def test_draws_columns_segments_and_true_changes(self, plt, signal):
        x = np.c_[signal, -signal]
        ax = mr.detect(x, method="dynp", n_bkps=2).plot(true_breakpoints=[100, 200, 300])
        assert len(ax.lines) == 2 + 2  # two columns, two true changes inside the signal
        assert [line.get_linestyle() for line in ax.lines[2:]] == ["--", "--"]
        assert [text.get_text() for text in ax.get_legend().get_texts()] == \
            ["column 0", "column 1", "segment mean", "true change"]

    @pytest.mark.parametrize("model, fit", [
        ("l2", lambda x, a, b: [(a - 0.5, x[a:b].mean()), (b - 0.5, x[a:b].mean())]),
        ("l1", lambda x, a, b: [(a - 0.5, np.median(x[a:b])), (b - 0.5, np.median(x[a:b]))]),
        ("clinear", lambda x, a, b: [(max(a, 1) - 1, x[max(a, 1) - 1]), (b - 1, x[b - 1])]),
    ])
    def test_each_segment_shows_the_models_fit(self, plt, signal, model, fit):
        result = mr.detect(signal, model, n_bkps=2)
        ax = result.plot()
        (fits,) = ax.collections
        drawn = fits.get_segments()
        assert len(drawn) == len(result.segments)
        for piece, (a, b) in zip(drawn, result.segments):
            assert np.array_equal(piece, fit(signal, a, b))

    # How pandas itself puts each kind of index on an axis: period ordinals
    # for periods and regular dates, nanoseconds for time spans, positions
    # for text and tuples, the values for numbers.
    INDEXES = {
        "period-year": lambda pd, n: pd.period_range("1871", periods=n, freq="Y", name="year"),
        "period-month": lambda pd, n: pd.period_range("2000-01", periods=n, freq="M"),
        "month-ends": lambda pd, n: pd.date_range("2000-01-31", periods=n, freq="M"),
        "irregular-times": lambda pd, n: pd.DatetimeIndex(
            np.datetime64("2000-01-01") + (np.arange(n) ** 2).astype("timedelta64[h]")),
        "timedelta": lambda pd, n: pd.timedelta_range("0s", periods=n, freq="37s"),
        "integers": lambda pd, n: pd.Index(np.arange(1871, 1871 + n)),
        "floats": lambda pd, n: pd.Index(np.linspace(0.0, 1.0, n) ** 2),
        "text": lambda pd, n: pd.Index([f"s{i}" for i in range(n)]),
        "tuples": lambda pd, n: pd.MultiIndex.from_product([range(n // 10), range(10)]),
    }

    @pytest.mark.parametrize("kind", INDEXES)
    def test_pandas_indexes_are_drawn_as_pandas_draws_them(self, plt, signal, kind):
        pd = pytest.importorskip("pandas")
        series = pd.Series(signal, index=self.INDEXES[kind](pd, len(signal)))
        result = mr.detect(series, n_bkps=2)
        # Drawn over a pandas plot of the same series, and under one.
        _, (over, under, alone) = plt.subplots(3, 1)
        series.plot(ax=over)
        result.plot(ax=over)
        result.plot(ax=under)
        series.plot(ax=under)
        series.plot(ax=alone)
        t = alone.lines[0].get_xdata(orig=False)
        for ax in (over, under):
            assert all(np.array_equal(line.get_xdata(orig=False), t) for line in ax.lines)
            spans = [patch.get_xy()[:, 0] for patch in ax.patches[:3]]
            assert [min(x) for x in spans[1:]] == \
                [(t[b - 1] + t[b]) / 2 for b in result.breakpoints[:-1]]
        # The tick labels are pandas' own, as many as fit.
        under.set_xlim(alone.get_xlim())
        under.figure.canvas.draw()
        assert [tick.get_text() for tick in under.get_xticklabels()] == \
            [tick.get_text() for tick in alone.get_xticklabels()]
        if kind == "period-year":
            assert {tick.get_text() for tick in alone.get_xticklabels()} <= \
                {str(year) for year in range(1871, 2171)}

        assert len(ax.patches) == 3  # one shaded span per segment

    def test_confidence_intervals_are_bands_on_request(self, plt, rng):
        weak = np.repeat([0.0, 1.0, 0.25], 100) + rng.normal(size=300)
        result = mr.detect(weak, method="dynp", n_bkps=2)
        assert len(result.plot().patches) == 3
        ax = result.plot(confidence=0.9)
        edges = [(min(p.get_xy()[:, 0]), max(p.get_xy()[:, 0])) for p in ax.patches[3:]]
        intervals = result.confidence_intervals(0.9)
        assert edges == [(low - 0.5, high - 0.5) for low, high in intervals]
        assert all(high > low for low, high in intervals)

    def test_the_x_axis_is_the_index(self, plt, signal):
        pd = pytest.importorskip("pandas")
        days = pd.date_range("2001-01-01", periods=300, freq="D", name="day")
        ax = mr.detect(pd.Series(signal, index=days), method="dynp", n_bkps=2).plot()
        start, end = (plt.matplotlib.dates.num2date(v).replace(tzinfo=None)
                      for v in ax.get_xlim())
        assert (start, end) == (days[0] - pd.Timedelta("12h"), days[-1] + pd.Timedelta("12h"))
        assert ax.get_xlabel() == "day"

    def test_uses_the_axes_it_is_given(self, plt, signal):
        _, ax = plt.subplots()
        assert mr.detect(signal).plot(ax=ax) is ax
