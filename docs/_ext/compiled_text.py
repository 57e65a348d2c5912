"""The numpydoc sections of the compiled module's reference pages.

The module's own docstrings are part of its fixed interface and mostly empty;
these texts are what the reference pages show after them (see
`compiled_api`). Their examples run in the docs tests.
"""

_SIGNAL = '''
    >>> import numpy as np
    >>> from marbolt_rs import _marbolt_rs as m
    >>> rng = np.random.default_rng(0)
    >>> signal = np.r_[np.zeros(100), np.full(100, 4.0), np.ones(100)] + rng.normal(size=300)
    >>> engine = m.CostEngine(signal, "l2")'''

_ENGINE = '''engine : CostEngine
        The fitted cost model; borrowed for the call, never changed.'''

_JUMP = '''jump : int
        The grid step: every breakpoint but the last is a multiple of `jump`
        (at least 1).'''

_MIN_SIZE = '''min_size : int
        The shortest segment, used as given (a `min_size` of 0 is served as
        1); pass at least the engine's `min_size`.'''

_ADD_STOPS = '''n_bkps : int, optional
        Stop at this many breakpoints.
    pen : float, optional
        Add a breakpoint only while it lowers the total cost by more than
        `pen`.
    epsilon : float, optional
        Add breakpoints while the total cost is above `epsilon`.'''

_MERGE_STOPS = '''n_bkps : int, optional
        Merge down to this many breakpoints.
    pen : float, optional
        Remove a breakpoint while removing it raises the total cost by less
        than `pen`.
    epsilon : float, optional
        Merge while the total cost is below `epsilon`.'''

_BKPS = '''list of int
        The breakpoints: ascending, ending with the number of samples.'''

_JUMP_ERROR = '''ValueError
        "jump must be at least 1".'''

