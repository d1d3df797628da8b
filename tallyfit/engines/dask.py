"""The Dask engine: fits on a Dask DataFrame from sums over its partitions.

Both least squares and IRLS need only sums over rows: XᵀX, Xᵀy and yᵀy for least squares;
XᵀWX, XᵀWz and the deviance for each IRLS pass. So each partition is turned into its design
block with one global encoding, `passes` computes the block's p × p and p-sized sums, and the
workers add them up in a tree; only the totals reach the client, where the solvers run as for
any engine.

Passes over the data:

1. One pass collects what the encoding needs: the levels of every categorical variable (the
   categories of a column of dtype category in their order, the sorted unique values of a
   string column, as in memory), the count of rows in every partition and what the calls
   that learn from the whole column learn (``scale``, ``poly``, ``ns``, ``bs``, the levels of
   ``factor``/``C``/``relevel``: `learning`); ``.`` stands for the frame's columns.
2. Least squares: one pass. IRLS: one pass for the start sums (with XᵀX), one per
   iteration and one for the measures at the final coefficients.

The design blocks of an IRLS fit are persisted on the workers when their total size
(rows × columns × 8 bytes) is at most `PERSIST_SHARE` of the memory the workers may use;
otherwise every pass builds them again from the source (for example by reading the Parquet
files again), which costs a read per pass but needs memory for a few partitions only.

Predictions are lazy: a Dask Series computed by the model's in-memory predict on each
partition.

>>> import dask.dataframe as dd, pandas as pd, tallyfit as tf
>>> frame = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
>>> m = tf.lm("y ~ x", dd.from_pandas(frame, npartitions=2))
>>> round(m.coefficients["x"], 6), round(m.r_squared, 6), m.residuals is None
(1.1, 0.691429, True)
"""
from __future__ import annotations

import importlib
import json
import os
import sys
from dataclasses import dataclass
from functools import lru_cache
from types import TracebackType
from typing import Any, Callable, Optional, Sequence

import numpy as np

from .. import covariance, design, frames, passes
from ..design import parse_formula, plan_design
from ..families import Family, family_from
from ..frames import BoolArray, FloatArray, Kind
from ..progress import FitProgress
from . import LeastSquaresSums, Scan, block_meat, least_squares_block
from .inputs import is_dask_frame
from .learning import Learning, gather, plan_in_passes
from .summaries import change_since_planning, data_changed, rows_changed, scatter, used_variables

NAME = "dask"

#: Statistics of one partition, or of several added up: name -> array or number.
Statistics = dict[str, Any]

#: Partial sums combined per task of the tree reduction.
FAN_IN = 8

#: Share of the workers' memory that persisted design blocks may take.
PERSIST_SHARE = 0.5

#: What to do when the data change between passes.
ADVICE = ("persist the frame (data.persist()) or write it to Parquet and fit on that")

def _dask() -> Any:
    """The dask module, imported on first use (only Dask inputs need it)."""
    return importlib.import_module("dask")


# ---- Sums over partitions ------------------------------------------------------------------


def add_statistics(*parts: Statistics | None) -> Statistics | None:
    """Adds partial statistics key by key; None (nothing to add) is skipped."""
    total: Any = None
    for part in parts:
        if part is None:
            continue
        if total is None:
            total = dict(part) if isinstance(part, dict) else part
        elif isinstance(part, dict):
            for key, value in part.items():
                total[key] = total[key] + value
        else:
            total = total + part
    return total  # type: ignore[no-any-return]


def tree_sum(parts: list[Any]) -> Any:
    """A delayed sum of delayed statistics, added on the workers in a tree."""
    delayed = _dask().delayed
    if not parts:
        return delayed(add_statistics)()
    while len(parts) > 1:
        parts = [
            delayed(add_statistics, pure=True)(*parts[i:i + FAN_IN])
            for i in range(0, len(parts), FAN_IN)
        ]
    return parts[0]


def _distributed_client() -> Any:
    """The distributed client that ``dask.compute`` would run on now, or None (a local
    scheduler)."""
    if "distributed" not in sys.modules:
        return None
    scheduler = _dask().base.get_scheduler()
    owner = getattr(scheduler, "__self__", None)
    from distributed import Client

    return owner if isinstance(owner, Client) else None


