"""Engines: where the rows of a fit live and how their sums are computed.

An engine never fits. It supplies the three things the solvers need, computed over its rows
however it holds them, and the api runs the same solver on what any engine supplies:

1. ``scan(formula, data, family) -> Scan``: the pass that finds the kinds and levels of the
   used columns and counts the rows, giving the `DesignPlan` (``design.plan_design``) with
   the family as the response's rule, the narwhals namespace of the input (for ``tidy``) and
   whatever the engine keeps for the later passes (``Scan.state``). ``scan`` takes the fit's
   `progress.FitProgress` (``progress=``), kept as ``Scan.progress``: each pass counts the
   batches or partitions it has read there (``step``), for the display and for the message
   of a Ctrl-C.
2. ``least_squares(scan) -> LeastSquaresSums``: XᵀX, Xᵀy, yᵀy, Σy, the row counts, and the
   compacted rows when the engine holds them in memory (``matrix``/``y``; None otherwise).
3. ``irls_source(scan, family, penalized) -> IrlsSource`` (a context manager): ``start`` (the
   `passes.StartSums` of R's start, formed with XᵀX for a ``penalized`` fit, whose aliasing
   rule reads it: see ``StartSums.rank_matrix``), ``restrict(keep)`` to
   the estimated columns, ``pass_at(beta)`` (one IRLS pass at β summed over all rows:
   deviance, XᵀWX, XᵀWz, by `passes.pass_at` on each block), ``final(beta)`` (the
   `passes.FinalSums` at the estimate), ``rows()`` (the rows in memory, or None) and
   ``scales`` (powers of two applied to extreme columns, or None).

4. ``meat(scan, response_family, request, cluster)``: the sandwich's meat
   (`covariance.HeteroskedasticSums` or, with a cluster column, `covariance.ClusterSums`)
   at the final estimate, one pass over the fit's rows by `block_meat` on each block.

Optionally an engine predicts lazily (``predict(data, predictors, predict_rows)``, where
``predict_rows(frame)`` is a picklable function of an in-memory frame), and describes a fit
(``fit_record(scan, iterations, persisted)``, set as the model's ``<engine name>_fit``).

An engine is registered below with the test of the inputs it takes (formulaic's
``REGISTER_INPUTS``; the tests live in `inputs`, so that picking an engine imports none);
``engine_for(data)`` picks the first that accepts the data, the memory
engine last (it takes every frame narwhals reads and dicts). A third engine is one module and
one entry in `_REGISTRY`.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from .. import _native, covariance, design, frames, passes
from ..design import DesignPlan
from ..families import Family
from ..frames import BoolArray, FloatArray
from ..progress import FitProgress
from . import inputs

__all__ = ["Scan", "LeastSquaresSums", "engine_for", "register"]


@dataclass
class Scan:
    """What the scan pass found: the plan, the input's namespace, the engine's own state,
    and the fit's progress, which the engine's passes report to."""

    plan: DesignPlan
    namespace: Any
    state: Any
    progress: FitProgress = field(default_factory=lambda: FitProgress("fit", "memory"))
    # The design block of an in-memory fit while it is as built: kept with the model, as R's
    # lm keeps its QR, so that the sandwich's and the diagnostics' passes need not build it
    # again. Dropped (None) once the fit scales or compacts it in place.
    built: Optional[design.DesignBlock] = None


@dataclass
class LeastSquaresSums:
    """Sums over the kept rows for least squares, with prior weights W and an offset o:
    XᵀWX, XᵀW(y − o), Σ w (y − o)², Σ (y − o), the rows; `matrix`/`y` where the engine holds
    the rows (√W X and √W (y − o)), `scales` where extreme columns were scaled by powers of
    two. With weights or an offset (`weighted`), also the rows of positive weight, Σw, XᵀW1,
    XᵀWo, Σ w o, Σ w o² and Σ log w over w > 0 (R's summary.lm measures the fitted values with the offset), and
    in memory the `weights`, `offset` and `response` (y) of the rows."""

    gram: FloatArray
    xty: FloatArray
    yty: float
    y_sum: float
    n: int
    n_missing: int
    matrix: Optional[FloatArray] = None
    y: Optional[FloatArray] = None
    scales: Optional[FloatArray] = None
    weighted: bool = False
    n_weighted: int = 0
    weight_sum: float = 0.0
    x_weight: Optional[FloatArray] = None
    x_offset: Optional[FloatArray] = None
    offset_sum: float = 0.0
    offset_square_sum: float = 0.0
    log_weight_sum: float = 0.0
    weights: Optional[FloatArray] = None
    offset: Optional[FloatArray] = None
    response: Optional[FloatArray] = None
    #: In memory, the design rows of prior weight 0 (unweighted: √W X is 0 there), whose
    #: fitted values R's lm.wfit reports as X β.
    zero_weight_rows: Optional[FloatArray] = None
    #: In memory, the scan whose kept design `matrix` is (unweighted rows are X itself).
    kept_by: Optional[Scan] = None

    def release_kept(self) -> None:
        """Before `matrix` changes in place: the scan no longer keeps it as its design."""
        if self.kept_by is not None:
            self.kept_by.built = None
            self.kept_by = None

    def restrict(self, keep: BoolArray) -> None:
        """Drops the aliased columns (in place: the matrix is compacted, not copied)."""
        if keep.all():
            return
        self.gram = self.gram[np.ix_(keep, keep)]
        self.xty = self.xty[keep]
        if self.x_weight is not None:
            self.x_weight = self.x_weight[keep]
        if self.x_offset is not None:
            self.x_offset = self.x_offset[keep]
        if self.matrix is not None:
            self.release_kept()
            self.matrix = design.compact_columns(self.matrix, keep)
        if self.zero_weight_rows is not None:
            self.zero_weight_rows = self.zero_weight_rows[:, keep]
        if self.scales is not None:
            self.scales = self.scales[keep]

    def __add__(self, other: "LeastSquaresSums") -> "LeastSquaresSums":
        def plus(a: Optional[FloatArray], b: Optional[FloatArray]) -> Optional[FloatArray]:
            return None if a is None or b is None else a + b

        return LeastSquaresSums(
            self.gram + other.gram, self.xty + other.xty, self.yty + other.yty,
            self.y_sum + other.y_sum, self.n + other.n, self.n_missing + other.n_missing,
            weighted=self.weighted, n_weighted=self.n_weighted + other.n_weighted,
            weight_sum=self.weight_sum + other.weight_sum,
            x_weight=plus(self.x_weight, other.x_weight),
            x_offset=plus(self.x_offset, other.x_offset),
            offset_sum=self.offset_sum + other.offset_sum,
            offset_square_sum=self.offset_square_sum + other.offset_square_sum,
            log_weight_sum=self.log_weight_sum + other.log_weight_sum)


def least_squares_block(block: design.DesignBlock, keep_rows: bool = False) -> LeastSquaresSums:
    """The least-squares sums of one design block; with `keep_rows`, also the rows (√W X and
    √W (y − o), a weighted copy of X where there are weights)."""
    x, y = block.matrix, block.response
    assert y is not None
    weights, offset = block.weights, block.offset
    if weights is None and offset is None:
        gram, xty = _native.gram(x, y)
        sums = LeastSquaresSums(gram, np.asarray(xty), float(y @ y), float(y.sum()),
                                int(y.shape[0]), block.n_missing)
        if keep_rows:
            sums.matrix, sums.y = x, y
        return sums
    target = y if offset is None else y - offset
    w = np.ones(y.shape[0]) if weights is None else weights
    root = np.sqrt(w)
    matrix = x if weights is None else x * root[:, None]
    scaled = target if weights is None else target * root
    gram, xty = _native.gram(matrix, scaled)
    o = np.zeros(y.shape[0]) if offset is None else offset
    sums = LeastSquaresSums(
        gram, np.asarray(xty), float(scaled @ scaled), float(target.sum()), int(y.shape[0]),
        block.n_missing, weighted=True, n_weighted=int(np.count_nonzero(w)),
        weight_sum=float(w.sum()), x_weight=np.asarray(x.T @ w),
        x_offset=np.asarray(x.T @ (w * o)), offset_sum=float(w @ o),
        offset_square_sum=float(w @ (o * o)), log_weight_sum=float(np.log(w[w > 0.0]).sum()))
    if keep_rows:
        sums.matrix, sums.y, sums.weights, sums.offset = matrix, scaled, weights, offset
        sums.response = y
        if weights is not None and np.any(weights == 0.0):
            sums.zero_weight_rows = np.array(x[weights == 0.0])
    return sums


def cluster_values(frame: Any, cluster: Any, kept: BoolArray) -> np.ndarray:
    """The cluster of every kept row: of the column `cluster` of the frame, or of an array
    with one value per row of it. A missing value in a kept row is refused (as sandwich)."""
    if isinstance(cluster, str):
        frames.require_columns(frame, [cluster])
        series = frame[cluster]
        missing = frames.missing_mask(series)
        values = series.to_numpy()
    else:
        values = np.asarray(cluster)
        if values.shape[0] != len(frame):
            raise ValueError(f"cluster has {values.shape[0]} values but the data has "
                             f"{len(frame)} rows: give one value per row (or a column name)")
        missing = _missing_values(values)
    if missing is not None and missing[kept].any():
        what = f"cluster column {cluster!r} has" if isinstance(cluster, str) \
            else "cluster values have"
        raise ValueError(
            f"the {what} {int(missing[kept].sum())} missing value(s) in rows of the fit: fill "
            "them in, or drop those rows and fit again")
    return np.asarray(values[kept])


def _missing_values(values: np.ndarray) -> Optional[BoolArray]:
    if values.dtype.kind == "f":
        return np.asarray(np.isnan(values), dtype=bool)
    if values.dtype.kind == "O":
        return np.array([value is None or value != value for value in values], dtype=bool)
    return None


def fit_rows_of(plan: DesignPlan, frame: Any, response_family: Optional[Family],
                built: Optional[design.DesignBlock] = None
                ) -> tuple[passes.Rows, design.DesignBlock]:
    """The fit's rows of one frame, rebuilt with the fit's plan (every design column; `built`,
    the block the fit kept, if given) and read as `response_family` reads the response (None:
    as least squares), and the block."""
    block = plan.build(frame) if built is None else built
    assert block.response is not None
    return passes.rows_for(response_family, block.matrix, block.response, block.n_missing,
                           block.weights, block.offset), block


def block_meat(plan: DesignPlan, frame: Any, response_family: Optional[Family],
               request: passes.MeatRequest, cluster: Any = None,
               built: Optional[design.DesignBlock] = None
               ) -> Optional[covariance.MeatSums]:
    """The meat sums of the fit's rows of one frame (None for a frame of no rows): its design
    block rebuilt with the fit's plan, read as `response_family` reads the response (None:
    as least squares), and the clusters of its kept rows."""
    if len(frame) == 0:
        return None
    rows, block = fit_rows_of(plan, frame, response_family, built)
    keys = None if cluster is None else cluster_values(frame, cluster, block.kept)
    return passes.meat_sums(request, rows, keys, in_place=built is None)


# name -> (accepts(data), module of the engine); the memory engine takes what others do not.
_REGISTRY: dict[str, tuple[Callable[[object], bool], str]] = {}


def register(name: str, accepts: Callable[[object], bool], module: str) -> None:
    """Registers an engine module (imported on first use) for the inputs `accepts` takes."""
    _REGISTRY[name] = (accepts, module)


register("dask", inputs.is_dask_frame, "tallyfit.engines.dask")
register("stream", inputs.is_stream_source, "tallyfit.engines.stream")
register("memory", lambda data: True, "tallyfit.engines.memory")


def engine_for(data: object) -> Any:
    """The engine module of the first registered engine that takes `data`.

    >>> engine_for({"x": [1.0]}).NAME
    'memory'
    """
    for accepts, module in _REGISTRY.values():
        if accepts(data):
            return importlib.import_module(module)
    raise TypeError(f"no engine takes data of type {type(data).__name__}")  # pragma: no cover
