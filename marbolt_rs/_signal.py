"""Turning whatever the user holds into the array the compiled core reads."""

import numpy as np


def as_signal(signal):
    """A C-contiguous float64 copy of `signal`, 1-D or 2-D, every value finite.

    Accepts lists, integer or boolean arrays and array-likes such as pandas
    objects (anything `np.asarray` understands). The copy is read-only, so a
    result that keeps it cannot be changed behind its back.
    """
    raw = np.asarray(signal)
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
    x = np.array(raw, dtype=np.float64, order="C", copy=True)
    check_finite(x)
    x.flags.writeable = False
    return x


def check_finite(x):
    """Name the first non-finite sample: NaN or infinity poisons every cost it touches."""
    bad = ~np.isfinite(x)
    if not bad.any():
        return
    flat = int(np.argmax(bad.ravel()))
    sample, column = divmod(flat, 1 if x.ndim == 1 else x.shape[1])
    raise ValueError(
        f"signal has a non-finite value at sample {sample} (column {column}): "
        f"{x.ravel()[flat]}"
    )


def columns(x):
    """The signal as samples × columns, a view."""
    return x.reshape(len(x), -1)