def computed(*collections: Any) -> tuple[Any, ...]:
    """``dask.compute(*collections)``; on a distributed client, a Ctrl-C cancels the
    tasks of the computation before it is raised, so that none keeps running."""
    client = _distributed_client()
    if client is None:
        return tuple(_dask().compute(*collections))
    futures = client.compute(list(collections))
    try:
        return tuple(client.gather(futures))
    except KeyboardInterrupt:
        client.cancel(futures)
        raise


def _tracked_sum(client: Any, parts: list[Any], progress: FitProgress) -> Any:
    """The tree sum of `parts` on `client`, the same tasks as `compute_sum`'s (the same
    additions in the same order), with the partitions' results as futures, so that each is
    counted when done."""
    from distributed import as_completed

    progress.expect(len(parts))
    futures = client.compute(parts)
    result = client.compute(tree_sum([_dask().delayed(future) for future in futures]))
    try:
        for _ in as_completed(futures):  # type: ignore[no-untyped-call]
            progress.step(0)
        return result.result()
    except KeyboardInterrupt:
        client.cancel([*futures, result])
        raise


def cancel(collections: list[Any]) -> None:
    """Cancels what `collections` persisted on a distributed client (nothing otherwise)."""
    client = _distributed_client()
    if client is not None:
        from distributed import futures_of

        client.cancel(futures_of(collections))  # type: ignore[no-untyped-call]


def compute_sum(parts: list[Any], progress: Optional[FitProgress] = None, rows: int = 0) -> Any:
    """Computes the tree sum of `parts`; a worker's exception is raised here. `progress` is
    told the partitions (and `rows` rows) once they are summed, and on a distributed client
    with the display on, each partition as it is done."""
    client = _distributed_client() if progress is not None and progress.show else None
    if client is not None and progress is not None:
        total = _tracked_sum(client, parts, progress)
    else:
        total = computed(tree_sum(parts))[0]
    if progress is not None:
        progress.passed(len(parts), rows)
    if total is None:
        raise ValueError("the Dask DataFrame has no rows to fit on")
    return total


# ---- Memory -------------------------------------------------------------------------------


def workers_memory() -> float:
    """Bytes the workers may use: the sum of the memory limits of the workers of the current
    distributed client, or the available memory of this machine without a client."""
    client = _current_client()
    if client is not None:
        try:
            info = client.scheduler_info(n_workers=-1)
        except TypeError:  # versions before the n_workers argument list every worker
            info = client.scheduler_info()
        workers = info["workers"].values()
        limits = [worker.get("memory_limit") or 0 for worker in workers]
        if all(limits):
            return float(sum(limits))
    return float(_available_memory())


def _current_client() -> Any:
    if "distributed" not in sys.modules:
        return None
    from distributed import get_client

    try:
        return get_client()
    except ValueError:
        return None


def _available_memory() -> int:
    try:
        with open("/proc/meminfo", encoding="ascii") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_AVPHYS_PAGES")


def blocks_fit_in_memory(rows: int, columns: int, memory: float) -> bool:
    """Whether design blocks of `rows` × `columns` (plus the response) fit in the share of
    `memory` that persisted blocks may take.

    >>> blocks_fit_in_memory(1_000_000, 19, 1e9), blocks_fit_in_memory(10**8, 19, 1e9)
    (True, False)
    """
    return rows * (columns + 1) * 8 <= PERSIST_SHARE * memory


# ---- Pass 1: what the encoding needs ------------------------------------------------------


@dataclass(frozen=True)
class Recipe:
    """What a worker needs to plan the design again (a plan holds native objects, which do
    not travel): the formula text, the kinds and levels of the variables, and the family and
    link whose rule the response follows (None: a numeric response)."""

    formula: str
    kinds: tuple[tuple[str, Kind], ...]
    levels: tuple[tuple[str, tuple[str, ...]], ...]
    family: Optional[tuple[str, str]]
    weights: Optional[str] = None
    offset: Optional[str] = None
    #: The learned states of the stateful calls (JSON text, so the recipe hashes) and the
    #: columns '.' stands for.
    states: str = "{}"
    columns: Optional[tuple[str, ...]] = None

    def family_object(self) -> Optional[Family]:
        return None if self.family is None else family_from(*self.family)

    def plan(self) -> Any:
        """The design plan, planned once per process."""
        return _planned(self)


