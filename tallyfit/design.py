"""The model frame: a formula and a data frame become a float64 design matrix.

Planning is separate from building. ``plan_design`` needs only the kind of every variable
(numeric, bool or categorical) and the levels of the categorical ones; the resulting
``DesignPlan`` names the design columns, fills the core's ``Encoder`` and builds the matrix of
any frame (a whole data set, a partition of one, or new data to predict from) with the levels of
the plan, never those of the frame.

The formula is R's formula language (tallyfit/formula.py: operators, ``.``, calls such as
``log(x)``, ``poly(x, 2)``, ``factor(g)``, ``C(g, contr.sum)``; tallyfit/transforms.py: the
functions). A variable is such an expression, named by its R label; stateful transforms
(``scale``, ``poly``, ``ns``, ``bs``) keep their learned state in the plan, reused for new data
and written by ``DesignPlan.to_record`` (``plan_from_record`` reads it back).

Coding follows R's ``model.matrix`` with treatment contrasts unless C() sets others. The terms are R's: sorted by
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
import json
import os
import tempfile
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, Optional, Protocol, Union

import numpy as np
import numpy.typing as npt

import _tallyfit

from . import formula as formula_language
from . import frames, threads, transforms
from .coded import CodedDesign, Design, coded_design
from .coded import compact_columns as compact_columns  # part of the API
from .formula import Call, Expr, FormulaError, ModelFormula, Name, deparse
from .frames import BoolArray, FloatArray, Frame, Kind, collect_levels  # noqa: F401 (part of the API)

INTERCEPT = "(Intercept)"
# R's tolerance for aliased columns in lm.fit and glm.fit (the qr tolerance).
ALIAS_TOLERANCE = 1e-7

@dataclass(frozen=True)
class DesignColumn:
    """One column of the design matrix: the product of its factors (none: the intercept)."""

    name: str
    factors: tuple["Factor", ...]


@dataclass
class DesignBlock:
    """A built design: `matrix` (F-order float64, one row per kept row), the `response` (None
    when built without it), `kept` (bool mask over the frame's rows: no missing value in a used
    column) and `n_missing` (rows dropped); the prior `weights` and the summed `offset` of the
    kept rows (None when the model has none). A two-column response (successes, failures) is
    an (n, 2) array. A block built with categorical columns as codes has the design in `coded`
    and its dense columns alone in `matrix`."""

    matrix: FloatArray
    response: Optional[FloatArray]
    kept: BoolArray
    n_missing: int
    weights: Optional[FloatArray] = None
    offset: Optional[FloatArray] = None
    coded: Optional[CodedDesign] = None

    @property
    def design(self) -> Design:
        """The design: `coded` where the block holds categorical columns as codes."""
        return self.matrix if self.coded is None else self.coded


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


def parse_formula(formula: Union[str, ModelFormula, _tallyfit.Formula]) -> ModelFormula:
    """The parsed formula (R's formula language, tallyfit/formula.py); a native Formula (of a
    model file) is parsed from its text. Errors are FormulaErrors (ValueErrors)."""
    if isinstance(formula, ModelFormula):
        return formula
    if isinstance(formula, _tallyfit.Formula):
        return formula_language.parse(formula.original)
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {formula!r}")
    return formula_language.parse(formula)


def predictor_names(formula: Union[str, ModelFormula, _tallyfit.Formula]) -> list[str]:
    """The labels of the model's variables (the response's own main effect, which R drops,
    left out) in order of first use: a plain column's label is its name."""
    return [deparse(variable) for variable in parse_formula(formula).variables]


def model_terms(
    formula: Union[str, ModelFormula, _tallyfit.Formula],
) -> tuple[list[tuple[str, ...]], bool]:
    """The terms of the right-hand side as R's ``terms.formula`` orders them (tuples of
    variable labels), and whether the response's own main effect was dropped from them.

    A term's variables are ordered by their first appearance in the formula (the response
    first); duplicate terms (``a:b`` and ``b:a``) are one; the terms are sorted by degree,
    keeping the order of creation within a degree (R's ``keep.order = FALSE``).
    """
    parsed = parse_formula(formula)
    return [tuple(deparse(v) for v in term) for term in parsed.terms], parsed.response_dropped


