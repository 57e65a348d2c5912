"""Scores that compare a found segmentation with the true one.

Every function takes two breakpoint lists in the form the searches return:
strictly ascending positive sample counts whose last entry is the number of
samples n, so ``[100, 200, 300]`` is the three segments [0, 100), [100, 200)
and [200, 300). The change points are the entries before that closing n; both
lists must end with the same n.

`covering` and `f1_annotators` score against several people's annotations of
one signal, as van den Burg & Williams do ("An evaluation of change point
detection algorithms", 2020): they take one breakpoint list, or a list of
them, one per annotator.
"""

from __future__ import annotations

import bisect
import math
import operator
from collections.abc import Iterable
from fractions import Fraction
from typing import SupportsIndex, Union

Bkps = Iterable[SupportsIndex]
# One breakpoint list, or one per annotator.
Annotations = Union[Iterable[SupportsIndex], Iterable[Iterable[SupportsIndex]]]

__all__ = ["precision_recall", "f1_score", "hausdorff", "rand_index", "covering", "f1_annotators"]


def _checked(bkps, name):
    """The list as plain ints, after the checks every metric relies on."""
    values = [operator.index(b) for b in bkps]
    if not values:
        raise ValueError(f"{name} is empty: a breakpoint list ends with the number of samples")
    for previous, current in zip([0] + values, values):
        if current <= 0:
            raise ValueError(f"{name} must hold positive sample counts, got {current}")
        if current <= previous:
            raise ValueError(f"{name} must be strictly ascending, got {current} after {previous}")
    return values


def _pair(true_bkps, predicted_bkps):
    true = _checked(true_bkps, "true_bkps")
    predicted = _checked(predicted_bkps, "predicted_bkps")
    if true[-1] != predicted[-1]:
        raise ValueError(
            f"true_bkps ends at {true[-1]} but predicted_bkps ends at {predicted[-1]}: "
            "both must end with the number of samples")
    return true, predicted


def _matches(true_cps, predicted_cps, margin):
    """How many true change points find a predicted one within `margin`.

    Each predicted point serves at most one true point. Taking, for each true
    point in ascending order, the leftmost predicted point still free and not
    too far left is a maximum matching: every window has the same width, so a
    point skipped as too far left for one true point is too far left for all
    later ones, and the leftmost free candidate leaves the most for them.
    """
    found, j = 0, 0
    for t in true_cps:
        while j < len(predicted_cps) and predicted_cps[j] < t - margin:
            j += 1
        if j < len(predicted_cps) and predicted_cps[j] <= t + margin:
            found += 1
            j += 1
    return found


def precision_recall(
    true_bkps: Bkps, predicted_bkps: Bkps, margin: SupportsIndex = 10
) -> tuple[float, float]:
    """Precision and recall of the predicted change points, as (precision, recall).

    A true change point counts as detected when a predicted change point lies
    within `margin` samples of it (``|t - p| <= margin``); each predicted point
    detects at most one true point, and the matching is the largest possible.
    Precision is the fraction of predicted change points that detect one,
    recall the fraction of true change points detected. A ratio over an empty
    set is 1.0: predicting no change point makes no false claim (precision 1)
    and a signal without change points has none to miss (recall 1).

    Parameters
    ----------
    true_bkps, predicted_bkps : iterable of int
        Breakpoint lists: strictly ascending, positive, ending with the
        same number of samples n.
    margin : int, default 10
        How far (in samples, inclusive) a predicted change may lie from a
        true one to detect it; at least 0.

    Returns
    -------
    (float, float)
        Precision and recall, each in [0, 1].

    Raises
    ------
    ValueError
        A list that is empty, not strictly ascending or not positive, or
        two lists that end at different n.
        A negative margin.

    Examples
    --------
    >>> from marbolt_rs import metrics
    >>> metrics.precision_recall([100, 200, 300], [98, 150, 300], margin=5)
    (0.5, 0.5)
    """
    margin = operator.index(margin)
    if margin < 0:
        raise ValueError(f"margin must be non-negative, got {margin}")
    true, predicted = _pair(true_bkps, predicted_bkps)
    true_cps, predicted_cps = true[:-1], predicted[:-1]
    found = _matches(true_cps, predicted_cps, margin)
    precision = found / len(predicted_cps) if predicted_cps else 1.0
    recall = found / len(true_cps) if true_cps else 1.0
    return precision, recall


def f1_score(true_bkps: Bkps, predicted_bkps: Bkps, margin: SupportsIndex = 10) -> float:
    """The harmonic mean of `precision_recall`; 0.0 when both are 0.

    With the empty-set rule of `precision_recall`, two lists without change
    points score 1.0, and one empty list against a non-empty one scores 0.0.

    Parameters
    ----------
    true_bkps, predicted_bkps : iterable of int
        As for `precision_recall`.
    margin : int, default 10
        As for `precision_recall`.

    Returns
    -------
    float
        The F1 score, in [0, 1].

    Raises
    ------
    ValueError
        As for `precision_recall` (a negative margin too).

    Examples
    --------
    >>> from marbolt_rs import metrics
    >>> metrics.f1_score([100, 200, 300], [98, 150, 300], margin=5)
    0.5
    """
    precision, recall = precision_recall(true_bkps, predicted_bkps, margin)
    if precision + recall == 0.0:
        return 0.0
    return 2.0 * precision * recall / (precision + recall)


