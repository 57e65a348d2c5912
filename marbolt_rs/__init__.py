"""Offline change-point detection with a compiled C++ core."""

from . import _marbolt_rs
from ._marbolt_rs import *  # noqa: F401,F403
from ._marbolt_rs import __version__

__all__ = ["_marbolt_rs", "__version__"]