def response_name(formula: Union[str, ModelFormula, _tallyfit.Formula]) -> str:
    """The label of the response (its column's name for a plain column)."""
    label = parse_formula(formula).response_label
    assert label is not None
    return label


def missing_rows(frame: Frame, variables: Iterable[str]) -> Optional[BoolArray]:
    """Rows with a null or NaN in any of the variables, or None when there is none."""
    missing: Optional[BoolArray] = None
    for name in variables:
        mask = frames.missing_mask(frame[name])
        if mask is not None:
            missing = mask if missing is None else (missing | mask)
    return missing


@dataclass(frozen=True)
class VariableCoding:
    """How one variable becomes columns: `kind` numeric, bool or categorical; a numeric one
    gives `width` columns named label + `suffixes`; a categorical one has `levels` and the
    `contrast` R codes it with where it is not coded in full."""

    label: str
    expr: Expr
    kind: Kind
    width: int = 1
    suffixes: tuple[str, ...] = ("",)
    levels: tuple[str, ...] = ()
    contrast: transforms.Contrast = transforms.Contrast()

    @property
    def computed(self) -> bool:
        """Whether the values are computed (a call) rather than read from a column."""
        return not isinstance(self.expr, Name)


class Factor(NamedTuple):
    """A factor of a design column: a variable's i-th value column (`how` "value", `at` = i),
    the indicator of its level at `at` ("indicator") or column `at` of its contrast
    matrix ("contrast")."""

    variable: str
    at: int
    how: str = "value"


