"""Threads, worker-pool sizes and fork: a result never depends on how the work was run."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from marbolt_rs import _marbolt_rs as m

from conftest import SANITIZED

# (model, params, variant). "l2" in the variant "extension" is the linear
# kernel, so kernel_pelt runs on it as on "rbf" and "cosine".
ENGINES = {
    "l1": ("l1", None, None),
    "l2": ("l2", None, None),
    "l2-extension": ("l2", None, "extension"),
    "normal": ("normal", None, None),
    "rbf": ("rbf", None, None),
    "cosine": ("cosine", None, None),
    "rank": ("rank", None, None),
    "mahalanobis": ("mahalanobis", {"metric": np.array([[2.0, 0.5], [0.5, 1.0]])}, None),
    "clinear": ("clinear", None, None),
    "linear": ("linear", None, None),
    "ar": ("ar", {"order": 2}, None),
}
KERNEL = {"l2-extension", "rbf", "cosine"}
N_THREADS = 8


def signal_with_steps(seed=11, n=120):
    x = np.random.default_rng(seed).normal(size=(n, 2))
    x[40:80] += [3.0, -2.0]
    x[80:] -= [1.0, 4.0]
    return x


def searches(engine, kernel):
    """Every search on one engine, named; min_size 5 suits every model's minimum."""
    inds, score = m.window_fit(engine, 10, 2)
    calls = {
        "pelt": lambda: m.pelt(engine, 3.0, 1, 5),
        "dynp": lambda: m.dynp(engine, 3, 2, 5),
        "dynp_all": lambda: m.dynp_all(engine, 4, 3, 5),
        "binseg": lambda: m.binseg(engine, 1, 5, n_bkps=3),
        "bottomup": lambda: m.bottomup(engine, 2, 5, pen=3.0),
        "window_fit": lambda: m.window_fit(engine, 10, 2),
        "window_predict": lambda: m.window_predict(engine, inds, score, 10, 2, 5, n_bkps=3),
        "crops": lambda: m.crops(engine, 1.0, 30.0, 2, 5),
    }
    if kernel:
        calls["kernel_pelt"] = lambda: m.kernel_pelt(engine, 3.0, 5)
    return calls


class TestSharedEngine:
    @pytest.fixture(scope="class", params=list(ENGINES))
    def calls(self, request):
        model, params, variant = ENGINES[request.param]
        engine = m.CostEngine(signal_with_steps(), model, params, variant)
        return searches(engine, request.param in KERNEL)

    def test_threads_searching_at_once_agree_with_one_thread(self, calls):
        # repr compares NaN scores too, and floats bit for bit.
        expected = {name: repr(call()) for name, call in calls.items()}
        names = list(calls)
        start = threading.Barrier(N_THREADS)

        def work(k):
            start.wait()
            order = names[k:] + names[:k]  # each thread starts on another search
            return [(name, repr(calls[name]())) for _ in range(2) for name in order]

        with ThreadPoolExecutor(N_THREADS) as pool:
            runs = list(pool.map(work, range(N_THREADS)))
        for run in runs:
            assert dict(run) == expected and len(run) == 2 * len(names)


# Prints the number of threads the first dynp added (the pool's size, since
# nothing else starts threads here) and the results of the pool's searches.
POOL_SCRIPT = textwrap.dedent("""
    import os
    import numpy as np
    from marbolt_rs import _marbolt_rs as m
    x = np.random.default_rng(3).normal(size=(150, 2))
    x[50:100] += 2.0
    before = len(os.listdir("/proc/self/task"))
    out = []
    for model in ("l2", "normal", "l1", "ar"):
        e = m.CostEngine(x, model)
        out.append((m.dynp(e, 3, 2, 5), m.dynp_all(e, 4, 3, 5)))
    print(len(os.listdir("/proc/self/task")) - before)
    print(out)
""")

POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def run_pool_script(**variables):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARIABLES}
    env.update(variables)
    out = subprocess.run([sys.executable, "-c", POOL_SCRIPT], env=env, check=True,
                         capture_output=True, text=True, timeout=300)
    size, results = out.stdout.splitlines()
    return int(size), results


