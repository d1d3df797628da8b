"""The model frame: a formula and a data frame become a float64 design matrix.

Planning is separate from building. ``plan_design`` needs only the kind of every variable
(numeric, bool or categorical) and the levels of the categorical ones; the resulting
``DesignPlan`` names the design columns, fills the core's ``Encoder`` and builds the matrix of
any frame (a whole data set, a partition of one, or new data to predict from) with the levels of
the plan, never those of the frame.

Coding follows R's ``model.matrix`` with treatment contrasts. The terms are R's: sorted by
degree (main effects, then two-way interactions, ...), in written order within a degree; the
variables of a term in order of their first appearance in the formula; the response's own main
effect on the right-hand side dropped with a warning. A categorical variable has the levels
that occur in the rows used (unused declared levels dropped), named by the text of their
values. A numeric or boolean variable is one column; a categorical one is a 0/1 column per
level except the first (the reference), named ``variable + "_" + level``, or a column for
every level where R codes it in full (R's rule: when the term without the variable is neither
empty nor part of an earlier term; without an intercept, the first categorical variable of the
first term that has one). An interaction is the product of the columns of its variables, the
first variable's columns varying fastest, named ``col_a + ":" + col_b``. Two columns never
share a name: such a design is refused.
"""

from __future__ import annotations

import itertools
import os
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Protocol, Union

import numpy as np
import numpy.typing as npt

import _tallyfit

from . import frames
from .frames import BoolArray, FloatArray, Frame, Kind

INTERCEPT = "(Intercept)"
# R's tolerance for aliased columns in lm.fit and glm.fit (the qr tolerance).
ALIAS_TOLERANCE = 1e-7

# A factor of a design column: a variable and, for a categorical one, the position of the level
# whose indicator it is (-1 for the values of a numeric or boolean variable).
Factor = tuple[str, int]


@dataclass(frozen=True)
class DesignColumn:
    """One column of the design matrix: the product of its factors (none: the intercept)."""

    name: str
    factors: tuple[Factor, ...]


@dataclass
class DesignBlock:
    """A built design: `matrix` (F-order float64, one row per kept row), the `response` (None
    when built without it), `kept` (bool mask over the frame's rows: no missing value in a used
    column) and `n_missing` (rows dropped)."""

    matrix: FloatArray
    response: Optional[FloatArray]
    kept: BoolArray
    n_missing: int


class ResponseRule(Protocol):
    """What the model (its family) accepts as a response and how it reads it."""

    def check_levels(self, name: str, levels: Sequence[str]) -> None:
        """Raises ValueError when a categorical response with these levels is refused."""

    def prepare(
        self, name: str, values: FloatArray, levels: Optional[Sequence[str]]
    ) -> FloatArray:
        """The response the fit reads from numbers, or from level positions (`levels`)."""


class DesignTooLargeError(MemoryError, ValueError):
    """A design matrix (and the XᵀX of a fit) too large for the memory of this machine."""