class DesignPlan:
    """The design columns of a formula for variables of known kinds and levels.

    >>> plan = plan_design("y ~ x * g", {"x": "numeric", "g": "categorical", "y": "numeric"},
    ...                    {"g": ["a", "b", "c"]})
    >>> plan.column_names
    ['(Intercept)', 'x', 'g_b', 'g_c', 'x:g_b', 'x:g_c']
    """

    def __init__(
        self,
        formula: ModelFormula,
        kinds: Mapping[str, Kind],
        levels: Mapping[str, Sequence[str]],
        columns: list[DesignColumn],
        one_hot: set[str],
        response: Optional[str],
        response_levels: Optional[Sequence[str]],
        response_rule: Optional[ResponseRule],
        codings: Optional[Mapping[str, VariableCoding]] = None,
        states: Optional[Mapping[str, transforms.State]] = None,
        dot_columns: Optional[Sequence[str]] = None,
        weights: Optional[str] = None,
        offset: Optional[str] = None,
    ) -> None:
        self.model_formula = formula
        self.weights = weights
        self.offset = offset
        self.kinds = dict(kinds)
        self.levels = {name: list(values) for name, values in levels.items()}
        self.columns = columns
        self.column_names = [column.name for column in columns]
        self.has_intercept = formula.intercept
        self.predictors = formula.data_columns
        self.response = response
        self.response_levels = None if response_levels is None else list(response_levels)
        self.response_rule = response_rule
        self.codings = dict(codings or {})
        self.states = {label: dict(state) for label, state in (states or {}).items()}
        self.dot_columns = None if dot_columns is None else list(dot_columns)
        self._one_hot = one_hot
        self._native: Optional[_tallyfit.Formula] = None
        self._response_expr = formula.response

    @property
    def formula(self) -> _tallyfit.Formula:
        """The core's record of the formula (what a model file holds)."""
        if self._native is None:
            self._native = native_formula(self.model_formula)
        return self._native

    @property
    def stateful_variables(self) -> list[str]:
        """Labels of the stateful calls (``poly(x, 2)``, ``scale(x)``...) whose state the plan
        holds: what an engine learns before planning, from the rows where their argument is
        present, with ``learn_states``."""
        return list(self.states)

    def encoder(self) -> _tallyfit.Encoder:
        """The core's record of how every variable (response included) was encoded."""
        encoder = _tallyfit.Encoder()
        names = list(self.codings)
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
            fitted = self.kinds.get(name)
            if fitted is None:
                continue  # unknown: a column under a call of a loaded model
            # The kind from the dtype first; a column without values passes whatever its
            # dtype (counting its missing values reads the whole column, the dtype does not).
            try:
                found = frames.column_kind(frame, name)
            except ValueError:
                if frames.all_missing(frame[name]):
                    continue
                raise
            if (fitted == "categorical") != (found == "categorical") \
                    and not frames.all_missing(frame[name]):
                what = (
                    f"categorical with levels {', '.join(map(repr, self.levels[name]))}"
                    if fitted == "categorical" and name in self.levels
                    else fitted
                )
                raise ValueError(
                    f"variable {name!r} was {what} when the model was fitted but is "
                    f"{frame[name].dtype} in this data: convert it to the fitted kind"
                )

    def coded_columns(self, min_columns: int) -> dict[str, dict[int, int]]:
        """The categorical main effects with at least `min_columns` indicator columns, which a
        block can hold as codes: variable -> {level index: design column}."""
        found: dict[str, dict[int, int]] = {}
        for j, column in enumerate(self.columns):
            if len(column.factors) == 1 and column.factors[0].how == "indicator":
                name, index, _ = column.factors[0]
                found.setdefault(name, {})[index] = j
        return {name: columns for name, columns in found.items() if len(columns) >= min_columns}

    def build(self, frame: Frame, with_response: bool = True,
              coded_from: Optional[int] = None) -> DesignBlock:
        """The design matrix of the frame's rows without missing values in the used columns
        (or in a computed variable: ``log`` of a negative number is missing, as in R).

        The matrix is one F-order float64 allocation, filled column by column in place; a
        computed variable is evaluated once, into a temporary of its own columns. With
        `coded_from`, the categorical main effects of at least that many columns
        (`coded_columns`) are held as their codes (`DesignBlock.coded`), not as columns.
        """
        used = list(self.predictors)
        if self.offset is not None and self.offset not in used:
            used.append(self.offset)
        if with_response:
            if self.response is None:
                raise ValueError("this design has no response")
            used += [c for c in self.model_formula.response_columns if c not in used]
            if self.weights is not None and self.weights not in used:
                used.append(self.weights)
        frames.require_columns(frame, used)
        self.check_kinds(frame)
        n_rows = len(frame)
        missing = missing_rows(frame, used)
        evaluator = transforms.Evaluator(frame, self.states, self.kinds)
        computed: dict[str, FloatArray] = {}
        for label, coding in self.codings.items():
            if coding.computed and coding.kind != "categorical":
                found = evaluator.numeric(coding.expr)
                found = np.broadcast_to(found.reshape(found.shape[0] if found.ndim else 1, -1),
                                        (n_rows, coding.width))
                computed[label] = found
                nan = np.asarray(np.isnan(found).any(axis=1), dtype=bool)
                missing = nan if missing is None else (missing | nan)
        response_values: Optional[FloatArray] = None
        plain_response = isinstance(self._response_expr, Name)
        if with_response and not plain_response:
            assert self._response_expr is not None
            response_values = response_of(evaluator, self._response_expr, n_rows)
            nan = _missing_in(response_values)
            missing = nan if missing is None else (missing | nan)
        offset = self._offset_values(frame, evaluator, n_rows)
        weights = None
        if with_response and self.weights is not None:
            weights = frames.float_values(frame[self.weights])
        for extra in (offset, weights):
            if extra is not None:
                nan = np.isnan(extra)
                missing = nan if missing is None else (missing | nan)
        kept = np.ones(n_rows, dtype=bool) if missing is None else ~missing
        codes: dict[str, npt.NDArray[np.int32]] = {}
        read: list[tuple[str, Any, tuple[str, ...]]] = []
        for label, coding in self.codings.items():
            if coding.kind == "categorical":
                if coding.computed:
                    codes[label] = evaluator.codes(coding.expr, coding.levels, kept)
                    absent = codes[label] < 0
                    if (absent & kept).any():
                        kept &= ~absent
                else:
                    read.append((label, frame[label], coding.levels))
        # Arrow's lookups release the interpreter's lock: the columns' codes on the threads.
        found_codes = threads.map_in_order(
            lambda column: frames.category_codes(column[1], column[2], kept), read)
        codes.update((label, found) for (label, _, _), found in zip(read, found_codes))
        n_kept = int(kept.sum())
        compact = n_kept < n_rows
        if compact:
            codes = {label: found[kept] for label, found in codes.items()}

        coded = {} if coded_from is None else self.coded_columns(coded_from)
        in_codes = {j for columns in coded.values() for j in columns.values()}
        dense_columns = [j for j in range(len(self.columns)) if j not in in_codes]
        if coded:
            check_design_size(n_kept, len(dense_columns) + len(coded), with_gram=False)
        else:
            check_design_size(n_kept, len(self.columns), with_gram=with_response)
        matrix = np.empty((n_kept, len(dense_columns)), dtype=np.float64, order="F")
        contrasts = {
            label: coding.contrast.matrix(len(coding.levels))
            for label, coding in self.codings.items()
            if coding.kind == "categorical" and coding.contrast.kind != "treatment"
        }
        # The columns' sources are read from the frame here, a batch of columns at a time (a
        # library may hand a column over as a copy); the arrays are filled on the package's
        # threads (NumPy's copies and products release the interpreter's lock).
        def sources_of(j: int) -> list[tuple[str, Any, Any]]:
            parts: list[tuple[str, Any, Any]] = []
            for name, index, how in self.columns[j].factors:
                if how == "indicator":
                    parts.append(("indicator", codes[name], index))
                elif how == "contrast":
                    parts.append(("contrast", contrasts[name][:, index], codes[name]))
                elif name in computed:
                    parts.append(("values", computed[name][:, index], None))
                else:
                    parts.append(("values", frames.float_values(frame[name]), None))
            return parts

        def fill(slot_and_parts: tuple[int, list[tuple[str, Any, Any]]]) -> None:
            slot, parts = slot_and_parts
            out = matrix[:, slot]
            if not parts:
                out.fill(1.0)
                return
            for position, (how, first, second) in enumerate(parts):
                values: npt.NDArray[Any]
                if how == "indicator":
                    values = first == second
                elif how == "contrast":
                    values = first[second]
                else:
                    values = first[kept] if compact else first
                if position == 0:
                    np.copyto(out, values, casting="unsafe")
                else:
                    np.multiply(out, values, out=out)

        batch = threads.thread_count()
        for first_slot in range(0, len(dense_columns), batch):
            slots = range(first_slot, min(first_slot + batch, len(dense_columns)))
            threads.map_in_order(fill, [(slot, sources_of(dense_columns[slot]))
                                        for slot in slots])
        response = None
        if with_response:
            if plain_response:
                response = self._response(frame, kept, compact)
            else:
                assert response_values is not None
                response = np.array(response_values[kept], dtype=np.float64)
                if self.response_rule is not None:
                    assert self.response is not None
                    response = self.response_rule.prepare(self.response, response, None)
        if offset is not None:
            offset = np.array(offset[kept] if compact else offset, dtype=np.float64)
        if weights is not None:
            weights = np.array(weights[kept] if compact else weights, dtype=np.float64)
            assert self.weights is not None
            check_weights(self.weights, weights)
        block = DesignBlock(matrix, response, kept, n_rows - n_kept, weights, offset)
        if coded:
            block.coded = self._coded(matrix, dense_columns, coded, codes)
        return block

    def _coded(self, matrix: FloatArray, dense_columns: list[int],
               coded: Mapping[str, Mapping[int, int]],
               codes: Mapping[str, npt.NDArray[np.int32]]) -> CodedDesign:
        positions = list(dense_columns)
        factor_codes, factor_levels = [], []
        for name, columns in coded.items():
            levels = sorted(columns)
            # Level index -> coded level (-1: the level without a column, R's reference).
            table = np.full(len(self.codings[name].levels), -1, dtype=np.intp)
            table[levels] = np.arange(len(levels))
            factor_codes.append(table[codes[name]])
            factor_levels.append(len(levels))
            positions += [columns[level] for level in levels]
        return coded_design(matrix, factor_codes, factor_levels, positions)

    def _offset_values(self, frame: Frame, evaluator: "transforms.Evaluator",
                       n_rows: int) -> Optional[FloatArray]:
        """The sum of the formula's offset terms and the offset column (NaN where missing)."""
        total: Optional[FloatArray] = None
        parts: list[FloatArray] = [
            np.broadcast_to(evaluator.numeric(expr), (n_rows,))
            for expr in self.model_formula.offsets]
        if self.offset is not None:
            series = frame[self.offset]
            values = np.array(frames.float_values(series), dtype=np.float64)
            mask = frames.missing_mask(series)
            if mask is not None:
                values[mask] = np.nan
            parts.append(values)
        for part in parts:
            total = np.array(part, dtype=np.float64) if total is None else total + part
        return total

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

    def to_record(self) -> dict[str, Any]:
        """Everything needed to plan this design again (``plan_from_record``), JSON-able: the
        formula text, the columns ``.`` stood for, the kinds and levels of the variables, the
        transforms' learned states and the contrasts."""
        return {
            "formula": self.model_formula.text,
            "dot_columns": self.dot_columns,
            "kinds": dict(self.kinds),
            "levels": {name: list(values) for name, values in self.levels.items()},
            "states": {label: dict(state) for label, state in self.states.items()},
            "contrasts": {
                label: coding.contrast.to_record()
                for label, coding in self.codings.items()
                if coding.kind == "categorical"
            },
            "response": self.response,
            "weights": self.weights,
            "offset": self.offset,
        }


