"""Reading signals from files for the command line: CSV and NumPy .npy, from a
path or, for "-", from standard input.

Messages count lines, rows and columns from 1, as editors and spreadsheets
do, and `--column 2` means the second column.
"""

import csv
import io
import pathlib
import sys
from dataclasses import dataclass

import numpy as np

# Delimiters a CSV file may use; guessing among more ('.', ' ') misreads numbers.
DELIMITERS = ",;\t"
# Cells that stand for a missing value (pandas reads the same as NaN).
MISSING = frozenset({"", "na", "n/a", "nan", "-nan", "null", "none", "<na>", "#n/a", "#na",
                     "nat"})
NPY_MAGIC = b"\x93NUMPY"
STDIN = "-"


class InputError(ValueError):
    """A file that cannot be read as a signal; the message names the place."""


@dataclass(frozen=True)
class Signal:
    """What was read: samples × measured columns, the labels of the samples
    (None without an index column), the names of the measured columns, and
    the columns left out because they hold no numbers."""

    data: np.ndarray
    labels: object
    columns: list
    skipped: list


def display_name(path):
    return "<stdin>" if str(path) == STDIN else str(path)


def read_signal(path, selected=None, index_column=None):
    """The signal in `path` ("-": standard input), as a `Signal`.

    `selected` holds column names (CSV with a header) or numbers counted from
    1, given as str or int; None measures every column but the index column,
    and with an index column only those that hold numbers. `index_column`
    (a name or a number, CSV only) names the column whose cells label the
    samples instead of being measured.
    """
    raw = sys.stdin.buffer.read() if str(path) == STDIN else pathlib.Path(path).read_bytes()
    if raw.startswith(NPY_MAGIC) or pathlib.Path(str(path)).suffix.lower() == ".npy":
        return _read_npy(raw, selected, index_column)
    try:
        text = raw.decode("utf-8-sig")  # a spreadsheet's BOM is not part of a name
    except UnicodeDecodeError as error:
        raise InputError(f"not a UTF-8 text file ({error.reason} at byte {error.start})") \
            from None
    return _read_csv(text, selected, index_column)


def _read_npy(raw, selected, index_column):
    if index_column is not None:
        raise InputError("an .npy file holds no labels; --index-column needs a CSV file")
    try:
        data = np.load(io.BytesIO(raw), allow_pickle=False)
    except ValueError as error:
        raise InputError(f"not a readable .npy file ({error})") from None
    if data.ndim not in (1, 2):
        raise InputError(f"holds a {data.ndim}-D array; a signal is 1-D or 2-D")
    data = data.reshape(len(data), -1)
    picked = ([_column_index(token, None, data.shape[1]) for token in selected] if selected
              else list(range(data.shape[1])))
    data = data[:, picked]
    if data.dtype.kind == "f" and np.isnan(data).any():
        row, k = np.argwhere(np.isnan(data))[0]
        raise InputError(_missing_message(int(np.isnan(data).sum()),
                                          f"row {row + 1}, column {picked[k] + 1}"))
    return Signal(data, None, [f"column {j + 1}" for j in picked], [])


def _read_csv(text, selected, index_column):
    rows = _csv_rows(text)
    first = [c.strip() for c in rows[0][1]]
    width = len(first)
    index_at = None
    if index_column is not None:
        token = str(index_column)
        header = None if all(_is_value(c) for c in first) else first
        index_at = first.index(token) if token in first else _column_index(token, header, width)
    names = None
    if not all(_is_value(c) for j, c in enumerate(first) if j != index_at):
        names = first
        rows = rows[1:]
        if not rows:
            raise InputError("holds a header but no data")
    for line, row in rows:
        if len(row) != width:
            raise InputError(f"line {line} has {len(row)} fields, expected {width}")
    skipped = []
    if selected:
        picked = [_column_index(token, names, width) for token in selected]
    else:
        picked = [j for j in range(width) if j != index_at]
        if index_at is not None:
            skipped = [j for j in picked if not all(_is_value(row[j]) for _, row in rows)]
            picked = [j for j in picked if j not in skipped]
            if not picked:
                raise InputError("no column but the index column holds numbers")
    data = _numbers(rows, picked, hint=not selected)
    labels = None if index_at is None else _labels([row[index_at].strip() for _, row in rows])
    title = (lambda j: names[j]) if names else (lambda j: f"column {j + 1}")
    return Signal(data, labels, [title(j) for j in picked], [title(j) for j in skipped])


def _numbers(rows, picked, hint):
    """The picked columns as floats; a missing cell is refused with the count
    of them all, a cell that is no number or not finite with its place."""
    data = np.empty((len(rows), len(picked)))
    first_missing, n_missing = None, 0
    for i, (line, row) in enumerate(rows):
        for k, j in enumerate(picked):
            cell = row[j].strip()
            if cell.lower() in MISSING:
                n_missing += 1
                first_missing = first_missing or f"line {line}, column {j + 1} ({cell!r})"
                continue
            try:
                data[i, k] = float(cell)
            except ValueError:
                advice = ("; choose columns with --column, or name the column that labels "
                          "the samples with --index-column") if hint else ""
                raise InputError(f"line {line}, column {j + 1}: not a number: {row[j]!r}"
                                 f"{advice}") from None
            if not np.isfinite(data[i, k]):
                raise InputError(f"line {line}, column {j + 1}: not a finite number: "
                                 f"{row[j]!r}")
    if n_missing:
        raise InputError(_missing_message(n_missing, first_missing))
    return data


def _missing_message(count, place):
    return (f"holds {count} missing value{'s' if count > 1 else ''}, the first at {place}; "
            "drop or fill them first")


def _csv_rows(text):
    """The non-blank rows of the text, each with its line number."""
    try:
        dialect = csv.Sniffer().sniff(text[:8192], delimiters=DELIMITERS)
    except csv.Error:
        dialect = csv.excel
    reader = csv.reader(io.StringIO(text), dialect)
    rows = [(reader.line_num, row) for row in reader if any(c.strip() for c in row)]
    if not rows:
        raise InputError("holds no data")
    return rows


def _labels(cells):
    """Sample labels from their text: integers, numbers, ISO dates and times, or the text."""
    for kind in (int, float):
        try:
            return np.array([kind(c) for c in cells])
        except ValueError:
            pass
    try:
        return np.array(cells, dtype="datetime64")
    except ValueError:
        return np.array(cells, dtype=object)


def _is_value(cell):
    """A number, or a cell that stands for a missing one: what a data row holds."""
    if cell.strip().lower() in MISSING:
        return True
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _column_index(token, names, width):
    """The 0-based position of the column named by `token`: a header name, or
    a number counted from 1."""
    token = str(token)
    if names is not None and token in names:
        return names.index(token)
    try:
        number = int(token)
    except ValueError:
        known = f" (columns: {', '.join(names)})" if names else " (the file has no header)"
        raise InputError(f"no column named {token!r}{known}") from None
    if not 1 <= number <= width:
        raise InputError(f"there is no column {number}: columns are numbered from 1 to "
                         f"{width}")
    return number - 1
