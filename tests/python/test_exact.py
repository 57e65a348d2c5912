"""The exact searches: sanity_check, pelt, dynp, dynp_all and crops."""

import inspect
import itertools
import math
import multiprocessing
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import exact, needs_real_allocator
from marbolt_rs import _marbolt_rs as m

SEARCHES = {
    "pelt": lambda e, jump=1, min_size=1: m.pelt(e, 1.0, jump, min_size),
    "dynp": lambda e, jump=1, min_size=1: m.dynp(e, 1, jump, min_size),
    "dynp_all": lambda e, jump=1, min_size=1: m.dynp_all(e, 1, jump, min_size),
    "crops": lambda e, jump=1, min_size=1: m.crops(e, 1.0, 10.0, jump, min_size),
}


def steps(rng, n=60, changes=(20, 45)):
    means = np.zeros(n)
    for c in changes:
        means[c:] += 5.0
    return means + rng.normal(size=n)


def segmentations(n, jump, min_size):
    """Every breakpoint list on the closed grid whose segments are at least min_size long."""
    grid = [p for p in range(jump, n, jump)]
    for k in range(len(grid) + 1):
        for inner in itertools.combinations(grid, k):
            bkps = [*inner, n]
            starts = [0, *inner]
            if all(b - s >= min_size for s, b in zip(starts, bkps)):
                yield bkps


class TestSignatures:
    @pytest.mark.parametrize(
        "function, signature",
        [
            (m.sanity_check, "(n_samples, n_bkps, jump, min_size)"),
            (m.pelt, "(engine, pen, jump, min_size)"),
            (m.dynp, "(engine, n_bkps, jump, min_size)"),
            (m.dynp_all, "(engine, n_bkps, jump, min_size)"),
            (m.crops, "(engine, pen_min, pen_max, jump, min_size)"),
        ],
    )
    def test_text_signatures(self, function, signature):
        assert str(inspect.signature(function)) == signature

    def test_docstring_bodies(self):
        assert m.dynp_all.__doc__ == (
            "Every optimal segmentation from 1 to `n_bkps` breakpoints, from one pass."
        )
        # An empty body after the signature reads back as no docstring at all.
        assert all(f.__doc__ is None for f in (m.sanity_check, m.pelt, m.dynp, m.crops))


class TestSanityCheck:
    @pytest.mark.parametrize(
        "args, expected",
        [
            ((10, 0, 1, 5), True),
            ((4, 0, 1, 5), False),
            ((10, 1, 1, 5), True),
            ((10, 2, 1, 5), False),
            ((10, 1, 3, 4), True),
            ((9, 1, 3, 4), False),
            ((10, 3, 3, 0), True),
            ((10, 4, 3, 0), False),
            ((10, 1, 0, 1), False),
            ((2**64 - 1, 2**62, 1, 4), False),
            ((2**64 - 1, 1, 2**64 - 1, 2**64 - 1), False),
        ],
    )
    def test_examples(self, args, expected):
        assert m.sanity_check(*args) is expected

    def test_negative_is_overflow_and_float_is_prefixed(self):
        with pytest.raises(OverflowError):
            m.sanity_check(10, -1, 1, 1)
        with pytest.raises(TypeError, match=exact("argument 'jump': 'float' object cannot be interpreted as an integer")):
            m.sanity_check(10, 1, 1.0, 1)


class TestArgumentChecks:
    @pytest.fixture
    def engine(self, rng):
        return m.CostEngine(rng.normal(size=20), "l2")

    @pytest.mark.parametrize("search", SEARCHES)
    def test_jump_zero(self, engine, search):
        with pytest.raises(ValueError, match=exact("jump must be at least 1")):
            SEARCHES[search](engine, jump=0)

    @pytest.mark.parametrize("search", SEARCHES)
    def test_conversions_come_before_the_jump_check(self, engine, search):
        with pytest.raises(OverflowError):
            SEARCHES[search](engine, jump=0, min_size=-1)

    @pytest.mark.parametrize("search", SEARCHES)
    def test_engine_must_be_an_engine(self, search):
        message = "argument 'engine': 'list' object cannot be converted to 'CostEngine'"
        with pytest.raises(TypeError, match=exact(message)):
            SEARCHES[search]([1.0, 2.0])

    def test_dynp_jump_conversions(self, engine):
        with pytest.raises(OverflowError) as info:
            m.dynp(engine, 1, -1, 1)
        assert not str(info.value).startswith("argument")
        with pytest.raises(TypeError, match=exact("argument 'jump': 'float' object cannot be interpreted as an integer")):
            m.dynp(engine, 1, 1.5, 1)

    def test_pelt_takes_a_bool_penalty_as_a_float(self, engine):
        assert m.pelt(engine, True, 1, 1) == m.pelt(engine, 1.0, 1, 1)
        with pytest.raises(TypeError, match=exact("argument 'pen': must be real number, not str")):
            m.pelt(engine, "1", 1, 1)


