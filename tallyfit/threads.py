"""The Python side's own threads: NumPy's loops over large arrays release the interpreter's
lock, so the pieces of a pass over the rows (a chunk of the final measures, a column of the
design) run on every core, as the native kernels' row blocks do.

The pool has as many threads as the native kernels use: ``TALLYFIT_THREADS`` when it holds a
count from 1 to 64, else the machine's cores. Results come back in the order of the items,
so sums over them are added in one fixed order whatever the thread count.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Optional, TypeVar

Item = TypeVar("Item")
Result = TypeVar("Result")

_MAX_THREADS = 64  # as many as the native passes take
_pool: Optional[ThreadPoolExecutor] = None
_pool_size = 0
_pool_lock = threading.Lock()


def thread_count() -> int:
    """The threads a pass runs on: ``TALLYFIT_THREADS`` (1 to 64), else the cores.

    >>> thread_count() >= 1
    True
    """
    value = os.environ.get("TALLYFIT_THREADS", "")
    if value.isdigit() and 1 <= int(value) <= _MAX_THREADS:
        return int(value)
    return max(1, os.cpu_count() or 1)


def _executor(size: int) -> ThreadPoolExecutor:
    global _pool, _pool_size
    with _pool_lock:
        if _pool is None or _pool_size != size:
            if _pool is not None:
                _pool.shutdown(wait=False)
            _pool = ThreadPoolExecutor(size, thread_name_prefix="tallyfit")
            _pool_size = size
        return _pool


def map_in_order(function: Callable[[Item], Result], items: Iterable[Item]) -> list[Result]:
    """`function` of every item, on the pool's threads, in the items' order; on the calling
    thread alone when one thread is asked for, there is one item, or the caller is not the
    main thread (one of this pool's threads, or of a Dask worker's). An exception of any item
    is raised here.

    >>> map_in_order(lambda k: k * k, range(5))
    [0, 1, 4, 9, 16]
    """
    work = list(items)
    threads = min(thread_count(), len(work))
    # A caller off the main thread is already one of some pool's threads (this one's, so that
    # a nested call never waits for a thread of the pool that is itself waiting, or a Dask
    # worker's, whose process runs a task per core: more threads there only contend).
    if threads <= 1 or threading.current_thread() is not threading.main_thread():
        return [function(item) for item in work]
    return list(_executor(thread_count()).map(function, work))