def plan_from_record(
    record: Mapping[str, Any], response_rule: Optional[ResponseRule] = None
) -> DesignPlan:
    """The plan a ``DesignPlan.to_record`` describes (after a trip through JSON, say), with
    the model's `response_rule` (its family)."""
    try:
        return plan_design(
            record["formula"],
            record["kinds"],
            record["levels"],
            response_rule=response_rule,
            with_response=record.get("response") is not None,
            states=record.get("states") or {},
            columns=record.get("dot_columns"),
            weights=record.get("weights"),
            offset=record.get("offset"),
        )
    except KeyError as error:
        raise ValueError(f"the design record has no {error.args[0]!r}: it was not written by "
                         "DesignPlan.to_record") from None


def native_formula(formula: ModelFormula) -> _tallyfit.Formula:
    """The core's Formula record of a parsed formula: the core's own parse where its grammar
    covers the text, else a record whose terms are named by their labels (the core's parser
    knows no calls, ``^`` or three-way interactions)."""
    if not formula.dot:
        try:
            return _tallyfit._parse_formula(formula.text)
        except ValueError:
            pass

    def term(name: str, **flags: bool) -> dict[str, object]:
        return {"name": name, "dependent": flags.get("dependent", False), "subtracted": False,
                "intercept": flags.get("intercept", False),
                "interaction": flags.get("interaction", False)}

    independent = [term("1", intercept=True)] if formula.intercept else []
    independent += [term(label, interaction=":" in label) for label in formula.term_labels]
    document = {
        "coefficients": {},
        "encoding_data": {"column_mappings": {}},
        "formula": {"original": formula.text,
                    "dependent": term(formula.response_label or "", dependent=True),
                    "independent": independent},
        "model_type": "LinearRegression",
    }
    core = _tallyfit.LinearRegressionCore()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "formula.json")
        with open(path, "w", encoding="utf-8") as handle:
            json.dump(document, handle, ensure_ascii=False)
        core.load_from_file(path)
    native = core.formula
    assert native is not None
    return native


