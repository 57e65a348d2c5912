"""Memory: no growth over many calls, no reference left behind or dropped, and
MemoryError (not a crash) when a table cannot be had."""

import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import SANITIZED, needs_real_allocator
from marbolt_rs import _marbolt_rs as m


class Index:
    """An integer given through __index__: unlike a small int, a fresh object
    whose reference count nothing else touches."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise ZeroDivisionError("no truth value")
        return self.value


def text(s):
    """A str equal to s but not the interned constant."""
    return "".join(list(s))


def real(x):
    return float(str(x))


def signal(n=16, d=2):
    x = np.random.default_rng(8).normal(size=(n, d))
    x[n // 2:] += 3.0
    return x


def engine(model, params=None, variant=None):
    return m.CostEngine(signal(), model, params, variant)


def huge_kernel():
    # Zero columns: nothing is built per sample, but kernel_pelt's three arrays
    # of 2**40 + 1 entries cannot exist.
    return m.CostEngine(np.zeros((2**40, 0)), "l2", None, "extension")


def fit(model):
    inds, score = m.window_fit(engine(model), 4, 1)
    return np.array(inds, dtype=np.uint64), np.array(score)


C = m.CostEngine
# name -> (expected outcome, factory of (callable, args, kwargs)); every
# factory makes fresh argument objects. None means success.
CASES = {
    "rbf": (None, lambda: (C, (signal(), text("rbf"), {"gamma": real(0.5)}), {})),
    "rbf-gamma-str": (TypeError, lambda: (C, (signal(), text("rbf"), {"gamma": text("a")}), {})),
    "rbf-budget": (ValueError, lambda: (C, (np.empty((23170, 1)), text("rbf"), {"gamma": real(1)}), {})),
    "cosine-extension": (None, lambda: (C, (signal(), text("cosine"), None, text("extension")), {})),
    "normal-flag": (None, lambda: (C, (signal(), text("normal"), {"add_small_diag": Truth(False)}), {})),
    "normal-flag-raises": (ZeroDivisionError,
                           lambda: (C, (signal(), text("normal"), {"add_small_diag": Truth(None)}), {})),
    "mahalanobis": (None, lambda: (C, (signal(), text("mahalanobis"), {"metric": np.eye(2)}), {})),
    "mahalanobis-shape": (ValueError, lambda: (C, (signal(), text("mahalanobis"), {"metric": np.eye(3)}), {})),
    "mahalanobis-dtype": (TypeError,
                          lambda: (C, (signal(), text("mahalanobis"), {"metric": np.eye(2, dtype=int)}), {})),
    "linear": (None, lambda: (C, (signal(d=3), text("linear")), {})),
    "linear-no-column": (ValueError, lambda: (C, (np.empty((6, 0)), text("linear")), {})),
    "ar": (None, lambda: (C, (signal(), text("ar"), {"order": Index(2)}), {})),
    "ar-order-too-long": (ValueError, lambda: (C, (signal(), text("ar"), {"order": Index(16)}), {})),
    "ar-order-negative": (OverflowError, lambda: (C, (signal(), text("ar"), {"order": Index(-1)}), {})),
    "ar-budget": (ValueError, lambda: (C, (np.empty((0, 1)), text("ar"), {"order": Index(2**40)}), {})),
    "clinear-keywords": (None, lambda: (C, (), {"signal": signal(), "model": text("clinear")})),
    "bad-variant": (ValueError, lambda: (C, (signal(), text("rank"), None, text("fast")), {})),
    "3-d-signal": (ValueError, lambda: (C, (np.ones((2, 2, 2)), text("l1")), {})),
    "list-signal": (TypeError, lambda: (C, ([1.0, 2.0], text("l1")), {})),
    "error": (None, lambda: (engine("rank").error, (Index(0), Index(10)), {})),
    "error-short": (RuntimeError, lambda: (engine("ar").error, (Index(3), Index(6)), {})),
    "error-overflow": (OverflowError, lambda: (engine("clinear").error, (Index(0), 2**70), {})),
    "kernel_pelt": (None, lambda: (m.kernel_pelt, (engine("cosine"), real(2), Index(2)), {})),
    "kernel_pelt-pen-str": (TypeError, lambda: (m.kernel_pelt, (engine("rbf"), text("x"), Index(2)), {})),
    "kernel_pelt-not-kernel": (ValueError, lambda: (m.kernel_pelt, (engine("linear"), real(2), Index(2)), {})),
    "kernel_pelt-min-size-0": (ValueError,
                               lambda: (m.kernel_pelt, (engine("l2", None, "extension"), real(2), Index(0)), {})),
    "pelt": (None, lambda: (m.pelt, (engine("clinear"), real(3), Index(1), Index(2)), {})),
    "pelt-jump-0": (ValueError, lambda: (m.pelt, (engine("rank"), real(3), Index(0), Index(2)), {})),
    "dynp_all": (None, lambda: (m.dynp_all, (engine("ar"), Index(2), Index(1), Index(5)), {})),
    "dynp-infeasible": (AssertionError, lambda: (m.dynp, (engine("rank"), Index(9), Index(1), Index(2)), {})),
    "dynp_all-no-list": (MemoryError, lambda: (m.dynp_all, (engine("l1"), Index(2**64 - 1), Index(1), Index(1)), {})),
    "binseg": (None, lambda: (m.binseg, (engine("linear"), Index(1), Index(2)), {"epsilon": real(1)})),
    "binseg-negative": (OverflowError, lambda: (m.binseg, (engine("rbf"), Index(1), Index(2)), {"n_bkps": Index(-1)})),
    "bottomup": (None, lambda: (m.bottomup, (engine("rbf"), Index(1), Index(2)), {"pen": real(0.5)})),
    "bottomup-bad-keyword": (TypeError, lambda: (m.bottomup, (engine("normal"), Index(1), Index(2)), {"pens": 1.0})),
    "window_fit": (None, lambda: (m.window_fit, (engine("mahalanobis", {"metric": np.eye(2)}), Index(4), Index(1)), {})),
    "window_fit-jump-0": (ValueError, lambda: (m.window_fit, (engine("cosine"), Index(4), Index(0)), {})),
    "window_predict-arrays": (None, lambda: (m.window_predict,
                                             (engine("rank"), *fit("rank"), Index(4), Index(1), Index(2)),
                                             {"n_bkps": Index(1)})),
    "window_predict-float-inds": (TypeError, lambda: (m.window_predict,
                                                      (engine("rank"), np.array([1.5]), np.array([1.0]),
                                                       Index(4), Index(1), Index(2)), {})),
    "window_predict-str-score": (TypeError, lambda: (m.window_predict,
                                                     (engine("ar"), [Index(4)], [text("x")],
                                                      Index(4), Index(1), Index(2)), {})),
    "crops": (None, lambda: (m.crops, (engine("l1"), real(1), real(20), Index(1), Index(2)), {})),
    "crops-pen-str": (TypeError, lambda: (m.crops, (engine("l1"), real(1), text("x"), Index(1), Index(2)), {})),
}
# Failed allocations of these abort under AddressSanitizer.
ALLOCATION_CASES = {
    "kernel_pelt-huge": (MemoryError, lambda: (m.kernel_pelt, (huge_kernel(), real(1), Index(1)), {})),
}
EXPECTED = (TypeError, ValueError, OverflowError, RuntimeError, AssertionError, MemoryError,
            ZeroDivisionError)


def watched(args, kwargs):
    """Every argument and every value inside a params dict, except the shared
    singletons and small ints, whose counts other code moves."""
    values = [*args, *kwargs.values()]
    values += [v for a in values if isinstance(a, dict) for v in a.values()]
    return [v for v in values if v is not None and not isinstance(v, (bool, int))]


def check_outcome(expected, call, args, kwargs):
    if expected is None:
        call(*args, **kwargs)
    else:
        with pytest.raises(expected):
            call(*args, **kwargs)


def all_cases():
    cases = [pytest.param(name, *case, id=name) for name, case in CASES.items()]
    cases += [pytest.param(name, *case, id=name, marks=needs_real_allocator)
              for name, case in ALLOCATION_CASES.items()]
    return cases


class TestReferenceNeutrality:
    @pytest.mark.parametrize("name, expected, factory", all_cases())
    def test_every_argument_keeps_its_count(self, name, expected, factory):
        call, args, kwargs = factory()
        check_outcome(expected, call, args, kwargs)
        tracked = watched(args, kwargs)
        before = [sys.getrefcount(v) for v in tracked]
        for _ in range(20):
            try:
                call(*args, **kwargs)
            except EXPECTED:
                pass
        assert [sys.getrefcount(v) for v in tracked] == before


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine keeps freed memory resident")
def test_many_calls_do_not_grow_resident_memory():
    cases = [(expected, *factory()) for expected, factory in [*CASES.values(), *ALLOCATION_CASES.values()]]

    def run(calls):
        for i in range(calls):
            expected, call, args, kwargs = cases[i % len(cases)]
            try:
                call(*args, **kwargs)
            except EXPECTED:
                pass

    run(10_000)  # allocator arenas and NumPy caches settle first
    gc.collect()
    before = resident_bytes()
    run(100_000)
    gc.collect()
    assert resident_bytes() - before < 20 * 2**20


# Builds the signal before lowering the address-space limit to 1 GiB above
# what the process holds, then runs the call; the process must survive the
# failure and keep working.
LIMITED = """
import resource
import numpy as np
from marbolt_rs import _marbolt_rs as m
{setup}
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + 2**30, resource.RLIM_INFINITY))
try:
    {call}
