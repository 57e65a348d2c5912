"""The real series of bench/data/real, with their documented changes.

Each series is a one-dimensional float64 array with its time labels and its
annotations: one breakpoint list per annotation (ascending, ending with n; a
list of only n where no change is documented), in the package's convention,
so they go straight to `marbolt_rs.metrics`.
"""

from __future__ import annotations

import csv
from pathlib import Path
from typing import NamedTuple

import numpy as np

DATA = Path(__file__).resolve().parents[1] / "data" / "real"


class RealSeries(NamedTuple):
    name: str
    source: str
    values: np.ndarray
    labels: list[str]
    frequency: int
    annotations: list[list[int]]


def _annotations(field: str, n: int) -> list[list[int]]:
    """'24 47 79' or 'none', several annotations separated by '|', as breakpoint lists."""
    return [([] if part == "none" else [int(v) for v in part.split()]) + [n]
            for part in field.split("|")]


def load_real_series(names: list[str] | None = None) -> list[RealSeries]:
    """Every shipped series (or those named), in the order of series.csv."""
    with open(DATA / "series.csv", newline="") as index:
        rows = list(csv.DictReader(index))
    if names is not None:
        unknown = set(names) - {row["name"] for row in rows}
        if unknown:
            raise ValueError(f"no real series named {sorted(unknown)}")
        rows = [row for row in rows if row["name"] in names]
    series = []
    for row in rows:
        with open(DATA / f"{row['name']}.csv", newline="") as f:
            samples = list(csv.DictReader(f))
        n = int(row["n"])
        if len(samples) != n:
            raise ValueError(f"{row['name']}.csv holds {len(samples)} samples, series.csv says {n}")
        series.append(RealSeries(
            name=row["name"], source=row["source"],
            values=np.array([float(s["value"]) for s in samples]),
            labels=[s["time"] for s in samples],
            frequency=int(row["frequency"]),
            annotations=_annotations(row["changes"], n)))
    return series
