import re

import numpy as np
import pytest

from marbolt_rs import _marbolt_rs as m

# Models whose construction needs nothing beyond the signal.
PLAIN_MODELS = ["l2", "normal"]


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
