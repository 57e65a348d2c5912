"""The numpydoc sections of the compiled module's reference pages.

The module's own docstrings are part of its fixed interface and mostly empty;
these texts are what the reference pages show after them (see
`compiled_api`). Their examples run in the docs tests.
"""

import textwrap

SIGNAL = '''\
>>> import numpy as np
>>> from marbolt_rs import _marbolt_rs as m
>>> rng = np.random.default_rng(0)
>>> levels = np.r_[np.zeros(100), np.full(100, 4.0), np.ones(100)]
>>> signal = levels + rng.normal(size=300)
>>> engine = m.CostEngine(signal, "l2")
'''

ENGINE = '''\
engine : CostEngine
    The fitted cost model; borrowed for the call, never changed.'''

JUMP = '''\
jump : int
    The grid step: every breakpoint but the last is a multiple of `jump`
    (at least 1).'''

MIN_SIZE = '''\
min_size : int
    The shortest segment, used as given (a `min_size` of 0 is served as
    1); pass at least the engine's `min_size`.'''

ADD_STOPS = '''\
n_bkps : int, optional
    Stop at this many breakpoints.
pen : float, optional
    Add a breakpoint only while it lowers the total cost by more than
    `pen`.
epsilon : float, optional
    Add breakpoints while the total cost is above `epsilon`.'''

MERGE_STOPS = '''\
n_bkps : int, optional
    Merge down to this many breakpoints.
pen : float, optional
    Remove a breakpoint while removing it raises the total cost by less
    than `pen`.
epsilon : float, optional
    Merge while the total cost is below `epsilon`.'''

BKPS = '''\
list of int
    The breakpoints: ascending, ending with the number of samples.'''

JUMP_ERROR = '''\
ValueError
    "jump must be at least 1".'''


def sections(summary="", parameters=(), returns=None, raises=(), examples="", **more):
    """A numpydoc text: `summary`, then each section given, in numpydoc's order.

    The entries of `parameters` and `raises` are numpydoc entries; `more`
    holds other sections (Attributes, Methods, Notes) by name.
    """
    parts = [textwrap.dedent(summary).strip()] if summary else []
    named = [("Parameters", "\n".join(parameters)), ("Returns", returns),
             ("Attributes", more.get("attributes")), ("Methods", more.get("methods")),
             ("Raises", "\n".join(raises)), ("Notes", more.get("notes")),
             ("Examples", examples)]
    for title, body in named:
        if body:
            parts.append(f"{title}\n{'-' * len(title)}\n{textwrap.dedent(body).strip()}")
    return "\n\n".join(parts) + "\n"


