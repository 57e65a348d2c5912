"""The robust l1 and rank costs: engine construction, worked costs, and every search on them."""

import numpy as np
import pytest

from marbolt_rs import _marbolt_rs as m

MODELS = ["l1", "rank"]


def two_steps(rng, n=48):
    """Two columns with changes at 16 and 32 (levels 0, 6, 2 and 0, 1, 4) and noise 0.5."""
    levels = np.repeat([[0.0, 0.0], [6.0, 1.0], [2.0, 4.0]], n // 3, axis=0)
    return levels + 0.5 * rng.normal(size=(n, 2))


def window(engine, jump, min_size):
    inds, score = m.window_fit(engine, 8, jump)
    return m.window_predict(engine, inds, score, 8, jump, min_size, n_bkps=2)


SEARCHES = {
    "pelt": lambda e, jump, min_size: m.pelt(e, 40.0 if e.model == "l1" else 8.0, jump, min_size),
    "dynp": lambda e, jump, min_size: m.dynp(e, 2, jump, min_size),
    "binseg": lambda e, jump, min_size: m.binseg(e, jump, min_size, n_bkps=2),
    "bottomup": lambda e, jump, min_size: m.bottomup(e, jump, min_size, n_bkps=2),
    "window": window,
}


def is_segmentation(bkps, n, jump, min_size):
    starts = [0] + bkps[:-1]
    return (
        bkps[-1] == n
        and all(b % jump == 0 for b in bkps[:-1])
        and all(e - s >= min_size for s, e in zip(starts, bkps))
    )


class TestConstruction:
    @pytest.mark.parametrize("model", MODELS)
    def test_attributes(self, rng, model):
        engine = m.CostEngine(rng.normal(size=(10, 2)), model)
        assert (engine.model, engine.min_size, engine.gamma, engine.n_samples) == (model, 2, None, 10)

    @pytest.mark.parametrize("model", MODELS)
    @pytest.mark.parametrize("shape", [(0,), (0, 3), (5, 0), (2**40, 0)])
    def test_empty_shapes_build(self, model, shape):
        # Without columns neither model visits the rows: no permutation, no scratch.
        engine = m.CostEngine(np.zeros(shape), model)
        if shape[0]:
            assert engine.error(0, shape[0]) == 0.0


class TestWorkedCosts:
    @pytest.mark.parametrize(
        "signal, start, end, expected",
        [([1.0, 3.0, 8.0], 0, 2, 2.0), ([1.0, 2.0, 10.0], 0, 3, 9.0), ([4.0, 4.0, 4.0, 9.0], 0, 3, 0.0)],
    )
    def test_l1(self, signal, start, end, expected):
        engine = m.CostEngine(np.array(signal), "l1")
        assert engine.error(start, end) == pytest.approx(expected, abs=1e-12)

    @pytest.mark.parametrize(
        "signal, start, end, expected",
        [
            # centred ranks -1.5, -0.5, 0.5, 1.5; variance 1.25; mean of [0, 2) is -1
            ([1.0, 2.0, 3.0, 4.0], 0, 2, -1.6),
            # ties: centred ranks 1, -1.5, 1, -0.5; variance 1.125; mean -0.25
            ([5.0, 1.0, 5.0, 3.0], 0, 2, -2 * 0.0625 / 1.125),
            ([5.0, 1.0, 5.0, 3.0], 0, 4, 0.0),
        ],
    )
    def test_rank(self, signal, start, end, expected):
        engine = m.CostEngine(np.array(signal), "rank")
        assert engine.error(start, end) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("model", MODELS)
class TestSearches:
    @pytest.mark.parametrize("search", SEARCHES)
    @pytest.mark.parametrize("jump", [1, 4])
    def test_finds_the_two_steps(self, rng, model, search, jump):
        # The greedy searches may settle a sample or two off a change (bottom-up
        # merges a fine partition that need not hold 16 and 32).
        engine = m.CostEngine(two_steps(rng), model)
        bkps = SEARCHES[search](engine, jump, 2)
        assert is_segmentation(bkps, 48, jump, 2)
        assert len(bkps) == 3 and all(abs(b - t) <= 2 for b, t in zip(bkps, [16, 32, 48]))

    @pytest.mark.parametrize("search", SEARCHES)
    def test_short_noise_gives_a_valid_segmentation(self, rng, model, search):
        engine = m.CostEngine(rng.normal(size=(11, 2)), model)
        assert is_segmentation(SEARCHES[search](engine, 3, 3), 11, 3, 3)

    def test_crops_rows_are_valid_segmentations(self, rng, model):
        engine = m.CostEngine(two_steps(rng), model)
        rows = m.crops(engine, 1.0, 200.0, 1, 2)
        assert rows and all(is_segmentation(bkps, 48, 1, 2) for _, _, bkps in rows)
        assert [16, 32, 48] in [bkps for _, _, bkps in rows]
