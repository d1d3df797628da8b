"""A design whose categorical main effects are held as codes: X = [D | C_1 | ... | C_m] in some
order of columns, where D is dense (F order) and C_f the 0/1 indicator columns of factor f's
coded levels, never formed. A factor of k levels would be an n × k block of zeros but for one
1 per row; its codes are one number per row, and X's products come from them: Xβ adds
β[code] to Dβ, Xᵀv takes the level sums of v, and XᵀWX and XᵀWz come from one pass of the
native kernel over D with the codes (counts of each level, level sums of w·D and of w·z, and
the weighted cross-tabulation of two factors).

The columns keep the design's order (`positions`), so that coefficients, names and every
sum are those of the dense design; `to_dense` forms it for the consumers that read X row by
row (the QR of an ill-conditioned fit, hat values: those rebuild the dense design).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from . import _native

FloatArray = npt.NDArray[np.float64]
IndexArray = npt.NDArray[np.intp]


@dataclass
class CodedDesign:
    """`dense` (n × d, F order), `codes` (n × m float64, F order: row i's coded level of factor
    f, from 0 to `levels[f]` − 1, or −1 for none of its columns: the reference level, or a
    level whose column was dropped) and `positions`: the design column of each kernel column,
    the dense ones first and then each factor's levels in order."""

    dense: FloatArray
    codes: FloatArray
    levels: FloatArray
    positions: IndexArray

    def __post_init__(self) -> None:
        # The usual order (dense columns, then the factors' levels): nothing to permute.
        self._in_order = bool(np.array_equal(self.positions, np.arange(len(self.positions))))
        # Each factor's first kernel column.
        counts = self.levels.astype(np.intp)
        self._offsets = [int(at) for at in self.n_dense + np.cumsum(counts) - counts]

    @property
    def shape(self) -> tuple[int, int]:
        return (self.dense.shape[0], len(self.positions))

    @property
    def n_dense(self) -> int:
        return int(self.dense.shape[1])

    def _kernel_order(self, values: FloatArray) -> FloatArray:
        """A design-ordered vector in the kernel's order of columns."""
        values = np.asarray(values, dtype=np.float64)
        if self._in_order:
            return np.ascontiguousarray(values)
        return np.ascontiguousarray(values[self.positions])

    def _design_order(self, values: FloatArray) -> FloatArray:
        if self._in_order:
            return values
        out = np.empty_like(values)
        out[self.positions] = values
        return out

    def _design_matrix(self, matrix: FloatArray) -> FloatArray:
        if self._in_order:
            return matrix
        out = np.empty_like(matrix)
        out[np.ix_(self.positions, self.positions)] = matrix
        return out

    def pass_sums(self, y: FloatArray, beta: FloatArray, family: str, link: str,
                  weights: Optional[FloatArray], offset: Optional[FloatArray]
                  ) -> tuple[float, FloatArray, FloatArray, bool]:
        """`_native.glm_pass` of the design: (deviance, XᵀWX, XᵀWz, valid), in design order."""
        deviance, information, right, valid = _native.coded_glm_pass(
            self.dense, self.codes, self.levels, y, self._kernel_order(beta),
            family, link, weights, offset)  # type: ignore[arg-type]
        return (deviance, self._design_matrix(np.asarray(information)),
                self._design_order(np.asarray(right)), valid)

    def weighted_sums(self, weights: FloatArray, z: FloatArray) -> tuple[FloatArray, FloatArray]:
        """XᵀWX and XᵀWz (W ≥ 0 diagonal)."""
        _, information, right, _ = self.pass_sums(z, np.zeros(self.shape[1]), "gaussian",
                                                  "identity", weights, None)
        return information, right

    def matvec(self, beta: FloatArray) -> FloatArray:
        """X β."""
        ordered = self._kernel_order(beta)
        eta = np.asarray(_native.matvec(self.dense, np.ascontiguousarray(ordered[:self.n_dense])))
        for f, start in enumerate(self._offsets):
            # The code −1 (no column) takes the table's last value, 0.
            table = np.append(ordered[start:start + int(self.levels[f])], 0.0)
            eta += table[self.codes[:, f].astype(np.intp)]
        return eta

    def rmatvec(self, v: FloatArray) -> FloatArray:
        """Xᵀ v."""
        parts = [np.asarray(_native.rmatvec(self.dense, np.ascontiguousarray(v, np.float64)))]
        for f in range(len(self.levels)):
            count = int(self.levels[f])
            sums = np.bincount(self._indices(f), weights=v, minlength=count + 1)
            parts.append(np.asarray(sums[:count], dtype=np.float64))
        return self._design_order(np.concatenate(parts))

    def _indices(self, f: int) -> IndexArray:
        """Factor f's codes as indices, −1 sent to the slot after the last level."""
        codes = self.codes[:, f].astype(np.intp)
        codes[codes < 0] = int(self.levels[f])
        return codes

    def square_sums(self) -> FloatArray:
        """The diagonal of XᵀX: the dense columns' square sums and the levels' counts."""
        parts = [_dense_square_sums(self.dense)]
        for f in range(len(self.levels)):
            counts = np.bincount(self._indices(f), minlength=int(self.levels[f]) + 1)
            parts.append(counts[:int(self.levels[f])].astype(np.float64))
        return self._design_order(np.concatenate(parts))

    def scale(self, scales: FloatArray) -> None:
        """Multiplies the columns by `scales` (in place); a coded column's scale must be 1
        (it is: a 0/1 column's square sum is its count, never extreme)."""
        ordered = self._kernel_order(scales)
        if np.any(ordered[self.n_dense:] != 1.0):
            raise ValueError("an indicator column of a coded factor cannot be rescaled")
        self.dense *= ordered[:self.n_dense]

    def column(self, j: int) -> FloatArray:
        """Design column j."""
        at = int(np.flatnonzero(self.positions == j)[0])
        if at < self.n_dense:
            return np.asarray(self.dense[:, at])
        for f, start in enumerate(self._offsets):
            if at < start + int(self.levels[f]):
                return np.asarray(self.codes[:, f] == at - start, dtype=np.float64)
        raise IndexError(j)  # pragma: no cover

    def compact(self, keep: npt.NDArray[np.bool_]) -> "CodedDesign":
        """The design of the kept columns (the dense ones moved left in place)."""
        if keep.all():
            return self
        kept = keep[self.positions]
        renumbered = np.cumsum(keep) - 1
        dense_keep = kept[:self.n_dense]
        positions = [renumbered[self.positions[:self.n_dense][dense_keep]]]
        dense = compact_columns(self.dense, dense_keep)
        codes = self.codes
        levels = []
        for f, start in enumerate(self._offsets):
            count = int(self.levels[f])
            level_keep = kept[start:start + count]
            if not level_keep.all():
                if codes is self.codes:
                    codes = codes.copy(order="F")
                # Old level -> new one (-1 for a dropped level; the last slot is "none").
                table = np.append(np.where(level_keep, np.cumsum(level_keep) - 1, -1), -1)
                codes[:, f] = table[self._indices(f)]
            levels.append(float(level_keep.sum()))
            positions.append(renumbered[self.positions[start:start + count][level_keep]])
        return CodedDesign(dense, codes, np.array(levels), np.concatenate(positions))

    def largest_factor_columns(self) -> Optional[IndexArray]:
        """The design columns of the factor with the most coded levels (None without one).
        A factor's columns are orthogonal (a row is in one level at most), so its block of
        XᵀWX is diagonal for any weights."""
        if len(self.levels) == 0 or int(self.levels.max()) == 0:
            return None
        f = int(np.argmax(self.levels))
        start = self._offsets[f]
        return np.asarray(self.positions[start:start + int(self.levels[f])], dtype=np.intp)

    def to_dense(self) -> FloatArray:
        """The design as one F-order matrix."""
        n, p = self.shape
        matrix = np.zeros((n, p), order="F")
        matrix[:, self.positions[:self.n_dense]] = self.dense
        for f, start in enumerate(self._offsets):
            count = int(self.levels[f])
            rows = np.flatnonzero(self.codes[:, f] >= 0)
            columns = self.positions[start:start + count]
            matrix[rows, columns[self.codes[rows, f].astype(np.intp)]] = 1.0
        return matrix


