"""A caller of the public API that `mypy --strict` must accept (see test_stubs.py)."""

from __future__ import annotations

import concurrent.futures
from typing import Any

import numpy as np

import marbolt_rs
from marbolt_rs import cli, datasets, metrics

years, flow = datasets.load_nile()
signal, true_bkps = datasets.piecewise_constant(n_samples=300, n_bkps=2, seed=0)

result: marbolt_rs.Detection = marbolt_rs.detect(flow, "l2", "binseg", n_bkps=1, jump=1,
                                                  min_size=np.int64(2))
bkps: list[int] = result.breakpoints
segments: list[tuple[int, int]] = result.segments
count: int = result.n_bkps
penalty: float | None = marbolt_rs.detect(signal, "rbf", pen=10.0, params={"gamma": 1.0}).penalty
counted: marbolt_rs.Detection = marbolt_rs.detect(signal, n_bkps=2)
cost: float = result.cost
labels: list[Any] = result.labels
intervals: list[marbolt_rs.ChangeInterval] = result.confidence_intervals(0.9, labels=True)
kind: str = intervals[0].kind
table: Any = result.summary()
axes: Any = result.plot(true_breakpoints=true_bkps, confidence=0.95)

results: list[marbolt_rs.Detection] = marbolt_rs.detect_many(
    [signal, signal], "l1", executor=concurrent.futures.ThreadPoolExecutor(), progress=False)
named: dict[str, marbolt_rs.Detection] = marbolt_rs.detect_many({"a": signal}, n_bkps=1)

path: marbolt_rs.PenaltyPath = marbolt_rs.penalty_path(flow, 5e4, 5e5, jump=2)
first: marbolt_rs.PathEntry = path[0]
pen_range: tuple[float, float] = first.pen_range
changes: list[int] = [entry.n_bkps for entry in path]
default: float = marbolt_rs.default_penalty(flow, "normal", params=None)
around_default: marbolt_rs.PenaltyPath = marbolt_rs.penalty_path(flow)
picked: marbolt_rs.Detection = around_default.with_changes(1)
path_table: Any = around_default.table()
per_count: Any = marbolt_rs.fits(flow, max_changes=3, model="normal")

scores: tuple[float, float] = metrics.precision_recall(true_bkps, bkps, margin=5)
distance: float = metrics.hausdorff(true_bkps, result.breakpoints)
covered: float = metrics.covering([true_bkps, [300]], bkps)
annotated_f1: float = metrics.f1_annotators(true_bkps, bkps, margin=5)
status: int = cli.main(["--help"])

engine = marbolt_rs.CostEngine(signal, "l2")
found: list[int] = marbolt_rs.pelt(engine, 10.0, 1, 2)
version: str = marbolt_rs.__version__
