"""Engines: where the rows of a fit live and how their sums are computed.

An engine never fits. It supplies the three things the solvers need, computed over its rows
however it holds them, and the api runs the same solver on what any engine supplies:

1. ``scan(formula, data, family) -> Scan``: the pass that finds the kinds and levels of the
   used columns and counts the rows, giving the `DesignPlan` (``design.plan_design``) with
   the family as the response's rule, the narwhals namespace of the input (for ``tidy``) and
   whatever the engine keeps for the later passes (``Scan.state``).
2. ``least_squares(scan) -> LeastSquaresSums``: XᵀX, Xᵀy, yᵀy, Σy, the row counts, and the
   compacted rows when the engine holds them in memory (``matrix``/``y``; None otherwise).
3. ``irls_source(scan, family, rescale) -> IrlsSource`` (a context manager): ``start`` (the
   `passes.StartSums` of R's start, with XᵀX for the aliasing rule), ``restrict(keep)`` to
   the estimated columns, ``pass_at(beta)`` (one IRLS pass at β summed over all rows:
   deviance, XᵀWX, XᵀWz, by `passes.pass_at` on each block), ``final(beta)`` (the
   `passes.FinalSums` at the estimate), ``rows()`` (the rows in memory, or None) and
   ``scales`` (powers of two applied to extreme columns, or None).

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
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from .. import design
from ..design import DesignPlan
from ..frames import BoolArray, FloatArray
from . import inputs

__all__ = ["Scan", "LeastSquaresSums", "engine_for", "register"]


@dataclass
class Scan:
    """What the scan pass found: the plan, the input's namespace, the engine's own state."""

    plan: DesignPlan
    namespace: Any
    state: Any


@dataclass
class LeastSquaresSums:
    """Sums over the kept rows for least squares; `matrix`/`y` where the engine holds the
    rows, `scales` where extreme columns were scaled by powers of two."""

    gram: FloatArray
    xty: FloatArray
    yty: float
    y_sum: float
    n: int
    n_missing: int
    matrix: Optional[FloatArray] = None
    y: Optional[FloatArray] = None
    scales: Optional[FloatArray] = None

    def restrict(self, keep: BoolArray) -> None:
        """Drops the aliased columns (in place: the matrix is compacted, not copied)."""
        if keep.all():
            return
        self.gram = self.gram[np.ix_(keep, keep)]
        self.xty = self.xty[keep]
        if self.matrix is not None:
            self.matrix = design.compact_columns(self.matrix, keep)
        if self.scales is not None:
            self.scales = self.scales[keep]


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
