"""Offline change-point detection with a compiled C++ core.

The package has two layers.

The Python layer finds the changes of a signal in one call and explains them:

- `detect` runs one search on one signal (NumPy or pandas) and returns a
  `Detection`: the breakpoints, their index labels, a per-segment
  ``summary()``, ``confidence_intervals()`` of the change locations (each a
  `ChangeInterval` that says what changed) and ``plot()``;
- `detect_many` does the same for many signals, concurrently;
- `penalty_path` gives every PELT segmentation over a range of penalties,
  a `PenaltyPath` of `PathEntry`;
- `fits` tabulates the best segmentation for every number of changes, with
  its cost, BIC and MBIC;
- `default_penalty` is the penalty used when none is given;
- `datasets` makes test signals (and holds the Nile series), `metrics`
  scores a segmentation against the true one, and `cli` is the
  ``marbolt-rs`` command.

The compiled layer is one core in two extension modules. The Python layer
calls the package's own, `marbolt_rs._native`, which serves every model
("poisson", "exponential" and "variance" among them). The fixed interface,
`marbolt_rs._marbolt_rs`, serves the ten models it was published with; its
names are re-exported here for exact control.
`CostEngine(signal, model, params=None, variant=None)` fits a cost model to a
float64 signal once; the searches take an engine and plain numbers, check
them, and release the interpreter lock while they run:
``pelt(engine, pen, jump, min_size)``,
``kernel_pelt(engine, pen, min_size)``,
``dynp(engine, n_bkps, jump, min_size)``,
``dynp_all(engine, n_bkps, jump, min_size)``,
``binseg(engine, jump, min_size, n_bkps=None, pen=None, epsilon=None)``,
``bottomup(...)`` (the same arguments),
``window_fit(engine, width, jump)`` with
``window_predict(engine, inds, score, width, jump, min_size, n_bkps=None,
pen=None, epsilon=None)``, and ``crops(engine, pen_min, pen_max, jump,
min_size)``; ``sanity_check(n_samples, n_bkps, jump, min_size)`` and
``check_outer_memory(n, d, model)`` answer questions of size. Their names,
signatures and messages are a fixed interface, described by the type stub
``_marbolt_rs.pyi`` and the README ("The compiled module"); bad arguments
raise TypeError, OverflowError or ValueError.

Examples
--------
>>> import marbolt_rs
>>> from marbolt_rs.datasets import load_nile
>>> flow = load_nile().flow
>>> marbolt_rs.detect(flow).breakpoints
[28, 100]
>>> engine = marbolt_rs.CostEngine(flow, "l2")
>>> marbolt_rs.pelt(engine, 1.5e5, 1, 2)
[28, 100]
"""

try:
    from . import _marbolt_rs
except ImportError as error:  # pragma: no cover - only outside an installation
    raise ImportError(
        "marbolt_rs was imported from a directory that holds its sources but not its "
        "compiled core; install it (`make install`, or `pip install --no-build-isolation .`) "
        "and import it from outside the source tree"
    ) from error

from . import datasets, metrics
from ._auto import Season
from ._detect import Detection, ImplausibleSegmentation, detect
from ._fits import fits
from ._intervals import ChangeInterval
from ._many import detect_many
from ._marbolt_rs import __version__ as __version__
from ._marbolt_rs import (
    CostEngine,
    binseg,
    bottomup,
    check_outer_memory,
    crops,
    dynp,
    dynp_all,
    kernel_pelt,
    pelt,
    sanity_check,
    window_fit,
    window_predict,
)
from ._path import PathEntry, PenaltyPath, penalty_path
from ._penalty import default_penalty

__all__ = [
    # The Python layer.
    "Detection", "detect", "ChangeInterval", "ImplausibleSegmentation", "Season",
    "detect_many", "PathEntry", "PenaltyPath", "penalty_path", "fits",
    "default_penalty", "datasets", "metrics",
    # The compiled layer (marbolt_rs._marbolt_rs).
    "CostEngine", "pelt", "kernel_pelt", "dynp", "dynp_all", "binseg", "bottomup",
    "window_fit", "window_predict", "crops", "sanity_check", "check_outer_memory",
]
