import itertools
import math

import pytest

from conftest import exact
from marbolt_rs import metrics

METRICS = [metrics.precision_recall, metrics.f1_score, metrics.hausdorff, metrics.rand_index]


class TestPrecisionRecall:
    @pytest.mark.parametrize(
        "true, predicted, margin, expected",
        [
            # 45 detects 50; 120 is 20 from 100.
            ([50, 100, 200], [45, 120, 200], 10, (0.5, 0.5)),
            # The margin is inclusive: 60 is exactly 10 from 50.
            ([50, 100], [60, 100], 10, (1.0, 1.0)),
            ([50, 100], [60, 100], 9, (0.0, 0.0)),
            # 51 is near both true points but detects only one.
            ([50, 52, 100], [51, 100], 5, (1.0, 0.5)),
            # Pairing the closest pair (16, 15) first would strand 10; the
            # largest matching is 10-15 and 16-21.
            ([10, 16, 100], [15, 21, 100], 5, (1.0, 1.0)),
            # Empty sets: nothing claimed is no false claim, nothing to find is no miss.
            ([100], [100], 10, (1.0, 1.0)),
            ([50, 100], [100], 10, (1.0, 0.0)),
            ([100], [50, 100], 10, (0.0, 1.0)),
        ],
    )
    def test_hand_computed(self, true, predicted, margin, expected):
        assert metrics.precision_recall(true, predicted, margin=margin) == expected

    def test_negative_margin_is_refused(self):
        with pytest.raises(ValueError, match=exact("margin must be non-negative, got -1")):
            metrics.precision_recall([100], [100], margin=-1)


@pytest.mark.parametrize(
    "true, predicted, expected",
    [
        ([50, 100, 200], [45, 120, 200], 0.5),
        ([50, 52, 100], [51, 100], 2 / 3),
        ([50, 100], [100], 0.0),
        ([100], [100], 1.0),
    ],
)
def test_f1_score(true, predicted, expected):
    assert metrics.f1_score(true, predicted, margin=5) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize(
    "true, predicted, expected",
    [
        ([50, 100, 200], [45, 120, 200], 20.0),
        # Only the predicted side has a far point: 150 is 100 from 50.
        ([50, 200], [48, 150, 200], 100.0),
        ([48, 150, 200], [50, 200], 100.0),
        ([100], [100], 0.0),
        ([50, 100], [100], math.inf),
        ([100], [50, 100], math.inf),
    ],
)
def test_hausdorff(true, predicted, expected):
    assert metrics.hausdorff(true, predicted) == expected


class TestRandIndex:
    @pytest.mark.parametrize(
        "true, predicted, expected",
        [
            # Of the 6 pairs of 4 samples, the 4 across sample 2 disagree.
            ([2, 4], [4], 2 / 6),
            # {0,1}{2,3,4} against {0,1,2}{3,4}: pairs 02, 12, 23, 24 disagree.
            ([2, 5], [3, 5], 6 / 10),
            ([3, 7, 9], [3, 7, 9], 1.0),
            ([1], [1], 1.0),
        ],
    )
    def test_hand_computed(self, true, predicted, expected):
        assert metrics.rand_index(true, predicted) == expected

    def test_matches_counting_every_pair(self, rng):
        n = 30
        for _ in range(5):
            true = sorted(rng.choice(range(1, n), size=3, replace=False).tolist()) + [n]
            predicted = sorted(rng.choice(range(1, n), size=5, replace=False).tolist()) + [n]
            label = lambda bkps, i: sum(b <= i for b in bkps)  # noqa: E731
            agree = sum(
                (label(true, i) == label(true, j)) == (label(predicted, i) == label(predicted, j))
                for i, j in itertools.combinations(range(n), 2))
            assert metrics.rand_index(true, predicted) == pytest.approx(agree / (n * (n - 1) / 2))


@pytest.mark.parametrize("metric", METRICS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "true, predicted, message",
    [
        ([100, 200], [100, 300],
         "true_bkps ends at 200 but predicted_bkps ends at 300: both must end with the number of samples"),
        ([200, 100, 300], [300], "true_bkps must be strictly ascending, got 100 after 200"),
        ([300], [100, 100, 300], "predicted_bkps must be strictly ascending, got 100 after 100"),
        ([0, 300], [300], "true_bkps must hold positive sample counts, got 0"),
        ([300], [-5, 300], "predicted_bkps must hold positive sample counts, got -5"),
        ([], [300], "true_bkps is empty: a breakpoint list ends with the number of samples"),
    ],
)
def test_invalid_lists_are_refused(metric, true, predicted, message):
    with pytest.raises(ValueError, match=exact(message)):
        metric(true, predicted)
