"""The in-memory engine: pandas, polars and pyarrow frames and dicts of sequences, read
through narwhals. The design is built once as one F-order matrix; every pass reads it."""

from __future__ import annotations

from types import TracebackType
from typing import Any, Optional

import numpy as np

from .. import _native, design, frames, passes, solvers
from ..families import Family
from ..frames import BoolArray, FloatArray
from . import LeastSquaresSums, Scan

NAME = "memory"


def scan(formula: str, data: object, family: Optional[Family]) -> Scan:
    """Plans the design from the frame's columns (kinds, levels of the rows used)."""
    parsed = design.parse_formula(formula)
    frame, namespace = frames.to_frame(data)
    plan = design.plan_from_frame(parsed, frame, response_rule=family)
    return Scan(plan, namespace, frame)


def _block(scan: Scan) -> design.DesignBlock:
    block = scan.plan.build(scan.state)
    assert block.response is not None
    return block


def least_squares(scan: Scan) -> LeastSquaresSums:
    """XᵀX by the Gram kernel (once; again only for columns whose squares over- or underflow,
    scaled by powers of two first) and Xᵀy."""
    block = _block(scan)
    matrix, y = block.matrix, block.response
    assert y is not None
    gram = _native.gram(matrix)[0]
    scales = solvers.column_scales(gram, matrix)
    if scales is not None:
        matrix *= scales
        gram = _native.gram(matrix)[0]
    xty = np.asarray(matrix.T @ y, dtype=np.float64)
    return LeastSquaresSums(gram, xty, float(y @ y), float(y.sum()), int(y.shape[0]),
                            block.n_missing, matrix, y, scales)


class MemorySource:
    """The IRLS source of a design in memory (see the package's engine interface)."""

    def __init__(self, scan: Scan, family: Family, rescale: bool) -> None:
        block = _block(scan)
        self.family = family
        self.matrix = block.matrix
        self.y: FloatArray = block.response  # type: ignore[assignment]
        gram = _native.gram(self.matrix)[0]
        # Penalties are set in the data's own units, so a penalized design is never rescaled.
        self.scales = solvers.column_scales(gram, self.matrix) if rescale else None
        if self.scales is not None:
            self.matrix *= self.scales
            gram = _native.gram(self.matrix)[0]
        self.start = passes.start_sums(family, self.matrix, self.y, block.n_missing, gram)

    def __enter__(self) -> "MemorySource":
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        return None

    def restrict(self, keep: BoolArray) -> None:
        if keep.all():
            return
        self.matrix = design.compact_columns(self.matrix, keep)
        self.start.restrict(keep)
        if self.scales is not None:
            self.scales = self.scales[keep]

    def pass_at(self, beta: FloatArray) -> tuple[float, FloatArray, FloatArray]:
        return passes.pass_at(self.family, self.matrix, self.y, beta)

    def rows(self) -> tuple[FloatArray, FloatArray]:
        return self.matrix, self.y

    def final(self, beta: FloatArray) -> passes.FinalSums:
        return passes.final_sums(self.family, self.matrix, self.y, beta)


def irls_source(scan: Scan, family: Family, rescale: bool) -> MemorySource:
    return MemorySource(scan, family, rescale)


def fit_record(scan: Scan, **details: Any) -> None:
    return None
