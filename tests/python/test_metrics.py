import itertools
import math
from fractions import Fraction

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


class TestAnnotated:
    """`covering` and `f1_annotators`, scored against one or several annotators."""

    @pytest.mark.parametrize(
        "annotations, predicted, margin, expected_covering, expected_f1",
        [
            # Segments [0,4)[4,10) against [0,6)[6,10): [0,4) is best covered
            # by [0,6) (4/6), [4,10) by [6,10) (4/6): (4*2/3 + 6*2/3) / 10.
            # Change points with the start: {0, 4} and {0, 6}; 6 is 2 from 4.
            ([4, 10], [6, 10], 1, Fraction(2, 3), Fraction(1, 2)),
            ([4, 10], [6, 10], 2, Fraction(2, 3), Fraction(1)),
            # Two annotators. {0,5}{5,15}{15,20} by [0,5)[5,20): 5*1 + 10*10/15
            # + 5*5/15 = 40/3, so 2/3. [0,6)[6,20): [0,6) best by [0,5) (5/6),
            # [6,20) by [5,20) (14/15): (5 + 196/15) / 20 = 271/300. Mean 157/200.
            # Predicted {0,5} finds 0 and 5 of the union {0,5,6,15}: precision 1;
            # recall 2/3 for the first annotator, 2/2 for the second (5 is 1
            # from 6): 5/6; F1 = 2 * 5/6 / (1 + 5/6) = 10/11.
            ([[5, 15, 20], [6, 20]], [5, 20], 1, Fraction(157, 200), Fraction(10, 11)),
            # Two predicted points near one true point: one of them is false.
            # [0,20) by [0,19) (19/20), [20,40) by [21,40) (19/20): 19/20.
            # Precision 2/3 (0 and 19 or 21), recall 1: F1 4/5.
            ([20, 40], [19, 21, 40], 2, Fraction(19, 20), Fraction(4, 5)),
            # Annotators at 10 and 12 and a prediction at 11: right for both.
            # [0,10) by [0,11) (10/11), [10,30) by [11,30) (19/20): 309/330;
            # [0,12) by [0,11) (11/12), [12,30) by [11,30) (18/19): 533/570;
            # mean 5867/6270. Union {0,10,12} against {0,11}: 2 of 2 found,
            # precision 1; each annotator's {0,10} and {0,12} found: recall 1.
            ([[10, 30], [12, 30]], [11, 30], 2, Fraction(5867, 6270), Fraction(1)),
            # Predictions at 9 and 11 each find one: 0-0, 10-9, 12-11.
            # [0,10) by [0,9) (9/10), [10,30) by [11,30) (19/20): 28/30;
            # [0,12) by [0,9) (9/12), [12,30) by [11,30) (18/19): 495/570.
            ([[10, 30], [12, 30]], [9, 11, 30], 2, Fraction(1027, 1140), Fraction(1)),
            # No change predicted: each half of the signal covered at 1/2;
            # the start alone is found, precision 1, recall 1/2: F1 2/3.
            ([30, 60], [60], 5, Fraction(1, 2), Fraction(2, 3)),
            # Every sample a segment against an annotator who marked none:
            # [0,4) covered at 1/4; precision 1/4 (the start), recall 1: 2/5.
            ([[4]], [1, 2, 3, 4], 0, Fraction(1, 4), Fraction(2, 5)),
        ],
    )
    def test_hand_computed(self, annotations, predicted, margin, expected_covering, expected_f1):
        assert metrics.covering(annotations, predicted) == float(expected_covering)
        assert metrics.f1_annotators(annotations, predicted, margin=margin) == float(expected_f1)

    @pytest.mark.parametrize("n_annotators", [1, 3])
    def test_perfect_and_empty_predictions_score_one(self, rng, n_annotators):
        for _ in range(20):
            n = int(rng.integers(2, 200))
            k = int(rng.integers(0, min(n, 8)))
            bkps = sorted(rng.choice(range(1, n), size=k, replace=False).tolist()) + [n]
            annotations = [bkps] * n_annotators
            for given in (bkps, annotations):
                assert metrics.covering(given, bkps) == 1.0
                assert metrics.f1_annotators(given, bkps, margin=0) == 1.0
            # Annotators who marked nothing agree with a prediction of no change.
            assert metrics.covering([[n]] * n_annotators, [n]) == 1.0
            assert metrics.f1_annotators([[n]] * n_annotators, [n], margin=0) == 1.0

    @pytest.mark.parametrize("metric", [metrics.covering, metrics.f1_annotators],
                             ids=lambda f: f.__name__)
    @pytest.mark.parametrize(
        "annotations, predicted, error, message",
        [
            ([], [100], ValueError, "annotations is empty: give a breakpoint list, or one per annotator"),
            ([50, 200], [100], ValueError,
             "annotations ends at 200 but predicted_bkps ends at 100: both must end with the number of samples"),
            ([[50, 100], [50, 200]], [100], ValueError,
             "annotations[1] ends at 200 but predicted_bkps ends at 100: both must end with the number of samples"),
            ([[100], [60, 50, 100]], [100], ValueError, "annotations[1] must be strictly ascending, got 50 after 60"),
            ([[]], [100], ValueError, "annotations[0] is empty: a breakpoint list ends with the number of samples"),
            ([[100], 100], [100], TypeError,
             "annotations[1] is not a breakpoint list: give a breakpoint list, or one per annotator"),
            ([100], [0, 100], ValueError, "predicted_bkps must hold positive sample counts, got 0"),
        ],
    )
    def test_invalid_annotations_are_refused(self, metric, annotations, predicted, error, message):
        with pytest.raises(error, match=exact(message)):
            metric(annotations, predicted)

    def test_negative_margin_is_refused(self):
        with pytest.raises(ValueError, match=exact("margin must be non-negative, got -1")):
            metrics.f1_annotators([100], [100], margin=-1)
