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
from ._io import display_name, read_signal
from ._marbolt_rs import __version__
from ._names import did_you_mean

__all__ = ["main"]

PROG = "marbolt-rs"


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    """argparse that reports a usage error as one line, not usage text plus error."""

    def error(self, message):
        raise UsageError(message)


def penalty(text):
    """--pen: a number, or the name of a named penalty (checked with the request)."""
    try:
        return float(text)
    except ValueError:
        return text


def build_parser():
    p = Parser(prog=PROG, description="Find change points in the signals of CSV or .npy "
               "files (one column per dimension; a non-numeric first CSV row is a header; "
               "- reads standard input). Lines and columns count from 1.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--column", action="append", metavar="NAME_OR_NUMBER",
                   help="measure this column (repeatable; default: all but the index "
                   "column, and with an index column only those holding numbers)")
    p.add_argument("--index-column", metavar="NAME_OR_NUMBER",
                   help="CSV column that labels the samples (years, dates, ...); the "
                   "changes are then printed as the labels of their first samples")
    p.add_argument("--model", help=f"segment cost: {', '.join(MODELS)} (default: chosen "
                   "from the data, a level or a trend, as detect does without a model)")
    p.add_argument("--method", help=f"search: {', '.join(METHODS)} (default: pelt, or dynp "
                   "when only --n-bkps is given)")
    p.add_argument("--pen", type=penalty, help="penalty per change: a number, or aic, bic, hq "
                   "or mbic (default: the model's default penalty, unless --n-bkps or "
                   "--epsilon is given)")
    p.add_argument("--period", type=int, help="remove a seasonal profile of this many "
                   "samples first (0: never; default: found from the data when no model is "
                   "named)")
    p.add_argument("--n-bkps", type=int, help="number of changes (alone: the exact search "
                   "for that many, dynp)")
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
    labels of its changes; with ``--json``, one JSON object per file, with
    the columns measured) on stdout; the file ``-`` is standard input. When
    the command chose the columns (no ``--column``), a line on stderr names
    those it measured and those it left out: with an index column, only the
    columns that hold numbers are measured. Bad usage or input is one line
    on stderr, ``marbolt-rs: error: ...``, which counts lines and columns
    from 1, as ``--column`` does.

    Parameters
    ----------
    argv : sequence of str, optional
        The command-line arguments after the program name; those of the
        process when None.

    Returns
    -------
    int
        The exit status: 0, 1 for bad input (a file that cannot be read or
        searched), 2 for bad usage.

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
        args = parse(build_parser(), argv)
        options = {"pen": args.pen, "n_bkps": args.n_bkps, "epsilon": args.epsilon,
                   "jump": args.jump, "min_size": args.min_size, "period": args.period}
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
        return fail(f"{display_name(path)}: {describe(error)}", 1)
    bar.close()
    for path, read, _ in results:
        note(path, read, chosen=bool(args.column), indexed=args.index_column is not None)
    print(render(results, args.json))
    return 0


def parse(parser, argv):
    """The arguments; an unknown option is refused with the likely one."""
    args, unknown = parser.parse_known_args(argv)
    for token in unknown:
        if token.startswith("-") and token != "-":
            options = [o for action in parser._actions for o in action.option_strings]
            hint = did_you_mean(token.split("=")[0], options)
            raise UsageError(f"unrecognized option: {token}" + (f".{hint}" if hint else ""))
    if unknown:
        raise UsageError(f"unrecognized arguments: {' '.join(unknown)}")
    return args


def run_file(path, args, request):
    read = read_signal(path, args.column, args.index_column)
    result = detect_checked(read.data, request, index=read.labels)
    if args.plot:
        save_plot(result, plot_path(args.plot, path, len(args.files)))
    return path, read, result


def note(path, read, chosen, indexed):
    """Say on stderr which columns were measured when the command chose them,
    and which it left out; a column that only rises is named, as it may be a
    time axis measured by mistake."""
    if chosen or (len(read.columns) == 1 and not read.skipped and not indexed):
        return
    text = f"measured {', '.join(map(str, read.columns))}"
    if read.skipped:
        text += f"; not numbers, left out: {', '.join(map(str, read.skipped))}"
    rising = [name for name, column in zip(read.columns, read.data.T)
              if len(column) > 2 and np.all(np.diff(column) > 0)]
    if rising:
        text += (f"; {', '.join(map(str, rising))} only rise{'s' if len(rising) == 1 else ''}"
                 " (a time axis? leave it out with --column, or name it with --index-column)")
    print(f"{PROG}: {display_name(path)}: {text}", file=sys.stderr)


def render(results, as_json):
    """The breakpoints of each file, or with an index the labels of its changes."""
    if as_json:
        objects = [describe_result(path, read, r) for path, read, r in results]
        return json.dumps(objects[0] if len(objects) == 1 else objects, indent=2)
    found = [(display_name(path), " ".join(map(str, answer(r)))) for path, _, r in results]
    if len(found) == 1:
        return found[0][1]
    return "\n".join(f"{path}: {text}" for path, text in found)


def describe_result(path, read, result):
    described = {"file": display_name(path), "columns": read.columns,
                 "n_samples": len(result.signal), "model": result.model,
                 "method": result.method, "breakpoints": result.breakpoints,
                 "cost": result.cost, "penalty": result.penalty,
                 "penalty_rule": result.penalty_rule,
                 "seasonal_period": None if result.season is None else result.season.period}
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
    stem = "stdin" if source == "-" else pathlib.Path(source).stem
    return target.with_name(f"{target.stem}-{stem}{target.suffix}")


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
