"""The plain searches' results on long l1, normal and several-column signals,
recorded before any pruned search served these models: breakpoints and the
bits of the costs. Whatever search serves them now must return the same.

Re-record (only when the plain searches themselves are meant to change):
    .venv/bin/python tests/python/test_plain_records.py
"""

import json
import math
import pathlib
import struct
import sys

import numpy as np
import pytest

from marbolt_rs import _marbolt_rs as m

RECORDS = pathlib.Path(__file__).resolve().parent / "data" / "plain_records.json"


def record_signal(kind, n, d, changes, seed):
    """A seeded signal: `changes` level shifts at random places, and noise of
    the kind's sort (Gaussian, heavy tails with outliers, alternating
    variances, quantised, or Gaussian on a huge offset)."""
    rng = np.random.default_rng(seed)
    cuts = np.sort(rng.choice(np.arange(n // 20, n - n // 20), size=changes, replace=False))
    labels = np.searchsorted(cuts, np.arange(n), side="right")
    levels = rng.normal(0.0, 3.0, size=(changes + 1, d))
    x = levels[labels]
    if kind == "outliers":
        x = x + rng.standard_t(3, size=(n, d))
        spikes = rng.random(size=(n, d)) < 0.03
        x[spikes] += rng.normal(0.0, 30.0, size=int(spikes.sum()))
    elif kind == "variance":
        scales = np.where(np.arange(changes + 1) % 2 == 0, 1.0, 3.0)[labels]
        x = x + scales[:, None] * rng.standard_normal(size=(n, d))
    elif kind == "quantised":
        x = np.round(2.0 * (x + rng.standard_normal(size=(n, d)))) / 2.0
    else:
        x = x + rng.standard_normal(size=(n, d))
        if kind == "offset":
            x = x + 1e6
    return x


# (method, model, params, kind, n, d, changes, seed, pen or n_bkps, jump, min_size)
CASES = [
    ("pelt", "l1", None, "steps", 2000, 1, 1, 1, "2log", 1, 2),
    ("pelt", "l1", None, "outliers", 3000, 1, 3, 2, "2log", 1, 2),
    ("pelt", "l1", None, "quantised", 2000, 1, 2, 3, 4.0, 3, 5),
    ("pelt", "l1", None, "offset", 1500, 1, 2, 4, 6.0, 1, 3),
    ("pelt", "l1", None, "steps", 1200, 1, 30, 5, 1.5, 2, 2),
    ("pelt", "normal", {"add_small_diag": False}, "variance", 20000, 1, 4, 6, "3log", 1, 2),
    ("pelt", "normal", None, "variance", 20000, 1, 6, 7, "3log", 1, 5),
    ("pelt", "normal", None, "quantised", 5000, 1, 3, 8, 10.0, 2, 4),
    ("pelt", "normal", {"add_small_diag": False}, "offset", 8000, 1, 3, 9, "3log", 3, 3),
    ("pelt", "l2", None, "steps", 20000, 3, 4, 10, "2log", 1, 1),
    ("pelt", "l2", None, "steps", 10000, 2, 10, 11, "2log", 1, 2),
    ("pelt", "l2", None, "offset", 8000, 5, 3, 12, "2log", 3, 4),
    ("pelt", "l2", None, "quantised", 6000, 3, 5, 13, 3.0, 1, 1),
    ("dynp", "l1", None, "outliers", 500, 1, 3, 14, 3, 1, 2),
    ("dynp", "normal", None, "variance", 3000, 1, 4, 15, 4, 1, 5),
    ("dynp", "l2", None, "steps", 3000, 3, 4, 16, 4, 2, 2),
]


def bits(value):
    return struct.pack("<d", value).hex()


def case_signal(case):
    _, _, _, kind, n, d, changes, seed, _, _, _ = case
    return record_signal(kind, n, d, changes, seed)


def penalty(case):
    value, n = case[8], case[4]
    if value == "2log":
        return 2.0 * math.log(n)
    if value == "3log":
        return 3.0 * math.log(n)
    return float(value)


def run_case(case):
    """The breakpoints, the sum of segment costs and, for PELT, the penalised
    total folded as the recursion forms it (segment cost plus penalty first)."""
    method, model, params, _, _, _, _, _, _, jump, min_size = case
    engine = m.CostEngine(case_signal(case), model, params)
    if method == "pelt":
        pen = penalty(case)
        bkps = m.pelt(engine, pen, jump, min_size)
        total, start = 0.0, 0
        for b in bkps:
            total = total + (engine.error(start, b) + pen)
            start = b
        return {"bkps": bkps, "cost": bits(engine.sum_of_costs(bkps)), "total": bits(total)}
    bkps = m.dynp(engine, case[8], jump, min_size)
    return {"bkps": bkps, "cost": bits(engine.sum_of_costs(bkps))}


def case_id(case):
    method, model, params, kind, n, d = case[:6]
    small = "" if params is None else "-nodiag"
    return f"{method}-{model}{small}-{kind}-n{n}-d{d}-seed{case[7]}"


@pytest.fixture(scope="module")
def records():
    return json.loads(RECORDS.read_text())


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_search_returns_the_recorded_plain_result(case, records):
    assert run_case(case) == records[case_id(case)]


def record():
    out = {}
    for case in CASES:
        out[case_id(case)] = run_case(case)
        print(case_id(case), out[case_id(case)]["bkps"][:8], file=sys.stderr)
    RECORDS.parent.mkdir(exist_ok=True)
    RECORDS.write_text(json.dumps(out, indent=1, sort_keys=True) + "\n")


if __name__ == "__main__":
    record()