def available_memory() -> Optional[int]:
    """Bytes of memory this process can still allocate: MemAvailable of /proc/meminfo where it
    is readable, else the machine's physical memory, None when neither is known."""
    try:
        with open("/proc/meminfo", encoding="ascii") as handle:
            for line in handle:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return int(os.sysconf("SC_PHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, OSError, ValueError):
        return None


def check_design_size(n: int, p: int, with_gram: bool = True) -> None:
    """Raises DesignTooLargeError when an n × p float64 design (and, for a fit, its p × p
    XᵀX) needs more memory than the machine has, before anything is allocated."""
    needed = 8 * n * p + (8 * p * p if with_gram else 0)
    limit = available_memory()
    if limit is None or needed <= limit:
        return
    what = "the n × p design and its p × p XᵀX" if with_gram else "the n × p design"
    wide = (
        f"; with more columns than rows at most {n} of the {p} coefficients can be estimated"
        if p > n
        else ""
    )
    raise DesignTooLargeError(
        f"the design has n = {n} rows and p = {p} columns: {what} need {needed:,} bytes "
        f"({needed / 2**30:.1f} GiB) but {limit:,} bytes are available{wide}. Use fewer "
        "columns: drop or merge rare levels of the categorical variables, or leave out "
        "interactions of many-level factors"
    )


def parse_formula(formula: Union[str, _tallyfit.Formula]) -> _tallyfit.Formula:
    """The parsed formula; a text is parsed by the core, whose errors are ValueErrors."""
    if isinstance(formula, _tallyfit.Formula):
        return formula
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {formula!r}")
    return _tallyfit._parse_formula(formula)


def predictor_names(formula: _tallyfit.Formula) -> list[str]:
    """The data columns of the model's terms (the response's own main effect, which R drops,
    left out), trimmed and in order of first use."""
    names: dict[str, None] = {}
    for term in model_terms(formula)[0]:
        names.update(dict.fromkeys(term))
    return list(names)


def model_terms(formula: _tallyfit.Formula) -> tuple[list[tuple[str, ...]], bool]:
    """The terms of the right-hand side as R's ``terms.formula`` orders them, and whether the
    response's own main effect was dropped from them.

    A term is a tuple of distinct variables, ordered by their first appearance in the formula
    (the response first); duplicate terms (``a:b`` and ``b:a``) are one; the terms are sorted
    by degree, keeping written order within a degree (R's ``keep.order = FALSE``).
    """
    response = response_name(formula)
    written = [
        [factor.strip() for factor in term.get_columns_from_term()]
        for term in formula.independent
        if not term.intercept
    ]
    position: dict[str, int] = {response: 0}
    for factors in written:
        for name in factors:
            position.setdefault(name, len(position))
    terms: dict[tuple[str, ...], None] = {}
    for factors in written:
        terms.setdefault(tuple(sorted(set(factors), key=position.__getitem__)), None)
    dropped = (response,) in terms
    ordered = sorted((term for term in terms if term != (response,)), key=len)
    return ordered, dropped


def _checked_predictors(formula: _tallyfit.Formula) -> list[str]:
    names = predictor_names(formula)
    if "." in names:
        raise ValueError(
            "the term '.' (all other columns) is not supported: write the columns out, as in "
            "'y ~ x1 + x2'"
        )
    return names


def response_name(formula: _tallyfit.Formula) -> str:
    return formula.dependent.name.strip()


def missing_rows(frame: Frame, variables: Iterable[str]) -> Optional[BoolArray]:
    """Rows with a null or NaN in any of the variables, or None when there is none."""
    missing: Optional[BoolArray] = None
    for name in variables:
        mask = frames.missing_mask(frame[name])
        if mask is not None:
            missing = mask if missing is None else (missing | mask)
    return missing


def collect_levels(
    frame: Frame,
    variables: Iterable[str],
    kept: Optional[BoolArray] = None,
    *,
    drop_unused: bool = False,
) -> dict[str, list[str]]:
    """The levels of each categorical variable: the declared order of a categorical, enum or
    dictionary column, else the values found in the rows `kept` (all rows by default), sorted
    byte-wise. With `drop_unused` a declared level is kept only if it occurs in the rows
    `kept`, as R's model frame keeps them (``drop.unused.levels = TRUE``). Its default keeps
    them all, as a partition's summary needs them to merge in declared order."""
    levels: dict[str, list[str]] = {}
    for name in variables:
        series = frame[name]
        declared = frames.declared_levels(series)
        if declared is not None and not drop_unused:
            levels[name] = declared
            continue
        found = frames.observed_levels(series) if declared is None else declared
        if found and (declared is not None or (kept is not None and not kept.all())):
            codes = frames.category_codes(series, found)
            rows = codes >= 0 if kept is None else kept & (codes >= 0)
            counts = np.bincount(codes[rows], minlength=len(found))
            found = [level for level, count in zip(found, counts) if count > 0]
        levels[name] = found
    return levels


class DesignPlan:
    """The design columns of a formula for variables of known kinds and levels.

    >>> plan = plan_design("y ~ x * g", {"x": "numeric", "g": "categorical", "y": "numeric"},
    ...                    {"g": ["a", "b", "c"]})
    >>> plan.column_names
    ['(Intercept)', 'x', 'g_b', 'g_c', 'x:g_b', 'x:g_c']
    """

    def __init__(
        self,
        formula: _tallyfit.Formula,
        kinds: Mapping[str, Kind],
        levels: Mapping[str, Sequence[str]],
        columns: list[DesignColumn],
        one_hot: set[str],
        response: Optional[str],
        response_levels: Optional[Sequence[str]],
        response_rule: Optional[ResponseRule],
    ) -> None:
        self.formula = formula
        self.kinds = dict(kinds)
        self.levels = {name: list(values) for name, values in levels.items()}
        self.columns = columns
        self.column_names = [column.name for column in columns]
        self.has_intercept = any(term.intercept for term in formula.independent)
        self.predictors = predictor_names(formula)
        self.response = response
        self.response_levels = None if response_levels is None else list(response_levels)
        self.response_rule = response_rule
        self._one_hot = one_hot

    def encoder(self) -> _tallyfit.Encoder:
        """The core's record of how every variable (response included) was encoded."""
        encoder = _tallyfit.Encoder()
        names = list(self.predictors)
        if self.response is not None and self.response not in names:
            names.append(self.response)
        for name in names:
            kind = self.kinds[name]
            if kind == "numeric":
                info = _tallyfit.EncodedColumnInfo(None, _tallyfit.EncodingType.Numeric)
            elif kind == "bool":
                info = _tallyfit.EncodedColumnInfo(None, _tallyfit.EncodingType.Bool)
            else:
                levels = self.response_levels if name == self.response else self.levels[name]
                encoding = (
                    _tallyfit.EncodingType.OneHot
                    if name in self._one_hot
                    else _tallyfit.EncodingType.Dummy
                )
                info = _tallyfit.EncodedColumnInfo(levels, encoding)
            encoder.add_column_mapping(name, info)
        return encoder

    def check_kinds(self, frame: Frame) -> None:
        """Raises ValueError when a predictor of the frame is not of the kind it was fitted
        with (numbers and booleans stand in for each other, categories for categories)."""
        for name in self.predictors:
            fitted = self.kinds[name]
            if frames.all_missing(frame[name]):
                continue  # every row is dropped: nothing to encode
            found = frames.column_kind(frame, name)
            if (fitted == "categorical") != (found == "categorical"):
                what = (
                    f"categorical with levels {', '.join(map(repr, self.levels[name]))}"
                    if fitted == "categorical"
                    else fitted
                )
                raise ValueError(
                    f"variable {name!r} was {what} when the model was fitted but is "
                    f"{frame[name].dtype} in this data: convert it to the fitted kind"
                )

    def build(self, frame: Frame, with_response: bool = True) -> DesignBlock:
        """The design matrix of the frame's rows without missing values in the used columns.

        The matrix is one F-order float64 allocation, filled column by column in place.
        """
        used = list(self.predictors)
        if with_response:
            if self.response is None:
                raise ValueError("this design has no response")
            used.append(self.response)
        frames.require_columns(frame, used)
        self.check_kinds(frame)
        n_rows = len(frame)
        missing = missing_rows(frame, used)
        kept = np.ones(n_rows, dtype=bool) if missing is None else ~missing
        n_kept = int(kept.sum()) if missing is not None else n_rows
        compact = n_kept < n_rows

        codes: dict[str, npt.NDArray[np.int32]] = {}
        for name in self.predictors:
            if self.kinds[name] == "categorical":
                found = frames.category_codes(frame[name], self.levels[name], kept)
                codes[name] = found[kept] if compact else found

        check_design_size(n_kept, len(self.columns), with_gram=with_response)
        matrix = np.empty((n_kept, len(self.columns)), dtype=np.float64, order="F")
        for j, column in enumerate(self.columns):
            out = matrix[:, j]
            if not column.factors:
                out.fill(1.0)
                continue
            for position, (name, level) in enumerate(column.factors):
                if level >= 0:
                    indicator = codes[name] == level
                    if position == 0:
                        np.copyto(out, indicator)
                    else:
                        np.multiply(out, indicator, out=out)
                    continue
                values = frames.float_values(frame[name])
                if position == 0:
                    if compact:
                        # compress writes only into an out array of the values' own dtype
                        np.copyto(out, values[kept], casting="unsafe")
                    else:
                        np.copyto(out, values, casting="unsafe")
                else:
                    np.multiply(out, values[kept] if compact else values, out=out)
        response = self._response(frame, kept, compact) if with_response else None
        return DesignBlock(matrix, response, kept, n_rows - n_kept)

    def _response(self, frame: Frame, kept: BoolArray, compact: bool) -> FloatArray:
        assert self.response is not None
        series = frame[self.response]
        levels: Optional[list[str]] = None
        if self.kinds[self.response] == "categorical":
            assert self.response_levels is not None
            levels = self.response_levels
            found = frames.category_codes(series, levels, kept)
            values = np.asarray(found[kept] if compact else found, dtype=np.float64)
        else:
            raw = frames.float_values(series)
            values = np.array(raw[kept] if compact else raw, dtype=np.float64)
        if self.response_rule is None:
            return values
        return self.response_rule.prepare(self.response, values, levels)


def plan_design(
    formula: Union[str, _tallyfit.Formula],
    kinds: Mapping[str, Kind],
    levels: Mapping[str, Sequence[str]],
    response_rule: Optional[ResponseRule] = None,
    with_response: bool = True,
) -> DesignPlan:
    """Plans the design columns of `formula` for variables of the given kinds; `levels` holds
    the levels of every categorical variable, the first being the reference.

    `response_rule` (the model's family) checks and prepares the response; without one the
    response must be numeric or boolean.

    >>> plan = plan_design("y ~ g - 1", {"g": "categorical", "y": "numeric"},
    ...                    {"g": ["a", "b"]})
    >>> plan.column_names
    ['g_a', 'g_b']
    """
    parsed = parse_formula(formula)
    has_intercept = any(term.intercept for term in parsed.independent)
    terms, dropped = model_terms(parsed)
    if dropped:
        warnings.warn(
            f"the response {response_name(parsed)!r} appeared on the right-hand side of "
            f"{parsed.original!r} and was dropped from it, as R drops it",
            UserWarning,
            stacklevel=2,
        )
    for name in _checked_predictors(parsed):
        if name not in kinds:
            raise ValueError(f"no kind given for variable {name!r}")
        if kinds[name] == "categorical" and len(levels.get(name, ())) < 2:
            raise ValueError(
                f"variable {name!r} has fewer than two levels "
                f"({', '.join(map(repr, levels.get(name, ()))) or 'none'}): a categorical "
                "variable needs two or more to be estimated"
            )
    full = _full_coding(terms, kinds, has_intercept)
    columns: list[DesignColumn] = [DesignColumn(INTERCEPT, ())] if has_intercept else []
    one_hot = {term[0] for term, coded in zip(terms, full) if len(term) == 1 and coded[0]}
    for term, coded in zip(terms, full):
        blocks: list[list[tuple[str, Factor]]] = []
        for name, in_full in zip(term, coded):
            if kinds[name] != "categorical":
                blocks.append([(name, (name, -1))])
                continue
            blocks.append(
                [
                    (f"{name}_{level}", (name, index))
                    for index, level in enumerate(levels[name])
                    if in_full or index > 0
                ]
            )
        # R varies the first factor of a term fastest.
        for combination in itertools.product(*reversed(blocks)):
            parts = combination[::-1]
            columns.append(
                DesignColumn(":".join(part[0] for part in parts), tuple(part[1] for part in parts))
            )
    _check_unique_names(columns, levels)
    response: Optional[str] = None
    response_levels: Optional[Sequence[str]] = None
    if with_response:
        response = response_name(parsed)
        kind = kinds.get(response)
        if kind is None:
            raise ValueError(f"no kind given for the response {response!r}")
        if kind == "categorical":
            response_levels = levels.get(response, ())
            if response_rule is None:
                raise ValueError(
                    f"response {response!r} holds categories; a linear model needs numbers"
                )
            response_rule.check_levels(response, response_levels)
    return DesignPlan(
        parsed, kinds, levels, columns, one_hot, response, response_levels, response_rule
    )


def _full_coding(
    terms: Sequence[tuple[str, ...]], kinds: Mapping[str, Kind], has_intercept: bool
) -> list[list[bool]]:
    """For each variable of each term, whether it is coded by a column for every level (True)
    or by treatment contrasts, by R's rule (``TermCode`` in R's model.c): a categorical
    variable gets contrasts when the term without it is empty or contained in an earlier
    term; without an intercept, the first categorical variable of the first term that has one
    is coded in full."""
    coding: list[list[bool]] = []
    for k, term in enumerate(terms):
        coded = []
        for name in term:
            rest = set(term) - {name}
            contained = not rest or any(rest <= set(earlier) for earlier in terms[:k])
            coded.append(kinds[name] == "categorical" and not contained)
        coding.append(coded)
    if not has_intercept:
        for term, coded in zip(terms, coding):
            first = next((i for i, name in enumerate(term) if kinds[name] == "categorical"), None)
            if first is not None:
                coded[first] = True
                break
    return coding


def _column_source(column: DesignColumn, levels: Mapping[str, Sequence[str]]) -> str:
    return ":".join(
        f"variable {name!r}" if level < 0 else f"variable {name!r} level {levels[name][level]!r}"
        for name, level in column.factors
    )


def _check_unique_names(
    columns: Sequence[DesignColumn], levels: Mapping[str, Sequence[str]]
) -> None:
    """Raises ValueError when two design columns get one name (a variable "g" with level
    "x" and a variable "g_x", say): their coefficients could not be told apart."""
    seen: dict[str, DesignColumn] = {}
    for column in columns:
        other = seen.setdefault(column.name, column)
        if other is not column:
            raise ValueError(
                f"two design columns would both be named {column.name!r}: one from "
                f"{_column_source(other, levels)}, one from {_column_source(column, levels)}; "
                "rename a data column or a level so that the names differ"
            )


def plan_from_frame(
    formula: Union[str, _tallyfit.Formula],
    frame: Frame,
    response_rule: Optional[ResponseRule] = None,
) -> DesignPlan:
    """Plans the design of `formula` from the columns of an in-memory frame."""
    parsed = parse_formula(formula)
    predictors = _checked_predictors(parsed)
    response = response_name(parsed)
    used = predictors + ([response] if response not in predictors else [])
    frames.require_columns(frame, used)
    missing = missing_rows(frame, used)
    kept = None if missing is None else ~missing
    if len(frame) == 0 or (kept is not None and not kept.any()):
        raise ValueError(
            f"no row of the data has values in all of {', '.join(map(repr, used))}: "
            "nothing to fit"
        )
    kinds = {name: frames.column_kind(frame, name) for name in used}
    categorical = [name for name in used if kinds[name] == "categorical"]
    levels = collect_levels(frame, categorical, kept, drop_unused=True)
    return plan_design(parsed, kinds, levels, response_rule=response_rule)


def aliased_columns(xtx: FloatArray, tolerance: float = ALIAS_TOLERANCE) -> BoolArray:
    """Columns that are linear combinations of earlier ones, from XᵀX alone.

    R's rule (``dqrdc2`` in ``lm.fit``) on the scaled XᵀX (unit diagonal): taking columns in
    order, a column whose residual norm, after projection on the earlier kept columns, is
    below `tolerance` times its own norm is aliased, as is a column of zeros. The residual
    norm of a column is the pivot of a Cholesky factorization of the kept columns and it, so
    columns are taken a block at a time: LAPACK's ``dpotrf`` factors the block's Schur
    complement against the kept columns, the first pivot at or below `tolerance` (or where
    ``dpotrf`` stops) marks an aliased column, and the factorization goes on after it.

    >>> x = np.array([[1.0, 2.0, 3.0], [1.0, 4.0, 5.0], [1.0, 5.0, 6.0]])
    >>> aliased_columns(x.T @ x).tolist()
    [False, False, True]
    """
    from scipy.linalg import solve_triangular

    xtx = np.asarray(xtx, dtype=np.float64)
    if xtx.ndim != 2 or xtx.shape[0] != xtx.shape[1]:
        raise ValueError(f"XᵀX must be a square matrix, not of shape {xtx.shape}")
    finite = np.isfinite(xtx).all(axis=0)
    if not finite.all():
        raise ValueError(
            f"XᵀX has an infinite or NaN entry in column {int(np.argmin(finite))}: the values "
            "of that design column are too large to square; rescale them"
        )
    diagonal = np.diag(xtx)
    aliased = ~(diagonal > 0.0)
    candidates = np.flatnonzero(~aliased)
    scale = 1.0 / np.sqrt(diagonal[candidates])
    # The Schur complement of the columns not yet decided against the kept ones, updated in
    # place block by block (right-looking): XᵀX scaled to a unit diagonal at the start.
    schur = xtx[np.ix_(candidates, candidates)]
    schur *= scale[:, None]
    schur *= scale[None, :]
    m = len(candidates)
    for start in range(0, m, _ALIAS_BLOCK):
        stop = min(start + _ALIAS_BLOCK, m)
        kept, lower, dropped = _threshold_cholesky(schur[start:stop, start:stop], tolerance)
        aliased[candidates[start + np.asarray(dropped, dtype=np.intp)]] = True
        if stop < m and len(kept):
            cross = solve_triangular(
                lower, schur[start + kept, stop:], lower=True, check_finite=False
            )
            schur[stop:, stop:] -= cross.T @ cross
    return aliased


# Columns per block of aliased_columns: a block is factored again after each aliased column.
_ALIAS_BLOCK = 256


def _threshold_cholesky(
    matrix: FloatArray, tolerance: float
) -> tuple[npt.NDArray[np.intp], FloatArray, list[int]]:
    """Cholesky factorization in order that skips every column whose pivot is not above
    `tolerance`: the kept columns, their lower factor and the skipped columns."""
    from scipy.linalg import lapack, solve_triangular

    size = matrix.shape[0]
    kept: list[int] = []
    dropped: list[int] = []
    lower = np.zeros((0, 0))
    position = 0
    while position < size:
        rest = np.arange(position, size)
        schur = matrix[position:, position:]
        cross = None
        if kept:
            cross = solve_triangular(
                lower, matrix[np.asarray(kept, dtype=np.intp), position:], lower=True,
                check_finite=False,
            )
            schur = schur - cross.T @ cross
        result, info = lapack.dpotrf(schur, lower=1, clean=1)
        valid = len(rest) if info == 0 else info - 1  # leading columns dpotrf completed
        small = np.flatnonzero(~(np.diag(result)[:valid] > tolerance))
        accept = int(small[0]) if small.size else valid
        grown = np.zeros((len(kept) + accept, len(kept) + accept))
        grown[: len(kept), : len(kept)] = lower
        if cross is not None:
            grown[len(kept) :, : len(kept)] = cross[:, :accept].T
        grown[len(kept) :, len(kept) :] = result[:accept, :accept]
        lower = grown
        kept.extend(int(column) for column in rest[:accept])
        if accept < len(rest):
            dropped.append(int(rest[accept]))
        position = int(rest[accept]) + 1 if accept < len(rest) else size
    return np.array(kept, dtype=np.intp), lower, dropped


def compact_columns(matrix: FloatArray, keep: BoolArray) -> FloatArray:
    """Moves the kept columns of an F-order matrix to the left in place and returns the view
    of them (no copy of the matrix)."""
    positions = np.flatnonzero(keep)
    for target, source in enumerate(positions):
        if target != source:
            matrix[:, target] = matrix[:, source]
    return matrix[:, : len(positions)]