def compact_columns(matrix: FloatArray, keep: npt.NDArray[np.bool_]) -> FloatArray:
    """Moves the kept columns of an F-order matrix to the left in place and returns the view
    of them (no copy of the matrix)."""
    positions = np.flatnonzero(keep)
    for target, source in enumerate(positions):
        if target != source:
            matrix[:, target] = matrix[:, source]
    return matrix[:, : len(positions)]


def coded_design(dense: FloatArray, factor_codes: Sequence[npt.NDArray[np.intp]],
                 factor_levels: Sequence[int], positions: Sequence[int]) -> CodedDesign:
    """The design of `dense` and factors given as codes (−1: no column) with their numbers of
    coded levels; `positions` as `CodedDesign.positions`."""
    n = dense.shape[0]
    codes = np.empty((n, len(factor_codes)), order="F")
    for f, found in enumerate(factor_codes):
        codes[:, f] = found
    return CodedDesign(dense, codes, np.array(factor_levels, dtype=np.float64),
                       np.asarray(positions, dtype=np.intp))


Design = Union[FloatArray, CodedDesign]


def dense_matrix(matrix: object) -> FloatArray:
    """The design as one matrix, whether it is held as one or with codes."""
    if isinstance(matrix, CodedDesign):
        return matrix.to_dense()
    return matrix  # type: ignore[return-value]


def compact_design(matrix: Design, keep: npt.NDArray[np.bool_]) -> Design:
    """The kept columns of a design held either way (a dense one compacted in place)."""
    if isinstance(matrix, CodedDesign):
        return matrix.compact(keep)
    return compact_columns(matrix, keep)


def scale_design(matrix: Design, scales: FloatArray) -> None:
    """Multiplies a design's columns by `scales`, in place."""
    if isinstance(matrix, CodedDesign):
        matrix.scale(scales)
    else:
        matrix *= scales


def design_column(matrix: Design, j: int) -> FloatArray:
    """Column j of a design held either way."""
    if isinstance(matrix, CodedDesign):
        return matrix.column(j)
    return matrix[:, j]


def _dense_square_sums(matrix: FloatArray) -> FloatArray:
    return np.array([float(np.dot(column, column)) for column in matrix.T], dtype=np.float64)


def column_square_sums(matrix: Design) -> FloatArray:
    """The diagonal of XᵀX of a design held either way (a read of X at memory speed, where
    XᵀX is a Gram pass); a sum that overflows is inf, which `solvers.column_scales` looks
    for, without a warning."""
    with np.errstate(over="ignore"):
        if isinstance(matrix, CodedDesign):
            return matrix.square_sums()
        return _dense_square_sums(matrix)


def diagonal_columns(matrix: Design) -> Optional[IndexArray]:
    """Columns of the design whose block of XᵀWX is diagonal whatever W (a coded factor's
    levels), or None: a dense design's columns are not known to be orthogonal."""
    if isinstance(matrix, CodedDesign):
        return matrix.largest_factor_columns()
    return None