@lru_cache(maxsize=16)
def _planned(recipe: Recipe) -> Any:
    return plan_design(
        recipe.formula,
        dict(recipe.kinds),
        {name: list(levels) for name, levels in recipe.levels},
        response_rule=recipe.family_object(),
        weights=recipe.weights,
        offset=recipe.offset,
        states=json.loads(recipe.states),
        columns=recipe.columns,
    )


@dataclass
class PlannedFrame:
    """A Dask frame with the design plan of a formula: the plan, the recipe the workers plan
    from (one delayed value that every task refers to, so that long lists of levels travel
    once), the delayed partitions holding only the used columns and their row counts."""

    plan: Any
    recipe: Any
    partitions: list[Any]
    rows: int
    kept: int


def plan_dask(formula: Any, data: Any, family: Optional[Family], weights: Optional[str] = None,
              offset: Optional[str] = None,
              progress: Optional[FitProgress] = None) -> PlannedFrame:
    """Pass 1 over a Dask frame and the design plan it allows; errors as in memory."""
    parsed = parse_formula(formula)
    meta, _ = frames.to_frame(data._meta)
    columns = list(meta.columns) if parsed.dot else None  # '.': the frame's columns
    if columns is not None:
        parsed = parsed.with_columns(columns)
    used = used_variables(parsed, weights, offset)
    frames.require_columns(meta, used)
    selected = data[used]
    partitions = list(selected.to_delayed())
    task = _dask().delayed(gather, pure=True)

    def run(learning: Learning) -> list[Any]:
        if progress is not None:
            progress.stage("levels pass", total=len(partitions))
        found: list[Any] = computed([task(part, learning) for part in partitions])[0]
        return found

    plan, merged = plan_in_passes(parsed, meta, used, run, "partitions", family=family,
                                  weights=weights, offset=offset,
                                  known=_known_categories(meta, used), columns=columns)
    assert merged is not None  # without schema kinds, a pass always runs
    recipe = Recipe(
        parsed.original,
        tuple(sorted(plan.kinds.items())),
        tuple(sorted((name, tuple(values)) for name, values in plan.levels.items())),
        None if family is None else (family.name, family.link.name),
        weights,
        offset,
        json.dumps(plan.states),
        None if columns is None else tuple(columns),
    )
    return PlannedFrame(
        plan,
        _dask().delayed(recipe, pure=True, traverse=False),
        partitions,
        merged.rows,
        merged.kept,
    )


def _known_categories(meta: Any, used: Sequence[str]) -> dict[str, list[str]]:
    """The categories of the columns of dtype category whose categories Dask knows."""
    known = {}
    for name in used:
        levels = frames.declared_levels(meta[name])
        if levels is not None and levels != ["__UNKNOWN_CATEGORIES__"]:
            known[name] = levels
    return known


# ---- Pass 2 and on: the partitions' statistics ---------------------------------------------


def _design_block(recipe: Recipe, partition: Any) -> Optional[design.DesignBlock]:
    """The design block of one partition; None for an empty one."""
    if len(partition) == 0:
        return None
    plan = recipe.plan()
    frame = frames.to_frame(partition)[0]
    try:
        return plan.build(frame)  # type: ignore[no-any-return]
    except ValueError as error:
        change = change_since_planning(plan, frame)
        if change is None:
            raise
        raise ValueError(data_changed(change, ADVICE)) from error


def _rows(recipe: Recipe, partition: Any) -> Optional[passes.Rows]:
    """The rows of one partition as the family reads them; None for an empty one."""
    block = _design_block(recipe, partition)
    if block is None:
        return None
    assert block.response is not None
    return passes.rows_for(recipe.family_object(), block.matrix, block.response,
                           block.n_missing, block.weights, block.offset)


def _least_squares_partition(recipe: Recipe, partition: Any) -> Optional[LeastSquaresSums]:
    block = _design_block(recipe, partition)
    return None if block is None else least_squares_block(block)