def _farthest(from_cps, to_cps):
    """The largest distance from a point of `from_cps` to its nearest point in `to_cps`."""
    worst = 0
    for p in from_cps:
        i = bisect.bisect_left(to_cps, p)
        nearest = min(abs(to_cps[k] - p) for k in (i - 1, i) if 0 <= k < len(to_cps))
        worst = max(worst, nearest)
    return worst


def hausdorff(true_bkps: Bkps, predicted_bkps: Bkps) -> float:
    """The Hausdorff distance between the two sets of change points, as a float.

    The larger of: the farthest any true change point is from its nearest
    predicted one, and the farthest any predicted change point is from its
    nearest true one. The closing n is not a change point and is left out.
    Two empty sets are at distance 0.0; an empty set and a non-empty one at
    ``math.inf`` (no finite distance bounds a change point that has no
    counterpart).

    Parameters
    ----------
    true_bkps, predicted_bkps : iterable of int
        As for `precision_recall`.

    Returns
    -------
    float
        The distance in samples.

    Raises
    ------
    ValueError
        As for `precision_recall`.

    Examples
    --------
    >>> from marbolt_rs import metrics
    >>> metrics.hausdorff([100, 200, 300], [98, 150, 300])
    50.0
    """
    true, predicted = _pair(true_bkps, predicted_bkps)
    true_cps, predicted_cps = true[:-1], predicted[:-1]
    if not true_cps and not predicted_cps:
        return 0.0
    if not true_cps or not predicted_cps:
        return math.inf
    return float(max(_farthest(true_cps, predicted_cps), _farthest(predicted_cps, true_cps)))


