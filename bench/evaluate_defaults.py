"""Scores change-point detectors on simulated and real series, to choose `detect`'s defaults.

    .venv/bin/python bench/evaluate_defaults.py [--detectors zero current ...]
        [--only sim|real] [--families NAME ...] [--series NAME ...] [--seeds 10]
        [--json out/defaults_eval.json]

Detectors are named in bench/detectors.py ("zero": no change; "current":
`marbolt_rs.detect(x)` with every default; "old": the default before issue
20, frozen; "binseg_mbic": close to the best default of van den Burg &
Williams, 2020). Each runs on every simulated signal
(bench/defaults_eval/simulate.py: each family with and without changes,
`--seeds` signals each) and every real series
(bench/data/real), and is scored with `marbolt_rs.metrics.covering` and
`f1_annotators` (margin 5 samples). Predictions and annotations are both in
the breakpoint convention: 0-based positions of the first sample of each
new regime, ending with n; the start of the signal counts as a change in F1.

The table gives, per family and per real series, each detector's covering
and F1, then the means over the simulation study (every family with and
without changes, the must-not-regress family aside; and over the signals
without and with changes apart), over the real series and over both, the
number of signals on which a detector returned more than max(5, n/10)
changes ("too many") or warned, and the F1 on the must-not-regress family
(iid piecewise-constant signals, shifts of 2 to 4 noise deviations; the
target is at least 0.95). The JSON file holds every signal's result.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
import warnings
from pathlib import Path

import numpy as np

from defaults_eval import real, simulate
from detectors import DETECTORS
from marbolt_rs import metrics

MARGIN = 5


def too_many(n: int) -> float:
    return max(5.0, n / 10.0)


def score(name, detect, values, annotations):
    """One detector on one signal: its breakpoints, scores, and whether it warned."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        started = time.perf_counter()
        predicted = [int(b) for b in detect(values)]
        seconds = time.perf_counter() - started
    n = len(values)
    return {
        "detector": name,
        "predicted": predicted,
        "covering": metrics.covering(annotations, predicted),
        "f1": metrics.f1_annotators(annotations, predicted, margin=MARGIN),
        "too_many": len(predicted) - 1 > too_many(n),
        "warnings": [str(w.message) for w in caught],
        "seconds": seconds,
    }


def run(detectors, signals):
    """Every detector on every signal: (group, kind, n, annotations, results by detector)."""
    rows = []
    for group, kind, values, annotations in signals:
        results = {name: score(name, DETECTORS[name], values, annotations) for name in detectors}
        rows.append({"group": group, "kind": kind, "n": len(values),
                     "annotations": annotations, "results": results})
    return rows


def _mean(rows, detector, key):
    return float(np.mean([row["results"][detector][key] for row in rows])) if rows else float("nan")


def table(rows, detectors):
    """The printed report: one line per group, then the summaries."""
    groups: dict[tuple[str, str], list] = {}
    for row in rows:
        groups.setdefault((row["kind"], row["group"]), []).append(row)
    width = max([len(g) for _, g in groups] + [34])
    head = f"{'':{width}} {'#':>3}" + "".join(f" | {d:^19}" for d in detectors)
    sub = f"{'':{width}} {'':>3}" + " | cover   F1 many" * len(detectors)
    lines = [head, sub.replace("| cover", "|  cover"), "-" * len(head)]

    def line(label, members):
        cells = "".join(
            f" | {_mean(members, d, 'covering'):6.3f} {_mean(members, d, 'f1'):6.3f}"
            f" {sum(m['results'][d]['too_many'] for m in members):4d}" for d in detectors)
        return f"{label:{width}} {len(members):3d}{cells}"

    for (kind, group), members in groups.items():
        lines.append(line(group if kind != "real" else f"real: {group}", members))
    lines.append("-" * len(head))
    sim = [r for r in rows if r["kind"] == "sim"]
    regress = [r for r in rows if r["kind"] == "regress"]
    reals = [r for r in rows if r["kind"] == "real"]
    quiet = [r for r in sim if r["annotations"] == [[r["n"]]]]
    for label, members in (("mean, simulation study", sim),
                           ("  of which without changes", quiet),
                           ("  of which with changes", [r for r in sim if r not in quiet]),
                           ("mean, real series", reals),
                           ("mean, both", sim + reals if sim and reals else []),
                           ("must not regress (F1 >= 0.95)", regress)):
        if members:
            lines.append(line(label, members))
    warned = "".join(f" | {sum(bool(r['results'][d]['warnings']) for r in rows):>19}"
                     for d in detectors)
    lines.append(f"{'signals with a warning':{width}} {len(rows):3d}{warned}")
    seconds = "".join(f" | {sum(r['results'][d]['seconds'] for r in rows):18.2f}s"
                      for d in detectors)
    lines.append(f"{'time':{width}} {'':3}{seconds}")
    return "\n".join(lines)


def signals(args):
    """(group, kind, values, annotations) for every signal the options select.

    Naming families selects only simulated signals, naming series only real
    ones, unless both are named.
    """
    chosen = []
    if args.only != "real" and not (args.series and not args.families):
        for s in simulate.study(args.seeds, args.families):
            kind = "regress" if s.family.startswith(simulate.REGRESS_FAMILY) else "sim"
            chosen.append((s.family, kind, s.values, s.annotations))
    if args.only != "sim" and not (args.families and not args.series):
        for s in real.load_real_series(args.series):
            chosen.append((s.name, "real", s.values, s.annotations))
    return chosen


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--detectors", nargs="+", default=["zero", "current"],
                        choices=sorted(DETECTORS), metavar="NAME",
                        help=f"detectors to score (from: {', '.join(sorted(DETECTORS))})")
    parser.add_argument("--only", choices=["sim", "real"],
                        help="only the simulation study or the real series")
    families = list(simulate.FAMILIES) + [simulate.REGRESS_FAMILY]
    parser.add_argument("--families", nargs="+", metavar="NAME", choices=families,
                        help=f"only these simulated families (from: {', '.join(families)})")
    parser.add_argument("--series", nargs="+", metavar="NAME", help="only these real series")
    parser.add_argument("--seeds", type=int, default=10,
                        help="signals per simulated family and variant; lengths cycle through "
                             "50, 100, 200, 500 and 1000 (default 10)")
    parser.add_argument("--json", type=Path, default=Path("out/defaults_eval.json"),
                        help="where to write every result (default out/defaults_eval.json)")
    args = parser.parse_args(argv)
    rows = run(args.detectors, signals(args))
    print(table(rows, args.detectors))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    report = {"margin": MARGIN, "detectors": args.detectors, "signals": rows}
    args.json.write_text(json.dumps(report, indent=1))
    print(f"results: {args.json}", file=sys.stderr)


if __name__ == "__main__":
    main()