class TestPelt:
    def test_finds_the_steps(self, rng):
        engine = m.CostEngine(steps(rng), "l2")
        assert m.pelt(engine, 10.0, 1, 2) == [20, 45, 60]

    @pytest.mark.parametrize("n, min_size", [(3, 5), (1, 2)])
    def test_signal_shorter_than_min_size(self, n, min_size):
        assert m.pelt(m.CostEngine(np.arange(float(n)), "l2"), 1.0, 1, min_size) == [n]

    def test_empty_signal(self):
        assert m.pelt(m.CostEngine(np.zeros(0), "l2"), 1.0, 1, 1) == []

    @pytest.mark.parametrize("jump", [1, 3, 1000, 2**64 - 1])
    def test_infinite_penalty_keeps_one_segment(self, rng, jump):
        assert m.pelt(m.CostEngine(steps(rng), "l2"), math.inf, jump, 2) == [60]

    @pytest.mark.parametrize("jump, min_size", [(1, 1), (1, 3), (2, 2), (3, 2), (4, 1)])
    @pytest.mark.parametrize("pen", [0.0, 0.5, 3.0])
    def test_reaches_the_brute_force_penalised_optimum(self, rng, jump, min_size, pen):
        x = rng.normal(size=10) + np.repeat([0.0, 2.0], 5)
        engine = m.CostEngine(x, "l2")
        best = min(engine.sum_of_costs(b) + pen * len(b) for b in segmentations(10, jump, min_size))
        found = m.pelt(engine, pen, jump, min_size)
        assert engine.sum_of_costs(found) + pen * len(found) == pytest.approx(best, abs=1e-9)
        assert all(b % jump == 0 for b in found[:-1])

    @pytest.mark.parametrize("jump", [1, 7, 2**63, 2**64 - 1])
    def test_min_size_zero_is_served_as_one(self, rng, jump):
        engine = m.CostEngine(rng.normal(size=30), "l2")
        assert m.pelt(engine, 0.5, jump, 0) == m.pelt(engine, 0.5, jump, 1)



