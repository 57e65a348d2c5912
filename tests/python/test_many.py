"""detect_many(): the same results as a loop, in input order, on any executor."""

import concurrent.futures

import numpy as np
import pytest

import marbolt_rs as mr


@pytest.fixture
def signals(rng):
    return [np.repeat([0.0, 3.0], n) + rng.normal(size=2 * n) for n in (40, 90, 60, 150, 75)]


@pytest.mark.parametrize("model, method, kwargs", [
    ("l2", "pelt", {}),
    ("rbf", "kernel_pelt", {"pen": 3.0}),
    ("l1", "binseg", {"n_bkps": 1, "jump": 2}),
])
def test_threads_equal_a_loop(signals, model, method, kwargs):
    expected = [mr.detect(s, model, method, **kwargs) for s in signals]
    assert mr.detect_many(signals, model, method, **kwargs) == expected


def test_a_given_executor_is_used_and_left_running(signals):
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        assert mr.detect_many(signals, executor=pool, method="dynp", n_bkps=1) == \
            [mr.detect(s, method="dynp", n_bkps=1) for s in signals]
        assert pool.submit(int, "7").result() == 7


def test_progress_bar_goes_to_stderr(signals, capsys):
    pytest.importorskip("tqdm")
    assert len(mr.detect_many(signals, progress=True)) == len(signals)
    captured = capsys.readouterr()
    assert captured.out == "" and "5/5" in captured.err


def test_a_bad_request_is_refused_before_any_work(signals):
    with pytest.raises(ValueError, match="^method 'dynp' needs n_bkps"):
        mr.detect_many(signals, method="dynp")


def test_the_first_failing_signal_in_input_order_is_raised(signals):
    signals[1] = signals[1].copy()
    signals[1][3] = np.nan
    with pytest.raises(ValueError, match=r"^signal has 1 missing value \(NaN or NA\), the "
                       r"first at sample 3 "):
        mr.detect_many(signals)


@pytest.mark.filterwarnings("ignore")
def test_a_local_dask_cluster_equals_a_loop(signals):
    distributed = pytest.importorskip("distributed")
    try:
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=2,
                                           processes=False, dashboard_address=None)
    except Exception as error:  # pragma: no cover - depends on the machine
        pytest.skip(f"no local Dask cluster: {error}")
    with cluster, distributed.Client(cluster) as client:
        results = mr.detect_many(signals, "l2", "bottomup", executor=client.get_executor(),
                                 pen=10.0)
    assert results == [mr.detect(s, "l2", "bottomup", pen=10.0) for s in signals]


@pytest.mark.parametrize("container", ["DataFrame", "dict"])
def test_named_signals_give_results_keyed_by_name(signals, container):
    pd = pytest.importorskip("pandas")
    days = pd.date_range("2020-01-01", periods=80, freq="D")
    named = {f"s{k}": pd.Series(s[:80], index=days) for k, s in enumerate(signals)}
    given = pd.DataFrame(named) if container == "DataFrame" else named
    results = mr.detect_many(given, n_bkps=1)
    assert list(results) == list(named)
    for name, result in results.items():
        assert result == mr.detect(named[name], n_bkps=1)
        assert result.labels == [days[result.breakpoints[0]]]
        assert result.columns == ((name,) if container == "DataFrame" else None)
