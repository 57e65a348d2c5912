"""Offline change-point detection with a compiled C++ core."""

try:
    from . import _marbolt_rs
except ImportError as error:  # pragma: no cover - only outside an installation
    raise ImportError(
        "marbolt_rs was imported from a directory that holds its sources but not its "
        "compiled core; install it (`make install`, or `pip install --no-build-isolation .`) "
        "and import it from outside the source tree"
    ) from error

from ._marbolt_rs import *  # noqa: F401,F403
from ._marbolt_rs import __version__
from . import datasets, metrics
from ._detect import Detection, detect
from ._many import detect_many
from ._path import PathEntry, PenaltyPath, penalty_path
from ._penalty import default_penalty

__all__ = [name for name in dir(_marbolt_rs) if not name.startswith("_")] + [
    "Detection", "detect", "detect_many", "PathEntry", "PenaltyPath", "penalty_path",
    "default_penalty", "datasets", "metrics"]