class TestDynp:
    def test_finds_the_steps(self, rng):
        engine = m.CostEngine(steps(rng), "normal")
        assert m.dynp(engine, 2, 1, 2) == [20, 45, 60]

    def test_zero_breakpoints(self, rng):
        engine = m.CostEngine(steps(rng), "l2")
        assert m.dynp(engine, 0, 1, 2) == [60]
        assert m.dynp_all(engine, 0, 1, 2) == []

    def test_zero_breakpoints_test_nothing(self):
        # No layer is built, so even a signal too long for the tables answers.
        engine = m.CostEngine(np.zeros((2**40, 0)), "l2")
        assert m.dynp(engine, 0, 1, 1) == [2**40]

    def test_signal_too_long_for_the_tables(self):
        engine = m.CostEngine(np.zeros((2**40, 0)), "l2")
        message = "dynp supports signals of at most 4294967295 samples, got 1099511627776"
        with pytest.raises(ValueError, match=exact(message)):
            m.dynp(engine, 1, 1, 1)

    @pytest.mark.parametrize("n, jump, min_size", [(10, 3, 2), (12, 1, 3), (9, 4, 1), (7, 10, 1), (10, 2, 5)])
    def test_infeasible_counts_exactly_where_sanity_check_fails(self, rng, n, jump, min_size):
        engine = m.CostEngine(rng.normal(size=n), "l2")
        every = m.dynp_all(engine, n + 2, jump, min_size)
        for count, result in enumerate(every, start=1):
            feasible = m.sanity_check(n, count, jump, min_size)
            assert (result is not None) == feasible
            if feasible:
                assert result == m.dynp(engine, count, jump, min_size)
            else:
                message = f"No admissible last breakpoints found. n_samples: {n}, n_bkps: {count}."
                with pytest.raises(AssertionError, match=exact(message)):
                    m.dynp(engine, count, jump, min_size)

    def test_the_ten_sample_grid_example(self):
        # Breakpoints may only be 3 or 6; [3, 10] wins the tie of a constant signal.
        engine = m.CostEngine(np.zeros(10), "l2")
        assert m.dynp(engine, 1, 3, 2) == [3, 10]
        x = np.r_[np.zeros(6), np.ones(4)]
        assert m.dynp(m.CostEngine(x, "l2"), 1, 3, 2) == [6, 10]

    @pytest.mark.parametrize("jump, min_size", [(1, 1), (1, 2), (2, 2), (3, 1)])
    def test_reaches_the_brute_force_optimum_for_every_count(self, rng, jump, min_size):
        engine = m.CostEngine(rng.normal(size=(11, 2)), "l2")
        every = m.dynp_all(engine, 6, jump, min_size)
        for count, result in enumerate(every, start=1):
            options = [b for b in segmentations(11, jump, min_size) if len(b) == count + 1]
            if not options:
                assert result is None
                continue
            best = min(engine.sum_of_costs(b) for b in options)
            assert engine.sum_of_costs(result) == pytest.approx(best, rel=1e-12, abs=1e-12)

    def test_huge_counts_do_not_build_unreachable_layers(self, rng):
        engine = m.CostEngine(rng.normal(size=50), "l2")
        with pytest.raises(AssertionError):
            m.dynp(engine, 2**64 - 1, 1, 1)
        every = m.dynp_all(engine, 100, 1, 1)
        assert every[48] is not None and every[49:] == [None] * 51

    def test_dynp_all_longer_than_any_list_is_a_memory_error(self, rng):
        with pytest.raises(MemoryError):
            m.dynp_all(m.CostEngine(rng.normal(size=5), "l2"), 2**64 - 1, 1, 1)

    @pytest.mark.parametrize("min_size", [0, 1])
    def test_min_size_zero_is_served_as_one(self, rng, min_size):
        engine = m.CostEngine(rng.normal(size=12), "l2")
        assert m.dynp_all(engine, 11, 1, 0) == m.dynp_all(engine, 11, 1, 1)


POOL_SCRIPT = """
import numpy as np
from marbolt_rs import _marbolt_rs as m
x = np.random.default_rng(5).normal(size=(300, 2))
for model in ("l2", "normal"):
    e = m.CostEngine(x, model)
    print(m.dynp_all(e, 6, 1, 2), m.dynp(e, 3, 4, 5))
"""


class TestWorkerPool:
    def test_results_do_not_depend_on_the_pool_size(self):
        outputs = []
        for threads in ("1", "2", "3"):
            env = dict(os.environ, RAYON_NUM_THREADS=threads)
            run = subprocess.run([sys.executable, "-c", POOL_SCRIPT], env=env, check=True,
                                 capture_output=True, text=True)
            outputs.append(run.stdout)
        assert outputs[0] == outputs[1] == outputs[2]

    def test_a_forked_child_can_use_the_pool(self, rng):
        engine = m.CostEngine(rng.normal(size=200), "l2")
        expected = m.dynp(engine, 3, 1, 2)
        context = multiprocessing.get_context("fork")
        results = context.Queue()
        child = context.Process(target=lambda: results.put(m.dynp(engine, 3, 1, 2)))
        child.start()
        try:
            assert results.get(timeout=120) == expected
        finally:
            child.join(timeout=120)
        assert child.exitcode == 0


class TestCrops:
    @pytest.fixture
    def engine(self, rng):
        return m.CostEngine(steps(rng, n=80, changes=(20, 45, 60)), "l2")

    def test_rows_cover_the_range_by_ascending_breakpoints(self, engine):
        rows = m.crops(engine, 0.5, 500.0, 1, 2)
        assert rows[0][1] == 500.0 and rows[-1][0] == 0.5
        counts = [len(bkps) for _, _, bkps in rows]
        assert counts == sorted(counts) and len(set(counts)) == len(counts)
        for (lower, upper, bkps), (next_lower, next_upper, _) in zip(rows, rows[1:]):
            assert next_upper == lower and lower <= upper
        for lower, upper, bkps in rows:
            assert isinstance(lower, float) and isinstance(upper, float)
            assert m.pelt(engine, (lower + upper) / 2, 1, 2) == bkps

    def test_a_single_penalty_is_one_pelt_run(self, engine):
        assert m.crops(engine, 10.0, 10.0, 1, 2) == [(10.0, 10.0, m.pelt(engine, 10.0, 1, 2))]

    def test_one_count_over_the_whole_range(self, engine):
        bkps = m.pelt(engine, 1e6, 1, 2)
        assert m.crops(engine, 1e5, 1e6, 1, 2) == [(1e5, 1e6, bkps)]


