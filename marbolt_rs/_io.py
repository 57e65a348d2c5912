"""Reading signals from files for the command line: CSV and NumPy .npy."""

import csv
import io
import pathlib

import numpy as np

# Delimiters a CSV file may use; guessing among more ('.', ' ') misreads numbers.
DELIMITERS = ",;\t"


class InputError(ValueError):
    """A file that cannot be read as a signal; the message names the place."""


def read_signal(path, selected=None):
    """The signal in `path` as samples × columns, restricted to `selected` columns.

    `selected` holds column names (CSV with a header) or 0-based indices,
    given as str or int; None keeps every column.
    """
    path = pathlib.Path(path)
    if path.suffix.lower() == ".npy":
        data, names = _read_npy(path), None
    else:
        data, names = _read_csv(path)
    if not selected:
        return data
    return data[:, [_column_index(path, token, names, data.shape[1]) for token in selected]]


def _read_npy(path):
    try:
        data = np.load(path, allow_pickle=False)
    except ValueError as error:
        raise InputError(f"not a readable .npy file ({error})") from None
    if data.ndim not in (1, 2):
        raise InputError(f"holds a {data.ndim}-D array; a signal is 1-D or 2-D")
    return data.reshape(len(data), -1)


def _read_csv(path):
    text = path.read_text(encoding="utf-8-sig")  # a spreadsheet's BOM is not part of a name
    try:
        dialect = csv.Sniffer().sniff(text[:8192], delimiters=DELIMITERS)
    except csv.Error:
        dialect = csv.excel
    reader = csv.reader(io.StringIO(text), dialect)
    rows = [(reader.line_num, row) for row in reader if any(c.strip() for c in row)]
    if not rows:
        raise InputError("holds no data")
    names = None
    if not all(_is_number(c) for c in rows[0][1]):
        names = [c.strip() for c in rows[0][1]]
        rows = rows[1:]
        if not rows:
            raise InputError("holds a header but no data")
    width = len(rows[0][1])
    data = np.empty((len(rows), width))
    for i, (line, row) in enumerate(rows):
        if len(row) != width:
            raise InputError(f"line {line} has {len(row)} fields, expected {width}")
        for j, cell in enumerate(row):
            try:
                data[i, j] = float(cell)
            except ValueError:
                raise InputError(f"line {line}, column {j}: not a number: {cell!r}") from None
    return data, names


def _is_number(cell):
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _column_index(path, token, names, width):
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