def _start_partition(block: Optional[passes.Rows], family: Family,
                     with_gram: bool) -> Optional[passes.StartSums]:
    # Arrays that arrive from another process may start at any byte: aligned (copied) then.
    return None if block is None else passes.start_sums(family, block.aligned(),
                                                        with_gram=with_gram)


def _pass_partition(block: Optional[passes.Rows], family: Family,
                    beta: np.ndarray) -> Optional[passes.PassSums]:
    if block is None:
        return None
    return passes.pass_at(family, block.aligned(), np.require(beta, requirements="A"))


def _null_partition(block: Optional[passes.Rows], family: Family,
                    beta: np.ndarray) -> Optional[passes.PassSums]:
    if block is None:
        return None
    return passes.pass_at(family, passes.intercept_only(block.aligned()), beta)


def _final_partition(block: Optional[passes.Rows], family: Family, beta: np.ndarray,
                     null_mu: Optional[float], null_by_offset: bool,
                     weights_at: passes.WeightsAt) -> Optional[passes.FinalSums]:
    if block is None:
        return None
    return passes.final_sums(family, block, beta, null_mu, null_by_offset,
                             weights_at=weights_at)


def scan(formula: str, data: Any, family: Optional[Family], weights: Optional[str] = None,
         offset: Optional[str] = None, progress: Optional[FitProgress] = None) -> Scan:
    """Pass 1: the levels and kinds over all partitions, and the design plan."""
    hook = FitProgress("fit", NAME) if progress is None else progress
    planned = plan_dask(formula, data, family, weights, offset, hook)
    hook.passed(len(planned.partitions), planned.rows)
    return Scan(planned.plan, frames.to_frame(data._meta)[1], (planned, data), hook)


def least_squares(scan: Scan) -> LeastSquaresSums:
    """One pass for XᵀX, Xᵀy, yᵀy, Σy and n."""
    planned, _ = scan.state
    partition = _dask().delayed(_least_squares_partition, pure=True)
    sums: LeastSquaresSums = compute_sum([partition(planned.recipe, part)
                                          for part in planned.partitions],
                                         scan.progress, planned.rows)
    _check_rows(planned, sums.n + sums.n_missing)
    return sums


class DaskSource:
    """The IRLS source over the partitions' design blocks (see the engine interface)."""

    scales = None

    def __init__(self, scan: Scan, family: Family, with_gram: bool) -> None:
        planned, _ = scan.state
        self.planned = planned
        self.family = family
        self.progress = scan.progress
        delayed = _dask().delayed
        self._family = delayed(family, pure=True, traverse=False)
        build = delayed(_rows, pure=True)
        p = len(planned.plan.column_names)
        blocks = [build(planned.recipe, part) for part in planned.partitions]
        self.persisted = blocks_fit_in_memory(planned.kept, p, workers_memory())
        if self.persisted:
            blocks = list(_dask().persist(*blocks))
        self.blocks: Optional[list[Any]] = blocks
        self.keep = np.ones(p, dtype=bool)
        start = delayed(_start_partition, pure=True)
        try:
            self.start: passes.StartSums = compute_sum(
                [start(block, self._family, with_gram) for block in blocks], self.progress, planned.kept)
        except KeyboardInterrupt:
            if self.persisted:
                cancel(blocks)  # the blocks being built on the workers
            raise
        _check_rows(planned, self.start.n + self.start.n_missing)

    def __enter__(self) -> "DaskSource":
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if kind is not None and issubclass(kind, KeyboardInterrupt) and self.persisted \
                and self.blocks is not None:
            cancel(self.blocks)
        self.blocks = None  # releases persisted blocks on the workers

    def restrict(self, keep: BoolArray) -> None:
        self.keep = keep
        self.start.restrict(keep)

    def _sum(self, function: Callable[..., Any], beta: FloatArray, *more: Any) -> Any:
        assert self.blocks is not None
        task = _dask().delayed(function, pure=True)
        return compute_sum([task(block, self._family, beta, *more) for block in self.blocks],
                           self.progress, self.planned.kept)

    def pass_at(self, beta: FloatArray) -> passes.PassSums:
        sums: passes.PassSums = self._sum(_pass_partition, scatter(beta, self.keep))
        return sums.restrict(self.keep)

    def rows(self) -> None:
        return None

    def final(self, beta: FloatArray, null_mu: Optional[float] = None,
              null_by_offset: bool = False,
              weights_at: passes.WeightsAt = "beta") -> passes.FinalSums:
        at = weights_at if weights_at is None or isinstance(weights_at, str) \
            else scatter(weights_at, self.keep)
        final: passes.FinalSums = self._sum(_final_partition, scatter(beta, self.keep),
                                            null_mu, null_by_offset, at)
        return final

    def null_pass(self, beta: FloatArray) -> passes.PassSums:
        sums: passes.PassSums = self._sum(_null_partition, beta)
        return sums