SUPPLEMENTS = {
    "CostEngine": f'''
    Parameters
    ----------
    signal : numpy.ndarray
        float64, samples × columns (1-D is one column), in any layout (C or
        Fortran order, strided or reversed views). It is copied: a later
        change to the array does not reach the engine.
    model : str
        "l1", "l2", "normal", "rbf", "cosine", "rank", "mahalanobis",
        "clinear", "linear" or "ar".
    params : dict, optional
        The model's options; keys the model does not read are ignored.
        "gamma" (rbf: the bandwidth, by default 1 / the median squared
        distance over all pairs of samples), "add_small_diag" (normal,
        default True), "metric" (mahalanobis: a d × d float64 array,
        required), "order" (ar, default 4, below the number of samples).
    variant : str, optional
        "python" (the default) or "extension": for "rbf" the kernel rounded
        through 32-bit floats with its diagonal as computed, so that a
        segment of equal samples costs 0; for "l2" the linear kernel, which
        `kernel_pelt` accepts; other models ignore it.

    Attributes
    ----------
    n_samples : int
        The number of samples.
    model : str
        The model's name.
    min_size : int
        The model's shortest segment.
    gamma : float or None
        The rbf bandwidth used; None for the other models.

    Methods
    -------
    error(start, end)
        The cost of the segment [start, end), after checking its bounds.
    sum_of_costs(bkps)
        The sum of the segment costs of a breakpoint list.

    Raises
    ------
    TypeError
        A signal that is not a float64 NumPy array, or arguments of the
        wrong type.
    ValueError
        An unknown model or variant, a signal of more than two dimensions,
        a missing or misshapen metric, an order not below the number of
        samples, or a table over the 4 GiB budget.
    RuntimeError
        "NotEnoughPoints", from `error` and `sum_of_costs`, for a segment
        shorter than `min_size`.

    Notes
    -----
    The engine never changes after it is built, so one engine serves any
    number of searches and threads at once.

    Examples
    --------{_SIGNAL}
    >>> engine.n_samples, engine.model, engine.min_size, engine.gamma
    (300, 'l2', 1, None)
    >>> round(engine.error(0, 100), 3), round(engine.sum_of_costs([100, 200, 300]), 3)
    (92.57, 308.355)
    ''',
    "pelt": f'''
    PELT (Killick, Fearnhead and Eckley, 2012): the minimum of the total cost
    plus `pen` per breakpoint, with pruning. The pruning is exact when cutting
    a segment never raises its cost, which "normal", "cosine" and "clinear"
    do not guarantee (see the user guide's page on search methods).

    Parameters
    ----------
    {_ENGINE}
    pen : float
        The price of one breakpoint.
    {_JUMP}
    {_MIN_SIZE}

    Returns
    -------
    {_BKPS}

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> m.pelt(engine, 20.0, 1, 2)
    [100, 200, 300]
    ''',
    "kernel_pelt": f'''
    Every position is a candidate (there is no `jump`), and segment costs come
    straight from the kernel sums of the engine.

    Parameters
    ----------
    engine : CostEngine
        A kernel engine: "rbf", "cosine", or "l2" with ``variant="extension"``.
    pen : float
        The price of one breakpoint.
    min_size : int
        The shortest segment, at least 1.

    Returns
    -------
    {_BKPS}

    Raises
    ------
    ValueError
        "kernel_pelt requires a kernel cost engine"; "min_size must be at
        least 1".

    Examples
    --------{_SIGNAL}
    >>> m.kernel_pelt(m.CostEngine(signal, "rbf"), 5.0, 2)
    [100, 200, 300]
    >>> m.kernel_pelt(m.CostEngine(signal, "l2", variant="extension"), 20.0, 2)
    [100, 200, 300]
    ''',
    "dynp": f'''
    The exact best segmentation with exactly `n_bkps` breakpoints, by dynamic
    programming: O(n²) cost evaluations per breakpoint, except on one-column
    "l2", whose layers are pruned (about 20 evaluations per sample and
    breakpoint). The layers run on a process-wide worker pool sized by
    ``RAYON_NUM_THREADS`` (else ``RAYON_RS_NUM_CPUS``, else the CPUs the
    process may use); the result is the same for every pool size.

    Parameters
    ----------
    {_ENGINE}
    n_bkps : int
        The number of breakpoints.
    {_JUMP}
    {_MIN_SIZE}

    Returns
    -------
    {_BKPS}

    Raises
    ------
    {_JUMP_ERROR}
    AssertionError
        "No admissible last breakpoints found. n_samples: ..., n_bkps: ...."
        when no segmentation has `n_bkps` breakpoints (`sanity_check` tells
        beforehand).

    Examples
    --------{_SIGNAL}
    >>> m.dynp(engine, 2, 1, 2)
    [100, 200, 300]
    ''',
    "dynp_all": f'''
    Parameters
    ----------
    {_ENGINE}
    n_bkps : int
        The largest number of breakpoints.
    {_JUMP}
    {_MIN_SIZE}

    Returns
    -------
    list of (list of int or None)
        At index k - 1 the best segmentation with k breakpoints, or None
        when none exists.

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> m.dynp_all(engine, 2, 1, 2)
    [[100, 300], [100, 200, 300]]
    ''',
    "binseg": f'''
    Binary segmentation: greedy top-down splitting, each step adding the
    breakpoint that lowers the total cost most. Of `n_bkps`, `pen` and
    `epsilon`, the first given is consulted; with none, no split is made.

    Parameters
    ----------
    {_ENGINE}
    {_JUMP}
    {_MIN_SIZE}
    {_ADD_STOPS}

    Returns
    -------
    {_BKPS}

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> m.binseg(engine, 1, 2, n_bkps=2)
    [100, 200, 300]
    ''',
    "bottomup": f'''
    Bottom-up merging: a fine partition by repeated halving, then greedy
    merging of the neighbours whose merge raises the total cost least. Of
    `n_bkps`, `pen` and `epsilon`, the first given is consulted; with none,
    the fine partition is returned.

    Parameters
    ----------
    {_ENGINE}
    {_JUMP}
    {_MIN_SIZE}
    {_MERGE_STOPS}

    Returns
    -------
    {_BKPS}

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> m.bottomup(engine, 1, 2, pen=20.0)
    [99, 201, 300]
    ''',
    "window_fit": f'''
    The first half of the sliding-window search: scores every window centre
    on the grid by how much the cost of a window of `width` samples drops
    when it is cut there. Keep the result for `window_predict`.

    Parameters
    ----------
    {_ENGINE}
    width : int
        The window width in samples (an odd width uses one sample less).
    jump : int
        The grid step of the centres (at least 1).

    Returns
    -------
    inds : list of int
        The centres, ascending.
    score : list of float
        Their scores.

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> inds, score = m.window_fit(engine, 40, 1)
    >>> len(inds), inds[0]
    (260, 20)
    ''',
    "window_predict": f'''
    The second half of the sliding-window search: takes the peaks of the
    scores in decreasing order until the stopping rule holds (the first given
    of `n_bkps`, `pen` and `epsilon`; with none, no breakpoint). One fit serves
    any number of predictions.

    Parameters
    ----------
    {_ENGINE}
    inds, score : sequence
        What `window_fit` returned for the same engine, `width` and `jump`.
    width : int
        The window width given to `window_fit`.
    jump : int
        The grid step given to `window_fit`.
    min_size : int
        Widens the neighbourhood a peak must dominate to max(`width`,
        2·`min_size`) / 2 samples on each side.
    {_ADD_STOPS}

    Returns
    -------
    {_BKPS}

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> inds, score = m.window_fit(engine, 40, 1)
    >>> m.window_predict(engine, inds, score, 40, 1, 2, n_bkps=2)
    [100, 200, 300]
    ''',
    "crops": f'''
    CROPS (Haynes, Eckley and Fearnhead, 2017): every segmentation that PELT
    returns for some penalty in [`pen_min`, `pen_max`], with the penalties
    for which it does, running PELT only at a few penalties.

    Parameters
    ----------
    {_ENGINE}
    pen_min, pen_max : float
        The range of penalties.
    {_JUMP}
    {_MIN_SIZE}

    Returns
    -------
    list of (float, float, list of int)
        ``(pen_lo, pen_hi, bkps)`` per segmentation, fewest breakpoints
        (largest penalties) first.

    Raises
    ------
    {_JUMP_ERROR}

    Examples
    --------{_SIGNAL}
    >>> [(round(lo, 1), bkps) for lo, hi, bkps in m.crops(engine, 5.0, 500.0, 1, 2)][:2]
    [(418.4, [300]), (6.7, [100, 200, 300])]
    ''',
    "sanity_check": '''
    Whether `n_bkps` breakpoints on the `jump` grid fit in `n_samples` samples
    with every segment at least `min_size` long: exactly when `dynp` finds a
    segmentation (for `min_size` of at least 1).

    Parameters
    ----------
    n_samples, n_bkps, jump, min_size : int
        The question (a `jump` of 0 answers False).

    Returns
    -------
    bool

    Examples
    --------
    >>> from marbolt_rs import _marbolt_rs as m
    >>> m.sanity_check(300, 2, 1, 2), m.sanity_check(10, 2, 1, 5)
    (True, False)
    ''',
    "check_outer_memory": '''
    Parameters
    ----------
    n, d : int
        The number of samples and of columns.
    model : str
        The model named in the message.

    Raises
    ------
    ValueError
        When the (n + 1) × d × d table would exceed 4 GiB; the message says
        what to do instead.

    Examples
    --------
    >>> from marbolt_rs import _marbolt_rs as m
    >>> m.check_outer_memory(1000, 3, "normal")  # fits: returns None
    ''',
}