def _expanded(parsed: ModelFormula, columns: Optional[Sequence[str]],
              kinds: Mapping[str, Kind]) -> tuple[ModelFormula, Optional[list[str]]]:
    """The formula with ``.`` expanded (to `columns`, else to the variables of `kinds`)."""
    if not parsed.dot:
        return parsed, None
    if columns is None:
        columns = [name for name in kinds if isinstance(_safe_expr(name), Name)]
    expanded = parsed.with_columns(columns)
    return expanded, list(columns)


def _safe_expr(label: str) -> Optional[Expr]:
    try:
        return formula_language.parse_expression(label)
    except ValueError:
        return None


def _check_response_kind(parsed: ModelFormula, response_rule: Optional[ResponseRule]) -> None:
    response = parsed.response
    if isinstance(response, Call) and response.func == "cbind" and not getattr(
            response_rule, "takes_counts", False):
        raise ValueError(
            f"the response {deparse(response)} (successes, failures) of {parsed.text!r} counts "
            "successes and failures: fit it with tf.glm and a family of proportions"
        )


def response_of(evaluator: "transforms.Evaluator", expr: Expr, n_rows: int) -> FloatArray:
    """The values of a computed response: (n,), or (n, 2) for ``cbind(successes, failures)``."""
    if isinstance(expr, Call) and expr.func == "cbind":
        return np.column_stack([np.broadcast_to(evaluator.numeric(arg.value), (n_rows,))
                                for arg in expr.args])
    return np.broadcast_to(evaluator.numeric(expr), (n_rows,))


