"""The package's own compiled module: the same core and searches as the fixed
interface `_marbolt_rs`, with every model of the core's table (the published
ten and the package's own, listed by `models`), each signal checked by its
model, and an engine that reports its model's resolved options. Not a
fixed interface: the package is its caller.

Breakpoint lists are ascending lists of int ending with the number of samples.
Counts (`n_bkps`, `jump`, `min_size`, `width`, ...) are non-negative ints or
objects with `__index__`; penalties and thresholds are floats or ints.
"""

from collections.abc import Mapping, Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__version__: str
models: tuple[str, ...]

_Signal = npt.NDArray[np.float64]
_Real = SupportsFloat | SupportsIndex

@final
class Engine:
    """A fitted cost function over a fixed signal."""

    def __new__(
        cls,
        signal: _Signal,
        model: str,
        params: Mapping[str, Any] | None = None,
        variant: str | None = None,
    ) -> Engine: ...
    @property
    def n_samples(self) -> int: ...
    @property
    def gamma(self) -> float | None: ...
    @property
    def min_size(self) -> int: ...
    @property
    def model(self) -> str: ...
    @property
    def params(self) -> dict[str, Any]: ...
    def error(self, start: SupportsIndex, end: SupportsIndex) -> float: ...
    def sum_of_costs(self, bkps: Sequence[SupportsIndex]) -> float: ...

def dynp(engine: Engine, n_bkps: SupportsIndex, jump: SupportsIndex, min_size: SupportsIndex) -> list[int]: ...
def dynp_all(
    engine: Engine, n_bkps: SupportsIndex, jump: SupportsIndex, min_size: SupportsIndex
) -> list[list[int] | None]:
    """Every optimal segmentation from 1 to `n_bkps` breakpoints, from one pass."""

def pelt(engine: Engine, pen: _Real, jump: SupportsIndex, min_size: SupportsIndex) -> list[int]: ...
def kernel_pelt(engine: Engine, pen: _Real, min_size: SupportsIndex) -> list[int]: ...
def binseg(
    engine: Engine,
    jump: SupportsIndex,
    min_size: SupportsIndex,
    n_bkps: SupportsIndex | None = None,
    pen: _Real | None = None,
    epsilon: _Real | None = None,
) -> list[int]: ...
def bottomup(
    engine: Engine,
    jump: SupportsIndex,
    min_size: SupportsIndex,
    n_bkps: SupportsIndex | None = None,
    pen: _Real | None = None,
    epsilon: _Real | None = None,
) -> list[int]: ...
def window_fit(engine: Engine, width: SupportsIndex, jump: SupportsIndex) -> tuple[list[int], list[float]]: ...
def window_predict(
    engine: Engine,
    inds: Sequence[SupportsIndex],
    score: Sequence[_Real],
    width: SupportsIndex,
    jump: SupportsIndex,
    min_size: SupportsIndex,
    n_bkps: SupportsIndex | None = None,
    pen: _Real | None = None,
    epsilon: _Real | None = None,
) -> list[int]: ...
def crops(
    engine: Engine, pen_min: _Real, pen_max: _Real, jump: SupportsIndex, min_size: SupportsIndex
) -> list[tuple[float, float, list[int]]]: ...
def sanity_check(
    n_samples: SupportsIndex, n_bkps: SupportsIndex, jump: SupportsIndex, min_size: SupportsIndex
) -> bool: ...
def check_outer_memory(n: SupportsIndex, d: SupportsIndex, model: str) -> None:
    """Raise ValueError when an (n + 1) x d x d covariance table would exceed the memory budget."""
