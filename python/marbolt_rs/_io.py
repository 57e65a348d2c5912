"""Reading signals from files for the command line: CSV and NumPy .npy."""

import csv
import io
import pathlib

import numpy as np

# Delimiters a CSV file may use; guessing among more ('.', ' ') misreads numbers.
DELIMITERS = ",;\t"


class InputError(ValueError):
    """A file that cannot be read as a signal; the message names the place."""


def read_signal(path, selected=None, index_column=None):
    """The signal in `path` as samples × columns, and the labels of its samples.

    `selected` holds column names (CSV with a header) or 0-based indices,
    given as str or int; None keeps every column but the index column.
    `index_column` (a name or an index, CSV only) names the column whose
    cells label the samples instead of being measured; the labels are None
    without it.
    """
    path = pathlib.Path(path)
    if path.suffix.lower() != ".npy":
        return _read_csv(path, selected, index_column)
    if index_column is not None:
        raise InputError("an .npy file holds no labels; --index-column needs a CSV file")
    data = _read_npy(path)
    if selected:
        data = data[:, [_column_index(token, None, data.shape[1]) for token in selected]]
    return data, None


def _read_npy(path):
    try:
        data = np.load(path, allow_pickle=False)
    except ValueError as error:
        raise InputError(f"not a readable .npy file ({error})") from None
    if data.ndim not in (1, 2):
        raise InputError(f"holds a {data.ndim}-D array; a signal is 1-D or 2-D")
    return data.reshape(len(data), -1)


def _read_csv(path, selected, index_column):
    rows = _csv_rows(path)
    first = [c.strip() for c in rows[0][1]]
    width = len(first)
    index_at = None
    if index_column is not None:
        token = str(index_column)
        header = None if all(_is_number(c) for c in first) else first
        index_at = first.index(token) if token in first else _column_index(token, header, width)
    names = None
    if not all(_is_number(c) for j, c in enumerate(first) if j != index_at):
        names = first
        rows = rows[1:]
        if not rows:
            raise InputError("holds a header but no data")
    for line, row in rows:
        if len(row) != width:
            raise InputError(f"line {line} has {len(row)} fields, expected {width}")
    if selected:
        picked = [_column_index(token, names, width) for token in selected]
    else:
        picked = [j for j in range(width) if j != index_at]
    data = np.empty((len(rows), len(picked)))
    for i, (line, row) in enumerate(rows):
        for k, j in enumerate(picked):
            try:
                data[i, k] = float(row[j])
            except ValueError:
                raise InputError(f"line {line}, column {j}: not a number: {row[j]!r}") from None
    labels = None if index_at is None else _labels([row[index_at].strip() for _, row in rows])
    return data, labels


def _csv_rows(path):
    """The non-blank rows of the file, each with its line number."""
    text = path.read_text(encoding="utf-8-sig")  # a spreadsheet's BOM is not part of a name
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


def _is_number(cell):
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _column_index(token, names, width):
    token = str(token)
    if names is not None and token in names:
        return names.index(token)
    try:
        index = int(token)
    except ValueError:
        known = f" (columns: {', '.join(names)})" if names else " (the file has no header)"
        raise InputError(f"no column named {token!r}{known}") from None
    if not 0 <= index < width:
        raise InputError(f"column index {index} is out of range for {width} column(s)")
    return index