def irls_source(scan: Scan, family: Family, penalized: bool) -> DaskSource:
    # Extreme columns are not rescaled here.
    return DaskSource(scan, family, with_gram=penalized)


def _meat_partition(recipe: Recipe, partition: Any, request: passes.MeatRequest,
                    cluster: Optional[str]) -> Optional[covariance.MeatSums]:
    if len(partition) == 0:
        return None
    frame = frames.to_frame(partition)[0]
    return block_meat(recipe.plan(), frame, recipe.family_object(), request, cluster)


def meat(scan: Scan, response_family: Optional[Family], request: passes.MeatRequest,
         cluster: Optional[str] = None) -> covariance.MeatSums:
    """The sandwich's meat in one pass over the partitions, each rebuilt into its design
    block; per-cluster sums are merged by cluster value in the tree of sums. A cluster is a
    column name: the partitions are read with it."""
    planned, data = scan.state
    if cluster is not None and not isinstance(cluster, str):
        raise ValueError(
            "cluster as values is offered for in-memory data; on dask data give the name of "
            "a column that holds the clusters")
    partitions = planned.partitions
    if cluster is not None:
        used = used_variables(scan.plan.model_formula, scan.plan.weights, scan.plan.offset)
        frames.require_columns(frames.to_frame(data._meta)[0], [cluster])
        partitions = list(data[list(dict.fromkeys([*used, cluster]))].to_delayed())
    task = _dask().delayed(_meat_partition, pure=True)
    request_value = _dask().delayed(request, pure=True, traverse=False)
    sums: covariance.MeatSums = compute_sum([task(planned.recipe, part, request_value, cluster)
                                             for part in partitions])
    return sums


def fit_record(scan: Scan, iterations: Optional[int] = None,
               persisted: Optional[bool] = None) -> dict[str, Any]:
    """The model's `dask_fit`: partitions, iterations and whether blocks were persisted."""
    _, data = scan.state
    return {"partitions": data.npartitions, "iterations": iterations, "persisted": persisted}


def _check_rows(planned: PlannedFrame, rows: int) -> None:
    if rows != planned.rows:
        raise ValueError(data_changed(rows_changed(planned.rows, rows), ADVICE))


# ---- Prediction -----------------------------------------------------------------------------


def predict(data: Any, predictors: Sequence[str],
            predict_rows: Callable[[Any], FloatArray]) -> Any:
    """Lazy predictions for the rows of a Dask DataFrame: a Dask Series of float64 with the
    frame's partitions and index, `predict_rows` (a picklable function of an in-memory frame,
    the model's in-memory predict) computed on each partition. Errors of the data (an
    unknown column now; a level the model was not fitted with when computed) are those of
    the in-memory predict.

    >>> import dask.dataframe as dd, pandas as pd, tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> new = dd.from_pandas(pd.DataFrame({"x": [5.0, 6.0, 7.0]}), npartitions=2)
    >>> m.predict(new).compute().round(6).tolist()
    [5.5, 6.6, 7.7]
    """
    import pandas as pd

    meta, _ = frames.to_frame(data._meta)
    frames.require_columns(meta, list(predictors))
    return data[list(predictors)].map_partitions(
        _predict_partition, predict_rows, meta=pd.Series(dtype="float64"))


def _predict_partition(partition: Any, predict_rows: Callable[[Any], FloatArray]) -> Any:
    import pandas as pd

    if len(partition) == 0:
        return pd.Series([], dtype="float64", index=partition.index)
    return pd.Series(predict_rows(partition), index=partition.index, dtype="float64")