except MemoryError:
    print("MemoryError")
print(m.pelt(m.CostEngine(np.zeros(10), "l2"), 1.0, 1, 1))
"""


@needs_real_allocator
class TestAllocationFailure:
    @pytest.mark.parametrize(
        "setup, call",
        [
            # (n + 1) d^2 = 2048 * 512^2 = 2**29 entries: exactly the budget.
            ("x = np.ones((2047, 512))", 'm.CostEngine(x, "normal")'),
            ("x = np.ones((2047, 512))", 'm.CostEngine(x, "mahalanobis", {"metric": np.eye(512)})'),
            ("x = np.ones((2047, 513))", 'm.CostEngine(x, "linear")'),
            ("x = np.ones((2047, 1))", 'm.CostEngine(x, "ar", {"order": 511})'),
            # The ar cross tables, (n + 1) (order + 1) d = 2 GiB, have no budget.
            ("x = np.ones((100, 50000))", 'm.CostEngine(x, "ar", {"order": 50})'),
        ],
        ids=["normal", "mahalanobis", "linear", "ar-outer", "ar-cross"],
    )
    def test_a_table_within_the_budget_that_cannot_be_had(self, setup, call):
        code = textwrap.dedent(LIMITED).format(setup=setup, call=call)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True, timeout=300)
        assert out.stdout.split("\n")[:2] == ["MemoryError", "[10]"]