def _missing_in(values: FloatArray) -> BoolArray:
    nan = np.isnan(values)
    return np.asarray(nan.any(axis=1) if nan.ndim == 2 else nan, dtype=bool)


def check_weights(name: str, weights: FloatArray) -> None:
    """Raises ValueError for a negative or infinite prior weight (R refuses them)."""
    bad = ~(weights >= 0.0) | np.isinf(weights)
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"weights must be finite and >= 0; {name} has {float(weights[row])!r} "
            f"(row {row} of the kept rows)")


def plan_design(
    formula: Union[str, ModelFormula, _tallyfit.Formula],
    kinds: Mapping[str, Kind],
    levels: Mapping[str, Sequence[str]],
    response_rule: Optional[ResponseRule] = None,
    with_response: bool = True,
    *,
    states: Optional[Mapping[str, transforms.State]] = None,
    columns: Optional[Sequence[str]] = None,
    weights: Optional[str] = None,
    offset: Optional[str] = None,
) -> DesignPlan:
    """Plans the design columns of `formula` for variables of the given kinds; `kinds` and
    `levels` are keyed by variable label (a plain column's label is its name; a call's kind
    follows from the function, ``factor(x)`` and ``C(f, ...)`` being categorical); `levels`
    holds the levels of every categorical variable, the first being the reference; `states`
    the learned state of every stateful call (``poly(x, 2)``...) by label; `columns` the data
    columns ``.`` stands for (default: the plain variables of `kinds`).

    `response_rule` (the model's family) checks and prepares the response; without one the
    response must be numeric or boolean. `weights` and `offset` name the data columns of the
    prior weights and of an offset added to the formula's ``offset()`` terms.

    >>> plan = plan_design("y ~ g - 1", {"g": "categorical", "y": "numeric"},
    ...                    {"g": ["a", "b"]})
    >>> plan.column_names
    ['g_a', 'g_b']
    """
    parsed, dot_columns = _expanded(parse_formula(formula), columns, kinds)
    if with_response:
        _check_response_kind(parsed, response_rule)
    states = dict(states or {})
    has_intercept = parsed.intercept
    terms, dropped = model_terms(parsed)
    if dropped:
        warnings.warn(
            f"the response {response_name(parsed)!r} appeared on the right-hand side of "
            f"{parsed.text!r} and was dropped from it, as R drops it",
            UserWarning,
            stacklevel=2,
        )
    kinds = dict(kinds)
    codings: dict[str, VariableCoding] = {}
    evaluator = transforms.Evaluator(None, states, {})  # only widths: no data
    for variable in parsed.variables:
        name = deparse(variable)
        if name not in kinds:
            if isinstance(variable, Name):
                raise ValueError(f"no kind given for variable {name!r}")
            kinds[name] = transforms.variable_kind(variable, kinds)  # type: ignore[assignment]
        for call in transforms.stateful_calls(variable):
            if deparse(call) not in states:
                raise ValueError(
                    f"the state of {deparse(call)} (learned from the data when fitting) is not "
                    "known: plan from the data (plan_from_frame) or from a record that holds it "
                    "(plan_from_record)"
                )
        if kinds[name] == "categorical":
            if len(levels.get(name, ())) < 2:
                raise ValueError(
                    f"variable {name!r} has fewer than two levels "
                    f"({', '.join(map(repr, levels.get(name, ()))) or 'none'}): a categorical "
                    "variable needs two or more to be estimated"
                )
            contrast = transforms.contrast_of(variable)
            if contrast.base >= len(levels[name]) or contrast.base < 0:
                raise ValueError(f"{name}: base {contrast.base + 1} is not the position of one "
                                 f"of its {len(levels[name])} levels")
            codings[name] = VariableCoding(name, variable, "categorical",
                                           levels=tuple(levels[name]), contrast=contrast)
            continue
        width = evaluator.width(variable)
        basis = isinstance(variable, Call) and transforms.FUNCTIONS[variable.func].basis
        suffixes = tuple(str(k + 1) for k in range(width)) if basis else ("",)
        codings[name] = VariableCoding(name, variable, kinds[name], width, suffixes)
    full = _full_coding(terms, kinds, has_intercept)
    design_columns: list[DesignColumn] = [DesignColumn(INTERCEPT, ())] if has_intercept else []
    one_hot = {term[0] for term, coded in zip(terms, full) if len(term) == 1 and coded[0]}
    for term, coded in zip(terms, full):
        blocks: list[list[tuple[str, Factor]]] = []
        for name, in_full in zip(term, coded):
            coding = codings[name]
            if coding.kind != "categorical":
                blocks.append([(name + suffix, Factor(name, k))
                               for k, suffix in enumerate(coding.suffixes)])
            elif in_full or coding.contrast.kind == "treatment":
                blocks.append(
                    [
                        (f"{name}_{level}", Factor(name, index, "indicator"))
                        for index, level in enumerate(coding.levels)
                        if in_full or index != coding.contrast.base
                    ]
                )
            else:
                blocks.append([(f"{name}{k + 1}", Factor(name, k, "contrast"))
                               for k in range(len(coding.levels) - 1)])
        # R varies the first factor of a term fastest.
        for combination in itertools.product(*reversed(blocks)):
            parts = combination[::-1]
            design_columns.append(
                DesignColumn(":".join(part[0] for part in parts), tuple(part[1] for part in parts))
            )
    _check_unique_names(design_columns, levels)
    response: Optional[str] = None
    response_levels: Optional[Sequence[str]] = None
    if with_response:
        response = response_name(parsed)
        kind = kinds.get(response)
        if kind is None and not isinstance(parsed.response, Name):
            kind = kinds[response] = "numeric"
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
        parsed, kinds, levels, design_columns, one_hot, response, response_levels,
        response_rule, codings, states, dot_columns, weights, offset,
    )


