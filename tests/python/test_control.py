"""Stopping and progress: Ctrl-C stops a long search of every entry point within
a fraction of a second, with KeyboardInterrupt, and the next search works; a
Control stops searches on any thread and reports their progress; the bar of
progress=True appears only for searches that run long."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import marbolt_rs as mr
from marbolt_rs import _control, _native

from conftest import make_engine

# Each runs for minutes uninterrupted: the exact search on "clinear", which
# nothing prunes, evaluates every start of every end (quadratic), and dynp's
# plain layer fill on two-column "normal", which has no pruned layers, runs on
# the worker pool.
LONG = {
    "detect": 'mr.detect(x, "clinear", pen=50.0, min_size=2)',
    "detect_dynp": 'mr.detect(np.c_[x, x][:60000], "normal", "dynp", n_bkps=5)',
    "penalty_path": 'mr.penalty_path(x, 10.0, 1e4, "clinear", min_size=2)',
    "detect_many": 'mr.detect_many([x, x[::-1], x[1:]], "clinear", pen=50.0, min_size=2)',
    "cli": 'cli.main(["x.npy", "--model", "clinear", "--pen", "50", "--min-size", "2"])',
}

CHILD = """
import signal, sys, time
import numpy as np
import marbolt_rs as mr
from marbolt_rs import cli
signal.signal(signal.SIGINT, signal.default_int_handler)
x = np.random.default_rng(5).normal(size=400_000)
np.save("x.npy", x[:400_000])
print("ready", flush=True)
try:
    status = {long}
except KeyboardInterrupt:
    status = 130
print("stopped", status, time.monotonic(), flush=True)
assert mr.detect(x[:2000], "l2", pen=50.0, min_size=2).breakpoints == [2000]
assert mr.detect(x[:600], method="dynp", n_bkps=2).n_bkps == 2
print("again", flush=True)
"""


@pytest.mark.parametrize("entry", LONG)
def test_ctrl_c_stops_a_long_search_at_once_and_the_next_one_works(tmp_path, entry):
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(long=LONG[entry])], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(1.0)  # well into the search
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = out.splitlines()
    assert lines[-1] == "again", err
    word, status, when = lines[0].split()
    assert (word, status) == ("stopped", "130")
    assert float(when) - sent < 0.5
    if entry == "cli":
        assert "marbolt-rs: error: interrupted" in err


class TestControl:
    def test_a_stopped_control_stops_every_search_and_the_engine_stays_usable(self, rng):
        x = rng.normal(size=(3000, 2))
        engine = _native.Engine(x, "l2")
        stop = _native.Control()
        stop.stop()
        assert stop.stopped
        searches = [
            lambda c: _native.optimum(engine, 5.0, 1, 2, control=c),
            lambda c: _native.pelt(engine, 5.0, 1, 2, control=c),
            lambda c: _native.dynp(engine, 3, 1, 2, control=c),
            lambda c: _native.optimum_path(engine, 1.0, 100.0, 1, 2, control=c),
            lambda c: _native.binseg(engine, 1, 2, n_bkps=3, control=c),
        ]
        for search in searches:
            with pytest.raises(KeyboardInterrupt):
                search(stop)
            assert search(None) == search(_native.Control())

    def test_stop_from_another_thread_reaches_a_search_on_a_worker_thread(self, rng):
        engine = _native.Engine(rng.normal(size=300_000), "clinear")  # nothing prunes it: minutes
        stop = _native.Control()
        outcome = []

        def search():
            try:
                _native.optimum(engine, 50.0, 1, 2, control=stop)
            except KeyboardInterrupt:
                outcome.append("stopped")

        worker = threading.Thread(target=search)
        worker.start()
        time.sleep(0.3)
        stop.stop()
        worker.join(timeout=60)
        assert outcome == ["stopped"]

    def test_progress_rises_to_the_total_and_an_exception_there_stops_the_search(self, rng):
        engine = _native.Engine(rng.normal(size=8_000), "l2")
        seen = []
        _native.optimum(engine, 50.0, 1, 2, control=_native.Control(lambda d, t: seen.append((d, t))))
        assert seen and all(0 < d <= t for d, t in seen)
        assert [d for d, _ in seen] == sorted(d for d, _ in seen)
        assert seen[-1][0] == seen[-1][1]  # the last report is the end

        def refuse(done, total):
            raise ValueError("enough")

        with pytest.raises(ValueError, match="^enough$"):
            _native.optimum(engine, 50.0, 1, 2, control=_native.Control(refuse))

    def test_arguments_are_checked_and_references_kept(self, rng):
        with pytest.raises(TypeError, match="^progress must be callable, got int$"):
            _native.Control(3)
        engine = make_engine(rng.normal(size=50))
        native = _native.Engine(rng.normal(size=50), "l2")
        with pytest.raises(TypeError, match="^argument 'control': 'int' object cannot be converted to 'Control'$"):
            _native.optimum(native, 1.0, 1, 1, control=3)
        control = _native.Control(print)
        before = sys.getrefcount(control), sys.getrefcount(print)
        _native.optimum(native, 1.0, 1, 1, control=control)
        assert (sys.getrefcount(control), sys.getrefcount(print)) == before
        assert engine.n_samples == 50


class TestProgressBar:
    def test_a_long_search_shows_a_bar_and_a_quick_one_nothing(self, rng, capsys, monkeypatch):
        pytest.importorskip("tqdm")
        x = rng.normal(size=8_000)
        mr.detect(x[:500], pen=50.0, min_size=2, progress=True)
        assert capsys.readouterr().err == ""
        monkeypatch.setattr(_control, "BAR_DELAY", 0.0)
        mr.detect(x, pen=50.0, min_size=2, progress=True)
        mr.penalty_path(x, 40.0, 60.0, min_size=2, progress=True)
        err = capsys.readouterr().err
        assert "detect" in err and "penalty path l2" in err and "end" in err

    def test_without_tqdm_progress_is_refused(self, rng, monkeypatch):
        monkeypatch.setitem(sys.modules, "tqdm", None)
        with pytest.raises(ImportError, match=r"^progress=True needs tqdm \(Debian: python3-tqdm\)$"):
            mr.detect(rng.normal(size=100), progress=True)
