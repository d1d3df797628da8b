"""The in-memory engine: pandas, polars and pyarrow frames and dicts of sequences, read
through narwhals. The design is built once as one F-order matrix; every pass reads it."""

from __future__ import annotations

from types import TracebackType
from typing import Any, Optional

import numpy as np

from .. import _native, arguments, coded, covariance, design, frames, passes, solvers
from ..families import Family
from ..frames import BoolArray, FloatArray
from ..progress import FitProgress
from . import LeastSquaresSums, Scan, block_meat, least_squares_block

NAME = "memory"

#: A categorical main effect of at least this many columns enters an IRLS fit as its codes (see
#: `tallyfit.coded`): its blocks of XᵀWX come from the codes, in a pass over the dense columns
#: alone. A Poisson pass at 1e6 rows over 21 dense columns and one factor took 52 ms with the
#: factor's 9, 19 or 31 columns as codes against 53, 66 and 91 ms with them dense (AMD EPYC, 2
#: threads), and 75 ms with 999 levels as codes. With the level sums added a row at a time
#: through vector registers, two factors of 9 columns took 52–57 ms as codes against 53–59
#: dense, and one 48 against 40: no gain below this width.
CODED_FROM = 16


def scan(formula: str, data: object, family: Optional[Family],
         weights: arguments.RowValues = None, offset: arguments.RowValues = None,
         progress: Optional[FitProgress] = None) -> Scan:
    """Plans the design from the frame's columns (kinds, levels of the rows used); `weights`
    and `offset` are column names or arrays of one value per row (held as the frame's
    columns "(weights)" and "(offset)", as in R's model frame)."""
    parsed = design.parse_formula(formula)
    frame, namespace = frames.to_frame(data)
    names: dict[str, Optional[str]] = {}
    for what, value in (("weights", weights), ("offset", offset)):
        if isinstance(value, np.ndarray):
            arguments.check_row_count(what, value, len(frame))
            names[what] = arguments.ROW_VALUE_COLUMNS[what]
            frame = frames.with_column(frame, names[what], value)  # type: ignore[arg-type]
        else:
            names[what] = value
    plan = design.plan_from_frame(parsed, frame, response_rule=family,
                                  weights=names["weights"], offset=names["offset"])
    if progress is None:
        return Scan(plan, namespace, frame)
    progress.measure(len(frame), len(plan.column_names))
    return Scan(plan, namespace, frame, progress)


def _block(scan: Scan, coded_from: Optional[int] = None) -> design.DesignBlock:
    block = scan.plan.build(scan.state, coded_from=coded_from)
    assert block.response is not None
    # A design with codes is the fit's alone: the passes after the fit (the sandwich's,
    # the diagnostics') read X row by row and build the dense design again.
    scan.built = block if block.coded is None else None
    return block


def least_squares(scan: Scan) -> LeastSquaresSums:
    """XᵀWX by the Gram kernel (once; again only for columns whose squares over- or
    underflow, scaled by powers of two first) and XᵀW(y − o), with the rows."""
    block = _block(scan)
    sums = least_squares_block(block, keep_rows=True)
    matrix, y = sums.matrix, sums.y
    assert matrix is not None and y is not None
    if matrix is block.matrix:
        sums.kept_by = scan
    scales = solvers.column_scales(np.diag(sums.gram), matrix)
    if scales is not None:
        sums.release_kept()
        matrix *= scales
        sums.gram = _native.gram(matrix)[0]
        sums.xty = np.asarray(matrix.T @ y, dtype=np.float64)
        if sums.x_weight is not None and sums.x_offset is not None:
            sums.x_weight = sums.x_weight * scales
            sums.x_offset = sums.x_offset * scales
        sums.scales = scales
    return sums


class MemorySource:
    """The IRLS source of a design in memory (see the package's engine interface)."""

    def __init__(self, scan: Scan, family: Family, penalized: bool,
                 eta_start: Optional[FloatArray] = None) -> None:
        block = _block(scan, CODED_FROM)
        self.scan = scan
        self.family = family
        self.progress = scan.progress
        assert block.response is not None
        self.block = passes.rows_for(family, block.design, block.response, block.n_missing,
                                     block.weights, block.offset)
        if eta_start is not None:
            if eta_start.shape != self.block.y.shape:
                raise ValueError(f"eta_start must have one value per fitted row "
                                 f"({self.block.y.shape[0]}), not {eta_start.shape}")
            self.block.mustart = family.link.inverse(eta_start)
        # Penalties are set in the data's own units, so a penalized design is never rescaled.
        self.scales = None if penalized else solvers.column_scales(
            coded.column_square_sums(self.block.x), self.block.x)
        if self.scales is not None:
            scan.built = None
            coded.scale_design(self.block.x, self.scales)
        self.start = passes.start_sums(family, self.block, start_given=eta_start is not None,
                                       with_gram=penalized)

    def __enter__(self) -> "MemorySource":
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        return None

    def restrict(self, keep: BoolArray) -> None:
        if keep.all():
            return
        self.scan.built = None
        self.block.x = coded.compact_design(self.block.x, keep)
        self.start.restrict(keep)
        if self.scales is not None:
            self.scales = self.scales[keep]

    def pass_at(self, beta: FloatArray) -> passes.PassSums:
        sums = passes.pass_at(self.family, self.block, beta)
        self.progress.read(self.block.y.shape[0])  # once per pass: the rows per second
        return sums

    def rows(self) -> passes.Rows:
        return self.block

    def final(self, beta: FloatArray, null_mu: Optional[float] = None,
              null_by_offset: bool = False,
              weights_at: passes.WeightsAt = "beta") -> passes.FinalSums:
        return passes.final_sums(self.family, self.block, beta, null_mu, null_by_offset,
                                 weights_at=weights_at)

    def null_pass(self, beta: FloatArray) -> passes.PassSums:
        """A pass of the model of the intercept alone (with the offset), for its deviance."""
        return passes.pass_at(self.family, passes.intercept_only(self.block), beta)


def irls_source(scan: Scan, family: Family, penalized: bool,
                eta_start: Optional[FloatArray] = None) -> MemorySource:
    return MemorySource(scan, family, penalized, eta_start)


def meat(scan: Scan, response_family: Optional[Family], request: passes.MeatRequest,
         cluster: Any = None) -> covariance.MeatSums:
    """The sandwich's meat over the fit's design (rebuilt from the frame of the fit when the
    fit did not keep it)."""
    sums = block_meat(scan.plan, scan.state, response_family, request, cluster, scan.built)
    assert sums is not None  # a fit has rows
    return sums


def fit_record(scan: Scan, **details: Any) -> None:
    return None