def _full_coding(
    terms: Sequence[tuple[str, ...]], kinds: Mapping[str, Kind], has_intercept: bool
) -> list[list[bool]]:
    """For each variable of each term, whether it is coded by a column for every level (True)
    or by contrasts, by R's rule (``TermCode`` in R's model.c): a categorical variable gets
    contrasts when the term without it is empty or contained in an earlier term; without an
    intercept, the first categorical variable of the first term that has one is coded in
    full."""
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
        f"variable {name!r} level {levels[name][index]!r}" if how == "indicator"
        else f"variable {name!r}"
        for name, index, how in column.factors
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


def learn_states(
    formula: ModelFormula, frame: Frame, kinds: Optional[Mapping[str, str]] = None
) -> dict[str, transforms.State]:
    """The state of every stateful call of the formula, learned from the frame's rows where
    the call's argument is present (innermost calls first). An engine that sees the data in
    pieces gathers the arguments' values (or statistics of them) and calls each transform's
    ``learn`` the same way."""
    states: dict[str, transforms.State] = {}
    evaluator = transforms.Evaluator(frame, states, dict(kinds or {}))
    expressions = [*formula.variables, *formula.offsets]
    if formula.response is not None:
        expressions.append(formula.response)
    for expr in expressions:
        for call in transforms.stateful_calls(expr):
            label = deparse(call)
            if label not in states:
                states[label] = evaluator.learn(call)
    return states


