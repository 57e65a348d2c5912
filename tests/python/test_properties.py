"""Property tests of the whole boundary: any argument, any array.

Whatever it is given, every entry point either returns a valid result or
raises one of the exception types of its contract, never anything else and
never a crash, and it leaves the caller's objects as they were.
"""

import math
import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from conftest import U64_MAX
from marbolt_rs import _marbolt_rs as m

# Fixed examples (derandomize) so that CI sees the same cases every run, and
# no example database written into the source tree.
PROPERTIES = settings(
    max_examples=200,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

MODELS = ["l1", "l2", "normal", "rbf", "cosine", "rank", "mahalanobis", "clinear", "linear", "ar"]
DTYPES = [np.float64, np.float32, np.int64, np.bool_, object, np.complex128, ">f8"]
CONTRACT = (TypeError, ValueError, OverflowError, MemoryError)
REFUSED = object()

# Huge values stay far from the sizes where a result would merely be large
# (dynp_all allocates one slot per count): either small or refused at once.
HUGE_INTS = [2**62, 2**63 - 1, 2**63, U64_MAX, 2**64, 2**100, -1, -(2**63), -(2**70)]
ODD_FLOATS = [math.nan, math.inf, -math.inf, 1e308, -0.0, 5e-324, 0.5, 2.5]

small_counts = st.integers(0, 12)
counts = st.one_of(small_counts, small_counts, st.sampled_from([2**62, 2**63 - 1, U64_MAX]))
wild_counts = st.one_of(st.integers(-3, 12), st.sampled_from(HUGE_INTS))
reals = st.one_of(st.floats(-1e3, 1e3), st.sampled_from(ODD_FLOATS))
wild_reals = st.one_of(reals, st.integers(-5, 5), st.sampled_from([2**1100, True]))
junk = st.sampled_from([None, "3", 2.0, math.nan, b"1", [], object()])


def plausible_or_not(sane, good, wild):
    """Only plausible values in a sane example; anything, rarely junk, otherwise."""
    return good if sane else st.one_of(good, wild, junk)


def called(fn, *args, **kwargs):
    """The result, or REFUSED when the call raised an exception of the contract."""
    try:
        return fn(*args, **kwargs)
    except RuntimeError as error:
        assert str(error) == "NotEnoughPoints"
    except AssertionError as error:
        assert str(error).startswith("No admissible last breakpoints found")
    except CONTRACT:
        pass
    return REFUSED


def layouts(a, layout):
    """The same values in another memory layout."""
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "strided" and a.ndim:
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if layout == "reversed" and a.ndim:
        return np.flip(np.flip(a).copy())
    return a


ELEMENTS = st.one_of(st.floats(-1e6, 1e6), st.sampled_from(ODD_FLOATS))


@st.composite
def arrays(draw, ndims=(0, 1, 2, 3), dtypes=DTYPES, max_rows=50):
    ndim = draw(st.sampled_from(ndims))
    shape = tuple(draw(st.integers(0, max_rows if k == 0 else 4)) for k in range(ndim))
    base = draw(hnp.arrays(np.float64, shape, elements=ELEMENTS))
    dtype = draw(st.sampled_from(dtypes))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        a = np.nan_to_num(base).astype(dtype) if dtype in (np.int64, np.bool_) else base.astype(dtype)
    a = layouts(a, draw(st.sampled_from(["c", "fortran", "strided", "reversed"])))
    if draw(st.booleans()):
        a.setflags(write=False)
    return a


def snapshot(a):
    if not isinstance(a, np.ndarray):
        return repr(a)
    return (a.tobytes(), a.dtype.str, a.shape, a.strides, a.flags.writeable,
            a.flags.c_contiguous, a.flags.f_contiguous)


def model_params(model, draw, sane, d):
    key = {"normal": "add_small_diag", "rbf": "gamma", "mahalanobis": "metric", "ar": "order"}
    if model == "mahalanobis" and sane:
        return {"metric": draw(hnp.arrays(np.float64, (d, d), elements=ELEMENTS))}
    if model not in key or draw(st.booleans()):
        return draw(st.sampled_from([None, {}, {"unused": 1}]))
    value = {
        "normal": plausible_or_not(sane, st.booleans(), st.integers(-1, 2)),
        "rbf": plausible_or_not(sane, reals, wild_reals),
        "mahalanobis": arrays(ndims=(0, 1, 2, 3), max_rows=4),
        "ar": plausible_or_not(sane, st.integers(0, 6), wild_counts),
    }[model]
    return {key[model]: draw(value)}


def expected_rows(a):
    return 1 if a.ndim == 0 else a.shape[0]


class TestEngineConstruction:
    @PROPERTIES
    @given(st.data())
    def test_builds_or_refuses_and_leaves_the_array_alone(self, data):
        sane = data.draw(st.booleans())
        signal = data.draw(arrays(ndims=(1, 2), dtypes=[np.float64]) if sane else arrays())
        models = st.sampled_from(MODELS)
        model = data.draw(models if sane else st.one_of(models, st.text(max_size=4), junk))
        variants = [None, "python", "extension"] + ([] if sane else ["rust", 1])
        variant = data.draw(st.sampled_from(variants))
        d = signal.shape[1] if signal.ndim == 2 else 1
        params = model_params(model, data.draw, sane, d) if isinstance(model, str) else None
        metric = (params or {}).get("metric")
        before, metric_before = snapshot(signal), snapshot(metric)
        engine = called(m.CostEngine, signal, model, params, variant)
        assert snapshot(signal) == before and snapshot(metric) == metric_before
        event(f"{model if model in MODELS else 'other model'}: "
              f"{'refused' if engine is REFUSED else 'built'}")
        if engine is REFUSED:
            return
        assert signal.dtype.kind == "f" and signal.dtype.itemsize == 8 and signal.ndim <= 2
        assert engine.n_samples == expected_rows(signal)
        assert engine.model == model
        if engine.n_samples >= engine.min_size:
            assert isinstance(engine.error(0, engine.n_samples), float)

    @PROPERTIES
    @given(arrays(ndims=(1, 2), dtypes=[np.float64, ">f8"]))
    def test_every_accepted_byte_order_reads_the_same_values(self, signal):
        engine = called(m.CostEngine, signal, "l2")
        if engine is REFUSED:
            return
        native = m.CostEngine(np.ascontiguousarray(signal, dtype=np.float64), "l2")
        costs = [[e.error(0, end) for end in range(1, e.n_samples + 1)] for e in (engine, native)]
        assert np.array(costs[0]).tobytes() == np.array(costs[1]).tobytes()


@st.composite
def engines(draw):
    signal = draw(arrays(ndims=(1, 2), dtypes=[np.float64], max_rows=30))
    model = draw(st.sampled_from(MODELS))
    variant = draw(st.sampled_from([None, "extension"]))
    params = {"metric": np.eye(1 if signal.ndim == 1 else signal.shape[1])}
    if model == "ar":
        params = {"order": draw(st.integers(0, 3))}
    engine = called(m.CostEngine, signal, model, params, variant)
    if engine is REFUSED:
        engine = m.CostEngine(signal, "l2", None, variant)
    return engine


def check_breakpoints(bkps, n, jump=1):
    assert all(type(b) is int for b in bkps)
    assert bkps == sorted(set(bkps)) and bkps[-1] == n and 0 not in bkps
    assert all(b % jump == 0 for b in bkps[:-1])


def check_search(name, result, engine, args):
    n = engine.n_samples
    if name in ("pelt", "kernel_pelt"):
        if n == 0:
            assert result == []
        else:
            check_breakpoints(result, n, args.get("jump", 1))
    elif name in ("binseg", "bottomup"):
        if n == 0:
            assert result == [0]
        else:
            check_breakpoints(result, n, args["jump"])
    elif name == "dynp":
        assert len(result) == args["n_bkps"] + 1
        if n:
            check_breakpoints(result, n, args["jump"])
    elif name == "dynp_all":
        assert len(result) == args["n_bkps"]
        for count, found in enumerate(result, start=1):
            if found is not None:
                assert len(found) == count + 1
                check_breakpoints(found, n, args["jump"])
    elif name == "window_fit":
        inds, score = result
        assert len(inds) == len(score) and all(0 < c < n for c in inds)
    elif name == "window_predict":
        assert result[-1] == n and result == sorted(result)
    elif name == "crops":
        for lower, upper, bkps in result:
            assert isinstance(lower, float) and isinstance(upper, float)
            if n:
                check_breakpoints(bkps, n, args["jump"])


def sequences(elements):
    """Lists, tuples or arrays: window_predict takes any sequence."""
    lists = st.lists(elements, max_size=6)
    return st.one_of(lists, lists.map(tuple), lists.map(np.array))


def fitted_centres(engine, draw):
    """inds and score as window_predict gets them: from a fit, scores perhaps edited."""
    inds, score = m.window_fit(engine, draw(st.integers(2, 8)), draw(st.integers(1, 3)))
    if draw(st.booleans()):
        score = [draw(reals) for _ in score]
    return draw(st.sampled_from([list, tuple, np.array]))(inds), score


def search_args(name, engine, draw, sane):
    """Keyword arguments for one module function, in signature order."""
    size = plausible_or_not(sane, counts, wild_counts)
    real = plausible_or_not(sane, reals, wild_reals)
    few = plausible_or_not(sane, st.integers(0, 4), wild_counts)
    rule = {k: draw(st.one_of(st.none(), s)) for k, s in
            [("n_bkps", size), ("pen", real), ("epsilon", real)]}
    table = {
        "pelt": {"pen": real, "jump": size, "min_size": size},
        "kernel_pelt": {"pen": real, "min_size": size},
        "dynp": {"n_bkps": few, "jump": size, "min_size": size},
        "dynp_all": {"n_bkps": few, "jump": size, "min_size": size},
        "binseg": {"jump": size, "min_size": size},
        "bottomup": {"jump": size, "min_size": size},
        "window_fit": {"width": size, "jump": size},
        "window_predict": {"inds": plausible_or_not(sane, sequences(st.integers(1, 29)),
                                                    st.lists(size, max_size=6)),
                           "score": plausible_or_not(sane, sequences(reals), junk),
                           "width": size, "jump": size, "min_size": size},
        "crops": {"pen_min": real, "pen_max": real, "jump": size, "min_size": size},
    }
    args = {k: draw(s) for k, s in table[name].items()}
    if name == "window_predict" and sane and draw(st.booleans()):
        args["inds"], args["score"] = fitted_centres(engine, draw)
    if name in ("binseg", "bottomup", "window_predict"):
        args.update(rule)
    return args


class TestSearches:
    @settings(PROPERTIES, max_examples=600)
    @given(engines(), st.sampled_from(
        ["pelt", "kernel_pelt", "dynp", "dynp_all", "binseg", "bottomup", "window_fit",
         "window_predict", "crops"]), st.data())
    def test_result_is_valid_or_refused(self, engine, name, data):
        sane = data.draw(st.integers(0, 3)) > 0
        args = search_args(name, engine, data.draw, sane)
        before = {k: snapshot(v) for k, v in args.items()}
        form = data.draw(st.sampled_from(["keywords", "positional"] * 3 + ["unknown keyword"]))
        if form == "positional":
            result = called(getattr(m, name), engine, *args.values())
        else:
            extra = {"bogus": 1} if form == "unknown keyword" else {}
            result = called(getattr(m, name), engine, **args, **extra)
            assert not extra or result is REFUSED
        assert {k: snapshot(v) for k, v in args.items()} == before
        event(f"{name}: {'refused' if result is REFUSED else 'result'}{'' if sane else ' (wild)'}")
        if result is not REFUSED:
            check_search(name, result, engine, args)

    @PROPERTIES
    @given(engines(), st.lists(st.one_of(st.integers(-3, 40), junk), max_size=4), st.data())
    def test_engine_methods_value_or_refusal(self, engine, bkps, data):
        start, end = (data.draw(st.one_of(st.integers(-3, 40), wild_counts, junk)) for _ in "se")
        value = called(engine.error, start, end)
        assert value is REFUSED or isinstance(value, float)
        total = called(engine.sum_of_costs, bkps)
        assert total is REFUSED or isinstance(total, float)

    @PROPERTIES
    @given(st.lists(st.one_of(counts, wild_counts, junk), min_size=4, max_size=4),
           st.one_of(st.sampled_from(MODELS), st.text(max_size=6)))
    def test_helpers_value_or_refusal(self, sizes, model):
        check = called(m.sanity_check, *sizes)
        assert check is REFUSED or isinstance(check, bool)
        budget = called(m.check_outer_memory, sizes[0], sizes[1], model)
        assert budget is REFUSED or budget is None