class TestPoolSize:
    """RAYON_NUM_THREADS wins when it holds a positive integer (digits, an
    optional '+'), then RAYON_RS_NUM_CPUS; anything else counts as unset."""

    @pytest.fixture(scope="class")
    def unset(self):
        return run_pool_script()

    def test_unset_uses_the_cpus_this_process_may_use(self, unset):
        assert 1 <= unset[0] <= len(os.sched_getaffinity(0))

    @pytest.mark.parametrize(
        "variables, size",
        [
            ({"RAYON_NUM_THREADS": "1"}, 1),
            ({"RAYON_NUM_THREADS": "3"}, 3),
            ({"RAYON_NUM_THREADS": "+2"}, 2),
            ({"RAYON_NUM_THREADS": "007"}, 7),
            ({"RAYON_RS_NUM_CPUS": "3"}, 3),
            ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "3"}, 2),
            ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
            ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "1"}, 1),
            ({"RAYON_NUM_THREADS": "0"}, None),
            ({"RAYON_NUM_THREADS": "-3"}, None),
            ({"RAYON_NUM_THREADS": "abc"}, None),
            ({"RAYON_NUM_THREADS": ""}, None),
            ({"RAYON_NUM_THREADS": " 2"}, None),
            ({"RAYON_NUM_THREADS": "2.0"}, None),
            ({"RAYON_NUM_THREADS": "99999999999999999999999"}, None),
            ({"RAYON_RS_NUM_CPUS": "0"}, None),
            ({"RAYON_RS_NUM_CPUS": "-3"}, None),
            ({"RAYON_RS_NUM_CPUS": "abc"}, None),
            ({"RAYON_RS_NUM_CPUS": ""}, None),
            ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "-3"}, None),
        ],
        ids=repr,
    )
    def test_variables_are_honoured_or_ignored_and_results_never_change(self, unset, variables, size):
        got_size, results = run_pool_script(**variables)
        assert got_size == (unset[0] if size is None else size)
        assert results == unset[1]


def in_child(call):
    """repr(call()) computed in a child made by os.fork."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads alive
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read)
            signal.alarm(60)  # a deadlocked child dies instead of hanging the suite
            os.write(write, repr(call()).encode())
            code = 0
        finally:
            os._exit(code)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        text = pipe.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return text


class TestFork:
    @pytest.mark.parametrize("model", ["l2", "normal", "rbf", "l1", "ar"])
    def test_child_gets_the_parents_answer_after_the_parent_used_the_pool(self, model):
        engine = m.CostEngine(signal_with_steps(), model)
        expected = repr(m.dynp(engine, 3, 1, 5))
        assert in_child(lambda: m.dynp(engine, 3, 1, 5)) == expected
        assert in_child(lambda: m.dynp_all(engine, 4, 2, 5)) == repr(m.dynp_all(engine, 4, 2, 5))

    def test_grandchild_after_the_child_used_its_own_pool(self):
        engine = m.CostEngine(signal_with_steps(), "normal")
        expected = repr(m.dynp(engine, 3, 1, 5))

        def child():
            mine = repr(m.dynp(engine, 3, 1, 5))
            return mine, in_child(lambda: m.dynp(engine, 3, 1, 5))

        assert in_child(child) == repr((expected, expected))

    # The sanitizer's own allocator is not fork-safe: a child forked while
    # another thread returns memory to it can wait forever on a lock that
    # thread held (seen with the large region arrays of two-column layers).
    @pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's allocator can deadlock a child forked mid-allocation")
    def test_fork_while_another_thread_fills_a_layer(self):
        # The fork can land while the pool's workers hold its locks; the child
        # must build its own pool, not wait on the parent's.
        engine = m.CostEngine(signal_with_steps(n=300), "l2")
        expected = repr(m.dynp(engine, 4, 1, 3))
        stop = threading.Event()

        def busy():
            while not stop.is_set():
                m.dynp(engine, 4, 1, 3)

        worker = threading.Thread(target=busy)
        worker.start()
        try:
            answers = [in_child(lambda: m.dynp(engine, 4, 1, 3)) for _ in range(5)]
        finally:
            stop.set()
            worker.join()
        assert answers == [expected] * 5

    def test_child_forked_before_the_pool_exists(self):
        script = textwrap.dedent("""
            import os
            import numpy as np
            from marbolt_rs import _marbolt_rs as m
            e = m.CostEngine(np.random.default_rng(4).normal(size=(200, 2)), "normal")
            pid = os.fork()
            if pid == 0:
                print("child", m.dynp(e, 3, 1, 5), flush=True)
                os._exit(0)
            os.waitpid(pid, 0)
            print("parent", m.dynp(e, 3, 1, 5))
        """)
        out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                             text=True, timeout=300)
        child, parent = out.stdout.splitlines()
        assert child.split(" ", 1)[1] == parent.split(" ", 1)[1]