SUPPLEMENTS = {
    "CostEngine": sections(
        parameters=['''\
signal : numpy.ndarray
    float64, samples × columns (1-D is one column), in any layout (C or
    Fortran order, strided or reversed views). It is copied: a later
    change to the array does not reach the engine.''', '''\
model : str
    "l1", "l2", "normal", "rbf", "cosine", "rank", "mahalanobis",
    "clinear", "linear" or "ar".''', '''\
params : dict, optional
    The model's options; keys the model does not read are ignored.
    "gamma" (rbf: the bandwidth, by default 1 / the median squared
    distance over all pairs of samples), "add_small_diag" (normal,
    default True), "metric" (mahalanobis: a d × d float64 array,
    required), "order" (ar, default 4, below the number of samples).''', '''\
variant : str, optional
    "python" (the default) or "extension": for "rbf" the kernel rounded
    through 32-bit floats with its diagonal as computed, so that a
    segment of equal samples costs 0; for "l2" the linear kernel, which
    `kernel_pelt` accepts; other models ignore it.'''],
        attributes='''\
n_samples : int
    The number of samples.
model : str
    The model's name.
min_size : int
    The model's shortest segment.
gamma : float or None
    The rbf bandwidth used; None for the other models.''',
        methods='''\
error(start, end)
    The cost of the segment [start, end), after checking its bounds.
sum_of_costs(bkps)
    The sum of the segment costs of a breakpoint list.''',
        raises=['''\
TypeError
    A signal that is not a float64 NumPy array, or arguments of the
    wrong type.''', '''\
ValueError
    An unknown model or variant, a signal of more than two dimensions,
    a missing or misshapen metric, an order not below the number of
    samples, or a table over the 4 GiB budget.''', '''\
RuntimeError
    "NotEnoughPoints", from `error` and `sum_of_costs`, for a segment
    shorter than `min_size`.'''],
        notes='''\
The engine never changes after it is built, so one engine serves any
number of searches and threads at once.''',
        examples=SIGNAL + '''\
>>> engine.n_samples, engine.model, engine.min_size, engine.gamma
(300, 'l2', 1, None)
>>> round(engine.error(0, 100), 3)
92.57
>>> round(engine.sum_of_costs([100, 200, 300]), 3)
308.355'''),
    "pelt": sections(
        '''\
        PELT (Killick, Fearnhead and Eckley, 2012): the total cost plus `pen` per
        breakpoint, minimised with pruning, as published. The pruning is exact
        when cutting a segment never raises its cost and `min_size` is at most
        `jump`; `detect` runs the exact penalised optimum for every model (see
        the user guide's page on search methods).''',
        [ENGINE, "pen : float\n    The price of one breakpoint.", JUMP, MIN_SIZE],
        BKPS, [JUMP_ERROR],
        SIGNAL + ">>> m.pelt(engine, 20.0, 1, 2)\n[100, 200, 300]"),
    "kernel_pelt": sections(
        '''\
        Every position is a candidate (there is no `jump`), and segment costs come
        straight from the kernel sums of the engine.''',
        ['''\
engine : CostEngine
    A kernel engine: "rbf", "cosine", or "l2" with ``variant="extension"``.''',
         "pen : float\n    The price of one breakpoint.",
         "min_size : int\n    The shortest segment, at least 1."],
        BKPS,
        ['''\
ValueError
    "kernel_pelt requires a kernel cost engine"; "min_size must be at
    least 1".'''],
        SIGNAL + '''\
>>> m.kernel_pelt(m.CostEngine(signal, "rbf"), 5.0, 2)
[100, 200, 300]
>>> m.kernel_pelt(m.CostEngine(signal, "l2", variant="extension"), 20.0, 2)
[100, 200, 300]'''),
    "dynp": sections(
        '''\
        The exact best segmentation with exactly `n_bkps` breakpoints, by dynamic
        programming: O(n²) cost evaluations per breakpoint, except on one-column
        "l2", whose layers are pruned (about 20 evaluations per sample and
        breakpoint). The layers run on a process-wide worker pool sized by
        ``RAYON_NUM_THREADS`` (else ``RAYON_RS_NUM_CPUS``, else the CPUs the
        process may use); the result is the same for every pool size.''',
        [ENGINE, "n_bkps : int\n    The number of breakpoints.", JUMP, MIN_SIZE],
        BKPS,
        [JUMP_ERROR, '''\
AssertionError
    "No admissible last breakpoints found. n_samples: ..., n_bkps: ...."
    when no segmentation has `n_bkps` breakpoints (`sanity_check` tells
    beforehand).'''],
        SIGNAL + ">>> m.dynp(engine, 2, 1, 2)\n[100, 200, 300]"),
    "dynp_all": sections(
        parameters=[ENGINE, "n_bkps : int\n    The largest number of breakpoints.", JUMP,
                    MIN_SIZE],
        returns='''\
list of (list of int or None)
    At index k - 1 the best segmentation with k breakpoints, or None
    when none exists.''',
        raises=[JUMP_ERROR],
        examples=SIGNAL + ">>> m.dynp_all(engine, 2, 1, 2)\n[[100, 300], [100, 200, 300]]"),
    "binseg": sections(
        '''\
        Binary segmentation: greedy top-down splitting, each step adding the
        breakpoint that lowers the total cost most. Of `n_bkps`, `pen` and
        `epsilon`, the first given is consulted; with none, no split is made.''',
        [ENGINE, JUMP, MIN_SIZE, ADD_STOPS], BKPS, [JUMP_ERROR],
        SIGNAL + ">>> m.binseg(engine, 1, 2, n_bkps=2)\n[100, 200, 300]"),
    "bottomup": sections(
        '''\
        Bottom-up merging: a fine partition by repeated halving, then greedy
        merging of the neighbours whose merge raises the total cost least. Of
        `n_bkps`, `pen` and `epsilon`, the first given is consulted; with none,
        the fine partition is returned.''',
        [ENGINE, JUMP, MIN_SIZE, MERGE_STOPS], BKPS, [JUMP_ERROR],
        SIGNAL + ">>> m.bottomup(engine, 1, 2, pen=20.0)\n[99, 201, 300]"),
    "window_fit": sections(
        '''\
        The first half of the sliding-window search: scores every window centre
        on the grid by how much the cost of a window of `width` samples drops
        when it is cut there. Keep the result for `window_predict`.''',
        [ENGINE,
         "width : int\n    The window width in samples (an odd width uses one sample less).",
         "jump : int\n    The grid step of the centres (at least 1)."],
        "inds : list of int\n    The centres, ascending.\n"
        "score : list of float\n    Their scores.",
        [JUMP_ERROR],
        SIGNAL + ">>> inds, score = m.window_fit(engine, 40, 1)\n"
                 ">>> len(inds), inds[0]\n(260, 20)"),
    "window_predict": sections(
        '''\
        The second half of the sliding-window search: takes the peaks of the
        scores in decreasing order until the stopping rule holds (the first given
        of `n_bkps`, `pen` and `epsilon`; with none, no breakpoint). One fit serves
        any number of predictions.''',
        [ENGINE,
         "inds, score : sequence\n    What `window_fit` returned for the same engine, "
         "`width` and `jump`.",
         "width : int\n    The window width given to `window_fit`.",
         "jump : int\n    The grid step given to `window_fit`.",
         "min_size : int\n    Widens the neighbourhood a peak must dominate to "
         "max(`width`,\n    2·`min_size`) / 2 samples on each side.",
         ADD_STOPS],
        BKPS, [JUMP_ERROR],
        SIGNAL + ">>> inds, score = m.window_fit(engine, 40, 1)\n"
                 ">>> m.window_predict(engine, inds, score, 40, 1, 2, n_bkps=2)\n"
                 "[100, 200, 300]"),
    "crops": sections(
        '''\
        CROPS (Haynes, Eckley and Fearnhead, 2017): every segmentation that PELT
        returns for some penalty in [`pen_min`, `pen_max`], with the penalties
        for which it does, running PELT only at a few penalties, as published
        (`penalty_path` runs it over the exact penalised optimum).''',
        [ENGINE, "pen_min, pen_max : float\n    The range of penalties.", JUMP, MIN_SIZE],
        '''\
list of (float, float, list of int)
    ``(pen_lo, pen_hi, bkps)`` per segmentation, fewest breakpoints
    (largest penalties) first.''',
        [JUMP_ERROR],
        SIGNAL + ">>> path = m.crops(engine, 5.0, 500.0, 1, 2)\n"
                 ">>> [(round(lo, 1), bkps) for lo, hi, bkps in path[:2]]\n"
                 "[(418.4, [300]), (6.7, [100, 200, 300])]"),
    "sanity_check": sections(
        '''\
        Whether `n_bkps` breakpoints on the `jump` grid fit in `n_samples` samples
        with every segment at least `min_size` long: exactly when `dynp` finds a
        segmentation (for `min_size` of at least 1).''',
        ["n_samples, n_bkps, jump, min_size : int\n    The question (a `jump` of 0 "
         "answers False)."],
        "bool",
        examples='''\
>>> from marbolt_rs import _marbolt_rs as m
>>> m.sanity_check(300, 2, 1, 2), m.sanity_check(10, 2, 1, 5)
(True, False)'''),
    "check_outer_memory": sections(
        parameters=["n, d : int\n    The number of samples and of columns.",
                    "model : str\n    The model named in the message."],
        raises=['''\
ValueError
    When the (n + 1) × d × d table would exceed 4 GiB; the message says
    what to do instead.'''],
        examples='''\
>>> from marbolt_rs import _marbolt_rs as m
>>> m.check_outer_memory(1000, 3, "normal")  # fits: returns None'''),
}
