"""Kernel models ("rbf", "cosine", "l2" in the variant "extension") and kernel_pelt."""

import inspect
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import exact, make_engine, needs_real_allocator
from marbolt_rs import _marbolt_rs as m

KERNELS = {
    "rbf": lambda x: m.CostEngine(x, "rbf"),
    "cosine": lambda x: m.CostEngine(x, "cosine"),
    "l2-extension": lambda x: m.CostEngine(x, "l2", None, "extension"),
}


@pytest.fixture(params=sorted(KERNELS))
def kernel(request):
    return KERNELS[request.param]


def turning_steps(rng, n=60):
    """Two columns whose direction and position change at 20 and 40; no zero norm."""
    angles = np.repeat([0.2, 1.3, 0.6], n // 3) + 0.05 * rng.normal(size=n)
    return np.column_stack([np.cos(angles), np.sin(angles)]) * rng.uniform(1.8, 2.2, size=(n, 1))


class TestEngineConstruction:
    @pytest.mark.parametrize(
        "params, gamma",
        [(None, 0.25), ({"gamma": None}, 0.25), ({"gamma": 0.5}, 0.5), ({"gamma": 0}, 0.0),
         ({"gamma": -2.0}, -2.0)],
    )
    def test_rbf_reports_the_bandwidth_it_uses(self, params, gamma):
        # Default: distances 1, 9, 4, median 4.
        engine = m.CostEngine(np.array([0.0, 1.0, 3.0]), "rbf", params)
        assert (engine.model, engine.min_size, engine.gamma) == ("rbf", 1, gamma)
        assert isinstance(engine.gamma, float)

    def test_rbf_nan_gamma_is_accepted(self):
        assert math.isnan(m.CostEngine(np.arange(5.0), "rbf", {"gamma": math.nan}).gamma)

    def test_rbf_gamma_conversion_error_has_no_argument_prefix(self):
        with pytest.raises(TypeError, match=exact("must be real number, not str")):
            m.CostEngine(np.arange(5.0), "rbf", {"gamma": "a"})

    @pytest.mark.parametrize(
        "model, variant, expected", [("cosine", None, "cosine"), ("l2", "extension", "l2")]
    )
    def test_other_kernels_have_no_gamma(self, model, variant, expected):
        engine = m.CostEngine(np.arange(1.0, 6.0), model, {"gamma": 3.0}, variant)
        assert (engine.model, engine.min_size, engine.gamma) == (expected, 1, None)

    def test_l2_extension_without_columns_builds_no_row_table(self):
        assert m.CostEngine(np.zeros((2**40, 0)), "l2", None, "extension").error(0, 2**40) == 0.0


class TestKernelBudget:
    @pytest.mark.parametrize("model", ["rbf", "cosine"])
    def test_refused_from_23170_samples_before_any_work(self, model):
        # Without the budget first, the default bandwidth alone would sort
        # 268 million distances before the table.
        signal = np.broadcast_to(np.arange(23170.0)[:, None], (23170, 1))
        message = (
            f"the `{model}` model needs a kernel table of 23170x23170, which needs 4.0 GiB, over "
            "the 4 GiB limit. Subsample the signal, or use a non-kernel model such as `l2` or "
            "`normal`, which need no quadratic memory."
        )
        with pytest.raises(ValueError, match=exact(message)):
            m.CostEngine(signal, model)

    def test_rbf_reads_gamma_before_the_budget(self):
        with pytest.raises(TypeError, match=exact("must be real number, not str")):
            m.CostEngine(np.empty((23170, 1)), "rbf", {"gamma": "a"})

    @pytest.mark.parametrize("model, params", [("rbf", None), ("rbf", {"gamma": 1.0}), ("cosine", None)])
    @needs_real_allocator
    def test_23169_samples_pass_the_budget(self, model, params):
        # Under an address-space limit the 4 GiB table cannot be allocated:
        # MemoryError, not the budget's ValueError, shows that the builder ran.
        code = textwrap.dedent(f"""
            import resource
            import numpy as np
            from marbolt_rs import _marbolt_rs as m
            with open("/proc/self/status") as f:
                vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (vm + 2**30, resource.RLIM_INFINITY))
            try:
                m.CostEngine(np.ones((23169, 1)), {model!r}, {params!r})
            except MemoryError:
                print("MemoryError")
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "MemoryError"


class TestKernelPeltArguments:
    def test_signature(self):
        assert str(inspect.signature(m.kernel_pelt)) == "(engine, pen, min_size)"
        assert m.kernel_pelt.__doc__

    @pytest.mark.parametrize(
        "engine, min_size",
        [
            (lambda: make_engine(np.arange(10.0), "l2"), 0),
            (lambda: m.CostEngine(np.arange(10.0), "l2", None, "python"), 1),
            (lambda: make_engine(np.arange(10.0), "normal"), 0),
            (lambda: make_engine(np.arange(10.0), "mahalanobis"), 2),
        ],
    )
    def test_non_kernel_engine_is_refused_first(self, engine, min_size):
        with pytest.raises(ValueError, match=exact("kernel_pelt requires a kernel cost engine")):
            m.kernel_pelt(engine(), 1.0, min_size)

    def test_min_size_zero_is_refused_for_kernel_engines(self, kernel):
        with pytest.raises(ValueError, match=exact("min_size must be at least 1")):
            m.kernel_pelt(kernel(np.arange(1.0, 11.0)), 1.0, 0)

    @pytest.mark.parametrize(
        "args, error, message",
        [
            ((5, 1.0, 1), TypeError, "argument 'engine': 'int' object cannot be converted to 'CostEngine'"),
            (("E", "x", 1), TypeError, "argument 'pen': must be real number, not str"),
            (("E", 1.0, 1.5), TypeError, "argument 'min_size': 'float' object cannot be interpreted as an integer"),
            (("E", 1.0, -1), OverflowError, "can't convert negative int to unsigned"),
            (("E", 1.0), TypeError, "kernel_pelt() missing 1 required positional argument: 'min_size'"),
        ],
    )
    def test_conversion_and_binding_errors(self, args, error, message):
        engine = m.CostEngine(np.arange(10.0), "l2", None, "extension")
        with pytest.raises(error, match=exact(message)):
            m.kernel_pelt(*(engine if a == "E" else a for a in args))

    def test_arguments_keep_their_counts(self):
        plain, kernel_engine, pen = m.CostEngine(np.arange(10.0), "l2"), m.CostEngine(np.arange(10.0), "rbf"), 1e5
        before = sys.getrefcount(plain), sys.getrefcount(kernel_engine), sys.getrefcount(pen)
        for _ in range(20):
            m.kernel_pelt(kernel_engine, pen, 2)
            for engine, min_size in ((plain, 1), (kernel_engine, 0)):
                with pytest.raises(ValueError):
                    m.kernel_pelt(engine, pen, min_size)
        del engine
        assert (sys.getrefcount(plain), sys.getrefcount(kernel_engine), sys.getrefcount(pen)) == before


class TestKernelPeltResults:
    @pytest.mark.parametrize(
        "n, pen, min_size, expected",
        [(0, 1.0, 1, []), (1, -100.0, 1, [1]), (9, -100.0, 5, [9]), (60, math.inf, 1, [60])],
    )
    def test_edge_cases(self, kernel, rng, n, pen, min_size, expected):
        assert m.kernel_pelt(kernel(turning_steps(rng)[:n]), pen, min_size) == expected

    @pytest.mark.parametrize("pen, expected", [(3.999, [2, 4]), (4.0, [4])])
    def test_two_min_sizes_split_unless_tied(self, pen, expected):
        # Whole: 4 + pen; split at 2: 0 + pen twice. A tie keeps one segment.
        engine = m.CostEngine(np.array([0.0, 0.0, 2.0, 2.0]), "l2", None, "extension")
        assert m.kernel_pelt(engine, pen, 2) == expected

    @pytest.mark.parametrize("min_size", [1, 3, 7])
    def test_segments_ascend_and_hold_min_size(self, kernel, rng, min_size):
        bkps = m.kernel_pelt(kernel(turning_steps(rng)), 0.5, min_size)
        assert bkps[-1] == 60
        assert all(b - a >= min_size for a, b in zip([0, *bkps], bkps))

    @pytest.mark.parametrize("min_size", [1, 2, 5])
    def test_linear_kernel_agrees_with_pelt_on_l2(self, rng, min_size):
        x = np.repeat([2.0, 8.0, 4.0], 20) + 0.3 * rng.normal(size=60)
        found = m.kernel_pelt(m.CostEngine(x, "l2", None, "extension"), 5.0, min_size)
        assert found == m.pelt(m.CostEngine(x, "l2"), 5.0, 1, min_size) == [20, 40, 60]

    @pytest.mark.parametrize("model", ["rbf", "cosine"])
    def test_kernel_models_find_the_steps(self, rng, model):
        engine = m.CostEngine(turning_steps(rng), model, None, "extension")
        assert m.kernel_pelt(engine, 1.0, 5) == [20, 40, 60]
