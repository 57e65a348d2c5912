"""The detectors that `bench/evaluate_defaults.py` can score, by name.

A detector takes a one-dimensional float64 signal and returns a breakpoint
list (ascending, ending with the number of samples). Add one with
`@detector("name")`; `evaluate_defaults.py --detectors name` then scores it.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable

import numpy as np

import marbolt_rs

Detector = Callable[[np.ndarray], list[int]]
DETECTORS: dict[str, Detector] = {}


def detector(name: str) -> Callable[[Detector], Detector]:
    def register(function: Detector) -> Detector:
        DETECTORS[name] = function
        return function
    return register


@detector("zero")
def zero(x: np.ndarray) -> list[int]:
    """No change at all."""
    return [len(x)]


@detector("current")
def current(x: np.ndarray) -> list[int]:
    """`detect` with every default, as the installed package has them."""
    return marbolt_rs.detect(x).breakpoints


@detector("old")
def old(x: np.ndarray) -> list[int]:
    """The default before issue 20, kept fixed: PELT on "l2" at 2·log(n)·σ².

    σ from the first differences: 1.4826 times their median absolute
    deviation, over √2; the plain standard deviation of the differences when
    that median deviation is 0 (over half the differences equal).
    """
    steps = np.diff(x)
    spread = np.median(np.abs(steps - np.median(steps)))
    sigma = (1.4826 * spread if spread > 0 else np.std(steps)) / math.sqrt(2.0)
    return marbolt_rs.detect(x, pen=2.0 * math.log(len(x)) * sigma * sigma).breakpoints


@detector("binseg_mbic")
def binseg_mbic(x: np.ndarray) -> list[int]:
    """The best default of van den Burg & Williams (2020), approximately.

    Binary segmentation on the standardised signal (mean 0, variance 1) with
    the change-independent part of MBIC (Zhang & Siegmund 2007) as the price
    of a change in mean: 3·log(n). The segment-length term of MBIC is left out.
    """
    sd = np.std(x)
    z = (x - np.mean(x)) / (sd if sd > 0 else 1.0)
    return marbolt_rs.detect(z, method="binseg", pen=3.0 * math.log(len(x))).breakpoints


def _named(model: str, method: str | None = None) -> Detector:
    def run(x: np.ndarray) -> list[int]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", marbolt_rs.ImplausibleSegmentation)
            return marbolt_rs.detect(x, model, method).breakpoints
    run.__doc__ = f'`detect(x, "{model}"{f", {method!r}" if method else ""})`: a named model at its default penalty.'
    return run


# What a user tries after the default: a named model, or another search.
for _model in ("l2", "l1", "normal", "rbf"):
    detector(_model)(_named(_model))
detector("l2_binseg")(_named("l2", "binseg"))