class TestReferenceNeutrality:
    @pytest.mark.parametrize(
        "call",
        [
            lambda e, pen: m.pelt(e, pen, 1, 2),
            lambda e, pen: m.pelt(e, pen, 0, 2),
            lambda e, pen: m.dynp(e, 2, 1, 2),
            lambda e, pen: m.dynp(e, 99, 1, 2),
            lambda e, pen: m.dynp_all(e, 3, 1, 2),
            lambda e, pen: m.crops(e, pen, pen, 1, 2),
            lambda e, pen: m.crops(e, pen, "x", 1, 2),
        ],
        ids=["pelt", "pelt-jump-0", "dynp", "dynp-infeasible", "dynp_all", "crops", "crops-bad-pen"],
    )
    def test_arguments_keep_their_counts(self, rng, call):
        engine = m.CostEngine(steps(rng), "l2")
        pen = 12345.678
        before = sys.getrefcount(engine), sys.getrefcount(pen)
        for _ in range(20):
            try:
                call(engine, pen)
            except (ValueError, TypeError, AssertionError):
                pass
        assert (sys.getrefcount(engine), sys.getrefcount(pen)) == before


class TestHugeSignals:
    """A (2**40, 0) signal is valid, but no search table over it can fit."""

    @pytest.fixture(scope="class")
    def engine(self):
        return m.CostEngine(np.zeros((2**40, 0)), "l2")

    @pytest.mark.parametrize(
        "search",
        [
            lambda e: m.pelt(e, 1.0, 1, 1),
            lambda e: m.crops(e, 1.0, 2.0, 1, 1),
            lambda e: m.bottomup(e, 1, 1, n_bkps=1),
            lambda e: m.window_fit(e, 2, 1),
        ],
        ids=["pelt", "crops", "bottomup", "window_fit"],
    )
    @needs_real_allocator
    def test_tables_that_cannot_fit_are_a_memory_error(self, engine, search):
        with pytest.raises(MemoryError):
            search(engine)

    def test_a_coarse_grid_fits(self, engine):
        assert m.pelt(engine, 1.0, 2**39, 1) == [2**40]
        assert m.binseg(engine, 2**38, 1, n_bkps=1) == [3 * 2**38, 2**40]


class TestConcurrency:
    def test_threads_searching_one_engine_agree(self, rng):
        engine = m.CostEngine(rng.normal(size=(400, 2)), "normal")
        calls = [
            lambda: m.pelt(engine, 5.0, 1, 2),
            lambda: m.dynp(engine, 4, 2, 3),
            lambda: m.dynp_all(engine, 3, 5, 3),
            lambda: m.crops(engine, 2.0, 50.0, 1, 2),
        ]
        expected = [call() for call in calls]
        results = {}

        def work(k):
            results[k] = [calls[k % len(calls)]() for _ in range(3)]

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for k, got in results.items():
            assert got == [expected[k % len(calls)]] * 3

    @pytest.mark.parametrize(
        "search",
        [lambda e: m.pelt(e, math.inf, 1, 1), lambda e: m.dynp(e, 3, 1, 1)],
        ids=["pelt", "dynp"],
    )
    def test_searches_release_the_interpreter_lock(self, search):
        # Unpruned PELT and a few dynp layers on 8000 samples of two columns
        # (one column would be pruned functionally, in a few milliseconds) take
        # well over 50 ms; the main thread must run meanwhile.
        engine = m.CostEngine(np.random.default_rng(1).normal(size=(8000, 2)), "l2")
        window = {}

        def run():
            window["start"] = time.monotonic()
            search(engine)
            window["end"] = time.monotonic()

        ticks = []
        worker = threading.Thread(target=run)
        worker.start()
        while worker.is_alive():
            ticks.append(time.monotonic())
        worker.join()
        start, end = window["start"] + 0.02, window["end"] - 0.02
        assert end > start, "the search was too quick to tell"
        assert sum(start < t < end for t in ticks) > 100