def _same_segment_pairs(bkps):
    """Pairs of samples that share a segment: the sum of C(length, 2) over segments."""
    lengths = (end - start for start, end in zip([0] + bkps, bkps))
    return sum(length * (length - 1) // 2 for length in lengths)


def rand_index(true_bkps: Bkps, predicted_bkps: Bkps) -> float:
    """The Rand index of the two segmentations of the n samples, in [0, 1].

    The fraction of the n(n-1)/2 pairs of samples on which the segmentations
    agree: both put the pair in one segment, or both split it. A pair shares a
    segment in both exactly when it shares a segment of the common refinement
    (the segmentation at the union of both lists), so everything follows from
    segment lengths in O(number of segments), counted exactly in integers.
    With a single sample there is no pair and the index is 1.0.

    Parameters
    ----------
    true_bkps, predicted_bkps : iterable of int
        As for `precision_recall`.

    Returns
    -------
    float
        The Rand index, in [0, 1].

    Raises
    ------
    ValueError
        As for `precision_recall`.

    Examples
    --------
    >>> from marbolt_rs import metrics
    >>> round(metrics.rand_index([100, 200, 300], [98, 150, 300]), 4)
    0.8262
    """
    true, predicted = _pair(true_bkps, predicted_bkps)
    n = true[-1]
    pairs = n * (n - 1) // 2
    if pairs == 0:
        return 1.0
    in_true = _same_segment_pairs(true)
    in_predicted = _same_segment_pairs(predicted)
    in_both = _same_segment_pairs(sorted(set(true) | set(predicted)))
    # Agreements: all pairs, less those together in only one of the two.
    disagreements = (in_true - in_both) + (in_predicted - in_both)
    return (pairs - disagreements) / pairs


def _annotated(annotations, predicted_bkps):
    """The annotators' lists and the predicted list, checked, all ending with the same n."""
    predicted = _checked(predicted_bkps, "predicted_bkps")
    items = list(annotations)
    if not items:
        raise ValueError("annotations is empty: give a breakpoint list, or one per annotator")
    try:
        operator.index(items[0])
        named = [("annotations", items)]
    except TypeError:
        named = [(f"annotations[{k}]", item) for k, item in enumerate(items)]
    lists = []
    for name, item in named:
        if not isinstance(item, Iterable):
            raise TypeError(
                f"{name} is not a breakpoint list: give a breakpoint list, or one per annotator")
        values = _checked(item, name)
        if values[-1] != predicted[-1]:
            raise ValueError(
                f"{name} ends at {values[-1]} but predicted_bkps ends at {predicted[-1]}: "
                "both must end with the number of samples")
        lists.append(values)
    return lists, predicted


def _covered(true, predicted):
    """Each true segment's length times its best Jaccard index against a predicted segment, summed.

    Both lists end with n; only the predicted segments that overlap a true
    segment can score above zero, and they follow one another, so one pass
    over both lists finds them all. The sum is exact (a Fraction).
    """
    total = Fraction(0)
    first = 0  # the first predicted segment that ends after the current true start
    for start, end in zip([0] + true, true):
        while predicted[first] <= start:
            first += 1
        best = Fraction(0)
        k = first
        while k < len(predicted):
            p_start = predicted[k - 1] if k else 0
            if p_start >= end:
                break
            p_end = predicted[k]
            overlap = min(end, p_end) - max(start, p_start)
            best = max(best, Fraction(overlap, max(end, p_end) - min(start, p_start)))
            k += 1
        total += (end - start) * best
    return total


def covering(annotations: Annotations, predicted_bkps: Bkps) -> float:
    """How well the predicted segments cover the annotated ones, averaged over annotators.

    The covering of a segmentation G by another G' (Arbelaez, Maire, Fowlkes
    & Malik, "Contour detection and hierarchical image segmentation", 2011)
    weighs every segment A of G by its length and scores it by its best
    Jaccard index |A ∩ A'| / |A ∪ A'| over the segments A' of G', then
    divides by n. Here G is an annotator's segmentation and G' the predicted
    one; with several annotators the coverings are averaged, as van den Burg
    & Williams ("An evaluation of change point detection algorithms", 2020)
    score. 1.0 means the same segments; every score is above 0, since some
    predicted segment overlaps each annotated one.

    Parameters
    ----------
    annotations : iterable of int, or iterable of iterables of int
        One breakpoint list (strictly ascending, positive, ending with the
        number of samples n), or one such list per annotator; an annotator
        who marked no change gives ``[n]``.
    predicted_bkps : iterable of int
        The predicted breakpoint list, ending with the same n.

    Returns
    -------
    float
        The mean covering, in (0, 1].

    Raises
    ------
    ValueError
        No annotation; a list that is empty, not strictly ascending or not
        positive; lists that end at different n.
    TypeError
        An annotation that is not a list of integers.

    Examples
    --------
    One annotator marked a change at 50, another none; a prediction at 50
    covers the first exactly and half of the second's single segment:

    >>> from marbolt_rs import metrics
    >>> metrics.covering([[50, 100], [100]], [50, 100])
    0.75
    >>> metrics.covering([50, 100], [100])
    0.5
    """
    lists, predicted = _annotated(annotations, predicted_bkps)
    n = predicted[-1]
    mean = sum((_covered(true, predicted) / n for true in lists), Fraction(0)) / len(lists)
    return float(mean)


def f1_annotators(annotations: Annotations, predicted_bkps: Bkps,
                  margin: SupportsIndex = 5) -> float:
    """The F1 score of the predicted change points against several annotators.

    As van den Burg & Williams define it ("An evaluation of change point
    detection algorithms", 2020): the start of the signal (sample 0) counts as
    a change point of the prediction and of every annotation, so that a
    prediction of no change still finds something. A true point is found when
    a predicted point lies within `margin` samples of it (inclusive), each
    predicted point finding at most one true point and each true point found
    at most once, matched as many as possible. Precision is the fraction of
    predicted points that find a point of the union of all annotations;
    recall is the fraction of an annotator's points found, averaged over the
    annotators; the score is their harmonic mean. With a single annotation
    this differs from `f1_score` only by the counted start.

    Parameters
    ----------
    annotations : iterable of int, or iterable of iterables of int
        As for `covering`.
    predicted_bkps : iterable of int
        The predicted breakpoint list, ending with the same n.
    margin : int, default 5
        How far (in samples, inclusive) a predicted change may lie from a
        true one to find it; at least 0.

    Returns
    -------
    float
        The F1 score, in (0, 1].

    Raises
    ------
    ValueError
        As for `covering`; a negative margin.
    TypeError
        As for `covering`.

    Examples
    --------
    Against an annotator who marked 50 and one who marked nothing, predicting
    50 is right for both; predicting no change has a precision of 1 (the
    start) and a recall of (1/2 + 1) / 2:

    >>> from marbolt_rs import metrics
    >>> metrics.f1_annotators([[50, 100], [100]], [52, 100])
    1.0
    >>> round(metrics.f1_annotators([[50, 100], [100]], [100]), 4)
    0.8571
    """
    margin = operator.index(margin)
    if margin < 0:
        raise ValueError(f"margin must be non-negative, got {margin}")
    lists, predicted = _annotated(annotations, predicted_bkps)
    # The closing n is no change point; the start is one.
    predicted_cps = [0] + predicted[:-1]
    union = sorted({0}.union(*(true[:-1] for true in lists)))
    precision = Fraction(_matches(union, predicted_cps, margin), len(predicted_cps))
    recall = sum((Fraction(_matches([0] + true[:-1], predicted_cps, margin), len(true))
                  for true in lists), Fraction(0)) / len(lists)
    return float(2 * precision * recall / (precision + recall))
