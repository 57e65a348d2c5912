"""Runs the micro-benchmarks and checks them against the project's targets.

    make bench        (or: python bench/run.py [build directory])

PELT must grow linearly on piecewise-constant signals, dynp must gain from a
second worker thread, the greedy searches must grow at most as n log n, every
cost model whose error is a constant number of table reads must answer within
3 times the time of l2, and the rbf kernel table fill must cost at most 1.5
times the bare exponentials of its entries.
"""

import json
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(binary, threads=None):
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "results.json"
        subprocess.run(
            [str(binary), f"--benchmark_out={out}", "--benchmark_out_format=json",
             "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
            env=env, check=True, capture_output=True, text=True,
        )
        runs = json.loads(out.read_text())["benchmarks"]
    results = {}
    for b in runs:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].replace("/real_time", "")
        seconds = b["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        rate = next(((b[c], c) for c in RATE_COUNTERS if c in b), None)
        results[name] = (seconds, rate)
    return results


# Rate counters the benchmarks report, and how they are printed.
RATE_COUNTERS = {"error_calls/s": "error calls/s", "candidates/s": "candidates/s"}


def report(title, results):
    print(title)
    for name, (seconds, rate) in results.items():
        rate_text = f"{rate[0] / 1e6:8.1f} M {RATE_COUNTERS[rate[1]]}" if rate else ""
        print(f"  {name:<28} {seconds * 1e3:10.2f} ms   {rate_text}")


def check(label, value, bound, at_most):
    ok = value <= bound if at_most else value >= bound
    relation = "<=" if at_most else ">="
    print(f"  {'ok  ' if ok else 'MISS'} {label}: {value:.2f} (target {relation} {bound})")
    return ok


# Models whose error is not a constant number of table reads: l1 selects
# medians (linear in the segment length), linear and ar decompose a small
# matrix, normal calls log once per segment.
NOT_CONSTANT_TIME = {"l1": "O(L) medians", "linear": "eigen-decomposition",
                     "ar": "eigen-decomposition", "normal": "one log per call"}


def check_cost_rates(costs):
    l2 = costs["BM_Error/l2/d1"][1][0]
    oks = []
    for name, (_, rate) in costs.items():
        parts = name.split("/")
        if parts[0] != "BM_Error" or parts[2] != "d1" or parts[1] == "l2":
            continue
        ratio = l2 / rate[0]
        if parts[1] in NOT_CONSTANT_TIME:
            print(f"  info {parts[1]} error at d = 1: {ratio:.2f} x l2 ({NOT_CONSTANT_TIME[parts[1]]})")
        else:
            oks.append(check(f"{parts[1]} error at d = 1, x l2", ratio, 3, True))
    return oks


def main():
    build = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "native"
    exact1 = run(build / "bench" / "exact_bench", threads=1)
    exact2 = run(build / "bench" / "exact_bench", threads=2)
    greedy = run(build / "bench" / "greedy_bench")
    costs = run(build / "bench" / "cost_bench")
    report("exact searches, 1 worker thread:", exact1)
    report("exact searches, 2 worker threads:", exact2)
    report("greedy searches:", greedy)
    report("cost models (error on random segments; pelt at pen = 2 log n):", costs)
    kernel = run(build / "bench" / "kernel_bench")
    report("kernel costs and kernel_pelt:", kernel)
    print("targets:")
    oks = [
        check("pelt 1e6 / 1e5", exact1["BM_PeltL2/1000000"][0] / exact1["BM_PeltL2/100000"][0], 12, True),
        check("dynp speed-up with 2 threads", exact1["BM_DynpL2"][0] / exact2["BM_DynpL2"][0], 1.7, False),
    ]
    for search in ("BM_BinsegL2", "BM_BottomUpL2"):
        ratio = greedy[f"{search}/100000"][0] / greedy[f"{search}/10000"][0]
        oks.append(check(f"{search[3:]} 1e5 / 1e4", ratio, 15, True))
    oks += check_cost_rates(costs)
    for n in (2000, 5000):
        ratio = kernel[f"BM_RbfFill/{n}"][0] / kernel[f"BM_BareExp/{n}"][0]
        oks.append(check(f"rbf fill / bare exp, n = {n}", ratio, 1.5, True))
    return 0 if all(oks) else 1


if __name__ == "__main__":
    sys.exit(main())
