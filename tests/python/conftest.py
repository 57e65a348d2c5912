import re
from pathlib import Path

import numpy as np
import pytest

from marbolt_rs import _marbolt_rs as m

U64_MAX = 2**64 - 1
NILE = Path(__file__).resolve().parents[2] / "data" / "nile.csv"

# Two pairs of two-sample blocks around two levels. Centred it is
# [-4, -2, -4, -2, 2, 4, 2, 4], so every l2 cost below is exact in binary:
#   whole [0, 8)            : 80
#   [0, 4) and [4, 8)       : 4 each, so splitting at 4 gains 80 - 4 - 4 = 72
#   each two-sample block   : 2, so splitting [0, 4) at 2 gains 4 - 2 - 2 = 0
#   [2, 6) = [0, 2, 6, 8]   : 40 (merging across the step gains 40 - 4 = 36)
#   [0, 6)                  : 54 (merging [0, 4) with [4, 6) gains 54 - 6 = 48)
# With min_size 2 the only splits are 2, 4 and 6; with jump 1 the best whole-
# signal split is 4 (costs of the split totals: 56, 26.7, 8, 26.7, 56).
STEP = np.array([0.0, 2.0, 0.0, 2.0, 6.0, 8.0, 6.0, 8.0])

# Under AddressSanitizer a failed allocation aborts the process instead of
# throwing std::bad_alloc, and its shadow memory defeats address-space limits:
# tests that provoke an allocation failure can only run without it.
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()
needs_real_allocator = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer aborts on a failed allocation")

# Models whose construction needs nothing beyond the signal.
PLAIN_MODELS = ["l1", "l2", "normal", "rbf", "cosine", "rank"]


class SeededRng:
    """A NumPy generator whose repr shows the seed, so a failure can be replayed."""

    def __init__(self, seed):
        self.seed = seed
        self.gen = np.random.default_rng(seed)

    def __getattr__(self, name):
        return getattr(self.gen, name)

    def __repr__(self):
        return f"SeededRng(seed={self.seed})"


@pytest.fixture(params=[20261207])
def rng(request):
    return SeededRng(request.param)


def exact(message):
    """A `match` pattern that accepts exactly this message."""
    return f"^{re.escape(message)}$"


def make_engine(signal, model="l2", **params):
    if model == "mahalanobis" and "metric" not in params:
        d = 1 if signal.ndim < 2 else signal.shape[1]
        params["metric"] = np.eye(d)
    return m.CostEngine(signal, model, params or None)
