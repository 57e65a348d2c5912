"""The `marbolt-rs` command: change points of the signals in CSV or .npy files.

Run it as ``marbolt-rs FILE ...`` or ``python -m marbolt_rs FILE ...``;
``marbolt-rs --help`` lists the options.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
from collections.abc import Sequence

import numpy as np

from ._arguments import METHODS, MODELS, check_request
from ._detect import detect_checked
from ._io import read_signal
from ._marbolt_rs import __version__

__all__ = ["main"]

PROG = "marbolt-rs"


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    """argparse that reports a usage error as one line, not usage text plus error."""

    def error(self, message):
        raise UsageError(message)


def build_parser():
    p = Parser(prog=PROG, description="Find change points in the signals of CSV or .npy "
               "files (one column per dimension; a non-numeric first CSV row is a header).")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--column", action="append", metavar="NAME_OR_INDEX",
                   help="use this column (repeatable; default: all but the index column)")
    p.add_argument("--index-column", metavar="NAME_OR_INDEX",
                   help="CSV column that labels the samples (years, dates, ...); the "
                   "changes are then printed as the labels of their first samples")
    p.add_argument("--model", default="l2", choices=MODELS)
    p.add_argument("--method", default="pelt", choices=METHODS)
    p.add_argument("--pen", type=float, help="penalty per change (default: the model's default penalty, unless "
                   "--n-bkps or --epsilon is given)")
    p.add_argument("--n-bkps", type=int, help="number of changes")
    p.add_argument("--epsilon", type=float, help="bound on the total cost")
    p.add_argument("--jump", type=int, default=1, help="grid step of breakpoints")
    p.add_argument("--min-size", type=int, help="shortest segment")
    p.add_argument("--width", type=int, help="window width (method window)")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.add_argument("--plot", metavar="PNG", help="draw the segmentation to this file")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command: find the change points of each file and print them.

    Prints the breakpoints of each file (or, with ``--index-column``, the
    labels of its changes; with ``--json``, one JSON object per file) on
    stdout. Bad usage or input is one line on stderr,
    ``marbolt-rs: error: ...``.

    Parameters
    ----------
    argv : sequence of str, optional
        The command-line arguments after the program name; those of the
        process when None.

    Returns
    -------
    int
        The exit status: 0, 1 for bad input (a file that cannot be read or
        searched), 2 for bad usage, 130 when Ctrl-C stopped a search.

    Raises
    ------
    SystemExit
        For ``--help`` and ``--version``, after printing them.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from marbolt_rs.cli import main
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "levels.csv"
    >>> rows = [f"{1900 + i},{0 if i < 30 else 5}" for i in range(60)]
    >>> _ = path.write_text("year,level\\n" + "\\n".join(rows) + "\\n")
    >>> main([str(path), "--column", "level"])
    30 60
    0
    >>> main([str(path), "--index-column", "year"])
    1930
    0
    """
    try:
        args = build_parser().parse_args(argv)
        options = {"pen": args.pen, "n_bkps": args.n_bkps, "epsilon": args.epsilon,
                   "jump": args.jump, "min_size": args.min_size}
        if args.width is not None:
            options["width"] = args.width
        request = check_request(args.model, args.method, **options)
    except (UsageError, ValueError, TypeError) as error:
        return fail(error, 2)
    results = []
    bar = progress(len(args.files))
    try:
        for path in args.files:
            results.append(run_file(path, args, request))
            bar.update()
    except (OSError, ValueError, TypeError, RuntimeError, ImportError) as error:
        bar.close()  # so that the error starts a line of its own
        return fail(f"{path}: {describe(error)}", 1)
    except KeyboardInterrupt:
        bar.close()
        return fail("interrupted", 130)
    bar.close()
    print(render(results, args.json))
    return 0


def run_file(path, args, request):
    signal, labels = read_signal(path, args.column, args.index_column)
    result = detect_checked(signal, request, index=labels)
    if args.plot:
        save_plot(result, plot_path(args.plot, path, len(args.files)))
    return path, result


def render(results, as_json):
    """The breakpoints of each file, or with an index the labels of its changes."""
    if as_json:
        objects = [describe_result(path, r) for path, r in results]
        return json.dumps(objects[0] if len(objects) == 1 else objects, indent=2)
    found = [(path, " ".join(map(str, answer(r)))) for path, r in results]
    if len(found) == 1:
        return found[0][1]
    return "\n".join(f"{path}: {text}" for path, text in found)


def describe_result(path, result):
    described = {"file": path, "n_samples": len(result.signal), "model": result.model,
                 "method": result.method, "breakpoints": result.breakpoints,
                 "cost": result.cost, "penalty": result.penalty,
                 "penalty_rule": result.penalty_rule}
    if result.index is not None:
        described["labels"] = answer(result)
    return described


def answer(result):
    """The labels of the changes when the file named an index column, else the breakpoints."""
    if result.index is None:
        return result.breakpoints
    return [str(label) if isinstance(label, (np.datetime64, str)) else label
            for label in result.labels]


def plot_path(target, source, n_files):
    """With several files, out.png becomes out-<file stem>.png for each."""
    target = pathlib.Path(target)
    if n_files == 1:
        return target
    return target.with_name(f"{target.stem}-{pathlib.Path(source).stem}{target.suffix}")


def save_plot(result, path):
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError("--plot needs matplotlib (Debian: python3-matplotlib)") from error
    # A bare Figure needs no GUI backend and leaves pyplot's global state alone.
    figure = Figure(figsize=(9, 3.5))
    result.plot(ax=figure.subplots())
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)


class NoBar:
    def update(self):
        pass

    def close(self):
        pass


def progress(n_files):
    """A tqdm bar on stderr for several files (none without tqdm)."""
    if n_files < 2:
        return NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return NoBar()
    return tqdm(total=n_files, unit="file", leave=False)


def describe(error):
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


def fail(message, status):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
