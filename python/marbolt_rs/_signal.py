"""Turning whatever the user holds into the array the compiled core reads,
and the labels of its samples back into answers."""

import os
import sys
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def as_signal(signal):
    """A C-contiguous float64 copy of `signal`, 1-D or 2-D, every value finite.

    Accepts lists, integer or boolean arrays and array-likes such as pandas
    objects (anything `np.asarray` understands). The copy is read-only, so a
    result that keeps it cannot be changed behind its back.
    """
    raw = _as_array(signal)
    if raw.dtype.kind == "O":
        try:
            raw = raw.astype(np.float64)
        except (TypeError, ValueError):
            pass
    if raw.dtype.kind not in "biuf":
        raise TypeError(f"signal must hold real numbers, got dtype {raw.dtype}")
    if raw.ndim not in (1, 2):
        raise ValueError(f"signal must be 1-D or 2-D, got {raw.ndim}-D with shape {raw.shape}")
    if raw.shape[0] == 0:
        raise ValueError("signal has no samples")
    if raw.ndim == 2 and raw.shape[1] == 0:
        raise ValueError("signal has no columns")
    if raw.ndim == 2 and raw.shape[0] == 1 and raw.shape[1] > 1:
        warnings.warn(f"signal has shape {raw.shape}: read as one sample of {raw.shape[1]} "
                      "columns, which holds no change; for one column of "
                      f"{raw.shape[1]} samples pass x.ravel() (or x.T)", UserWarning,
                      stacklevel=_caller_level())
    x = np.array(raw, dtype=np.float64, order="C", copy=True)
    check_finite(x)
    x.flags.writeable = False
    return x


def _as_array(signal):
    """`signal` as a NumPy array; pandas' missing values (NA in nullable
    dtypes, None in object columns) become NaN, so that they are named as
    missing rather than as a dtype that holds no numbers."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(signal, (pd.Series, pd.DataFrame)):
        try:
            return signal.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            pass
    return np.asarray(signal)


def _caller_level():
    """The stack level of the first caller outside the package, for a warning
    that points at the line that passed the signal."""
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.dirname(frame.f_code.co_filename) == HERE:
        frame, level = frame.f_back, level + 1
    return level


def check_finite(x):
    """Name the first non-finite sample: NaN or infinity poisons every cost it
    touches. A NaN is a missing value (pandas' NA becomes one): the message
    counts them, so that a column with gaps is told apart from one bad value."""
    bad = ~np.isfinite(x)
    if not bad.any():
        return
    flat = int(np.argmax(bad.ravel()))
    sample, column = divmod(flat, 1 if x.ndim == 1 else x.shape[1])
    value = x.ravel()[flat]
    if np.isnan(value):
        missing = int(np.count_nonzero(np.isnan(x)))
        raise ValueError(
            f"signal has {missing} missing value{'s' if missing > 1 else ''} (NaN or NA), "
            f"the first at sample {sample} (column {column}); drop or fill them first")
    raise ValueError(f"signal has a non-finite value at sample {sample} (column {column}): "
                     f"{value}")


def columns(x):
    """The signal as samples × columns, a view."""
    return x.reshape(len(x), -1)


def pandas_parts(signal):
    """The index and the column names of a pandas Series or DataFrame, else (None, None).

    pandas is looked up among the modules already imported, never imported
    here: nothing can be a pandas object unless pandas made it. A Series
    without a name has no column name.
    """
    pd = sys.modules.get("pandas")
    if pd is None:
        return None, None
    if isinstance(signal, pd.DataFrame):
        for name, dtype in signal.dtypes.items():
            if dtype.kind not in "biuf":
                raise TypeError(f"signal column {name!r} must hold real numbers, got dtype {dtype}")
        return signal.index, tuple(signal.columns)
    if isinstance(signal, pd.Series):
        return signal.index, None if signal.name is None else (signal.name,)
    return None, None


def label_at(index, position):
    """The label of sample `position`: a plain int or float for numbers, else as
    the index holds it (a Timestamp for a DatetimeIndex)."""
    if index is None:
        return position
    label = index[position]
    if isinstance(label, np.generic) and label.dtype.kind in "biuf":
        return label.item()
    return label


def change_labels(index, breakpoints):
    """The label of the first sample of every new segment: one per change point
    (the closing n starts no segment)."""
    return [label_at(index, b) for b in breakpoints[:-1]]