def computed_missing(parsed: ModelFormula, evaluator: "transforms.Evaluator",
                     missing: Optional[BoolArray]) -> Optional[BoolArray]:
    """`missing` (the rows missing a used column, or None) with the rows where a computed
    numeric variable, a computed response or an offset term is missing (NaN), as R's
    na.omit drops them."""
    rows = len(evaluator.frame)
    kinds = evaluator.kinds
    for variable in parsed.variables:
        if not isinstance(variable, Name) and \
                transforms.variable_kind(variable, kinds) != "categorical":
            nan = evaluator.missing(variable, rows)
            if nan.any():
                missing = nan if missing is None else (missing | nan)
    if parsed.response is not None and not isinstance(parsed.response, Name):
        nan = _missing_in(response_of(evaluator, parsed.response, rows))
        missing = nan if missing is None else (missing | nan)
    for expr in parsed.offsets:
        nan = np.isnan(np.broadcast_to(evaluator.numeric(expr), (rows,)))
        if nan.any():
            missing = nan if missing is None else (missing | nan)
    return missing


def _require_rows(frame: Frame, missing: Optional[BoolArray], used: Sequence[str]) -> None:
    if len(frame) == 0 or (missing is not None and missing.all()):
        raise ValueError(
            f"no row of the data has values in all of {', '.join(map(repr, used))}: "
            "nothing to fit"
        )


def plan_from_frame(
    formula: Union[str, ModelFormula, _tallyfit.Formula], frame: Frame,
    response_rule: Optional[ResponseRule] = None,
    weights: Optional[str] = None,
    offset: Optional[str] = None,
) -> DesignPlan:
    """Plans the design of `formula` from the columns of an in-memory frame: ``.`` expands to
    its columns, stateful transforms learn from every row where their argument is present,
    categorical levels come from the rows kept (no missing value in any used column)."""
    parsed = parse_formula(formula)
    if parsed.dot:
        parsed = parsed.with_columns(list(frame.columns))
    _check_response_kind(parsed, response_rule)
    response = response_name(parsed)
    used = list(parsed.data_columns)
    used += [name for name in parsed.response_columns if name not in used]
    used += [name for name in (weights, offset) if name is not None and name not in used]
    frames.require_columns(frame, used)
    missing = missing_rows(frame, used)
    _require_rows(frame, missing, used)
    kinds: dict[str, Any] = {name: frames.column_kind(frame, name) for name in used}
    try:
        states = learn_states(parsed, frame, kinds)
        # The rows kept: those a plan without levels would build (levels need them first).
        evaluator = transforms.Evaluator(frame, states, kinds)
        missing = computed_missing(parsed, evaluator, missing)
        if parsed.response is not None and not isinstance(parsed.response, Name):
            kinds[response] = "numeric"
    except FormulaError:
        raise
    except ValueError as error:
        raise ValueError(f"{error} (in the formula {parsed.text!r})") from None
    _require_rows(frame, missing, used)
    kept = None if missing is None else ~missing
    levels: dict[str, list[str]] = {}
    plain = [name for name in used if kinds[name] == "categorical"]
    levels.update(collect_levels(frame, plain, kept, drop_unused=True))
    for term_variable in parsed.variables:
        if not isinstance(term_variable, Name):
            kind = transforms.variable_kind(term_variable, kinds)
            kinds[deparse(term_variable)] = kind
            if kind == "categorical":
                levels[deparse(term_variable)] = evaluator.levels(term_variable, kept)
    for name in (weights, offset):
        if name is not None and kinds.get(name) == "categorical":
            raise ValueError(f"the {'weights' if name == weights else 'offset'} column "
                             f"{name!r} holds categories: it must hold numbers")
    return plan_design(parsed, kinds, levels, response_rule=response_rule, states=states,
                       columns=None, weights=weights, offset=offset)


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


