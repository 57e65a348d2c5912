"""detect_many(): one detection per signal, run concurrently."""

import concurrent.futures
import os

from ._arguments import check_request
from ._detect import detect_checked


def detect_many(signals, model="l2", method="pelt", *, executor=None, progress=False,
                **detect_kwargs):
    """`[detect(s, model, method, **detect_kwargs) for s in signals]`, concurrently.

    Without an `executor` a thread pool of one thread per CPU is used: the
    searches release the interpreter lock, so threads scale. Any
    `concurrent.futures.Executor` may be passed instead (a process pool, or
    a Dask cluster's `client.get_executor()`); it is not shut down here.
    `progress=True` shows a progress bar on stderr (needs tqdm). The results
    come back in input order; the first failure, in input order, is raised.
    """
    request = check_request(model, method, **detect_kwargs)
    params, variant = detect_kwargs.get("params"), detect_kwargs.get("variant")
    signals = list(signals)
    own = executor is None
    if own:
        executor = concurrent.futures.ThreadPoolExecutor(
            max_workers=max(1, min(len(signals), os.cpu_count() or 1)))
    try:
        futures = [executor.submit(detect_checked, s, request, params, variant)
                   for s in signals]
        if progress:
            _show_progress(futures)
        return [future.result() for future in futures]
    finally:
        if own:
            executor.shutdown(wait=True, cancel_futures=True)


def _show_progress(futures):
    try:
        from tqdm import tqdm
    except ImportError as error:
        raise ImportError("progress=True needs tqdm (Debian: python3-tqdm)") from error
    with tqdm(total=len(futures), unit="signal") as bar:
        for _ in concurrent.futures.as_completed(futures):
            bar.update()
